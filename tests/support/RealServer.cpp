#include "RealServer.h"

#include <QDeadlineTimer>
#include <QFile>
#include <QTemporaryDir>
#include <QThread>

#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>

#include <cstdlib>

extern char **environ;

namespace {
constexpr int startTimeoutMs = 15000;

QString &reason()
{
    static QString text;
    return text;
}

pid_t &frontProcess()
{
    static pid_t pid = 0;
    return pid;
}

// Runs at exit; the front script also stops nginx when this process is gone.
void stopFront()
{
    if (frontProcess() <= 0)
        return;
    kill(frontProcess(), SIGTERM);
    waitpid(frontProcess(), nullptr, 0);
    frontProcess() = 0;
}

bool spawnFront(const QString &folder, int servicePort)
{
    const QByteArray script = QByteArrayLiteral(TARN_TEST_SERVICE_NGINX);
    const QByteArray folderArgument = QFile::encodeName(folder);
    const QByteArray port = QByteArray::number(servicePort);
    const QByteArray protocol = QByteArrayLiteral("http2");
    char *const arguments[]
        = {const_cast<char *>(script.constData()), const_cast<char *>(folderArgument.constData()),
           const_cast<char *>(port.constData()), const_cast<char *>(protocol.constData()), nullptr};
    pid_t pid = 0;
    if (posix_spawn(&pid, script.constData(), nullptr, nullptr, arguments, environ) != 0)
        return false;
    frontProcess() = pid;
    std::atexit(stopFront);
    return true;
}
} // namespace

namespace RealServer {

QString start(int servicePort)
{
    static QTemporaryDir folder;
    if (!folder.isValid() || !spawnFront(folder.path(), servicePort)) {
        reason() = QStringLiteral("The nginx front could not be started.");
        return {};
    }
    const QString portFile = folder.filePath(QStringLiteral("port"));
    QDeadlineTimer deadline(startTimeoutMs);
    while (!QFile::exists(portFile)) {
        if (deadline.hasExpired() || waitpid(frontProcess(), nullptr, WNOHANG) != 0) {
            QFile log(folder.filePath(QStringLiteral("error.log")));
            reason() = QStringLiteral("nginx did not start (is nginx-light installed?): ")
                + QString::fromLocal8Bit(log.open(QIODevice::ReadOnly) ? log.readAll()
                                                                       : QByteArray());
            return {};
        }
        QThread::msleep(10);
    }
    QFile port(portFile);
    if (!port.open(QIODevice::ReadOnly)) {
        reason() = QStringLiteral("The nginx port could not be read.");
        return {};
    }
    return QStringLiteral("https://127.0.0.1:%1/api/tarn")
        .arg(QString::fromLatin1(port.readAll().trimmed()));
}

QString unavailableReason()
{
    return reason();
}

} // namespace RealServer
