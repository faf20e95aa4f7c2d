#include "RealServer.h"

#include "TestService.h"

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
pid_t front = 0;

// A function's own: start() runs while the static objects are made.
QString &reason()
{
    static QString text;
    return text;
}

// Runs at exit; the front script also stops nginx when this process is gone.
void stopFront()
{
    kill(front, SIGTERM);
    waitpid(front, nullptr, 0);
}
} // namespace

namespace RealServer {

QString start(int servicePort)
{
    static QTemporaryDir folder;
    const QByteArray arguments[]
        = {QByteArrayLiteral(TARN_TEST_SERVICE_NGINX), QFile::encodeName(folder.path()),
           QByteArray::number(servicePort), QByteArrayLiteral("http2")};
    char *const argv[] = {const_cast<char *>(arguments[0].constData()),
                          const_cast<char *>(arguments[1].constData()),
                          const_cast<char *>(arguments[2].constData()),
                          const_cast<char *>(arguments[3].constData()), nullptr};
    if (!folder.isValid() || posix_spawn(&front, argv[0], nullptr, nullptr, argv, environ) != 0) {
        reason() = QStringLiteral("The nginx front could not be started.");
        return {};
    }
    std::atexit(stopFront);
    const QString portFile = folder.filePath(QStringLiteral("port"));
    QDeadlineTimer deadline(15000);
    while (!QFile::exists(portFile)) {
        if (deadline.hasExpired() || waitpid(front, nullptr, WNOHANG) != 0) {
            reason() = QStringLiteral("nginx did not start (is nginx-light installed?): ")
                + QString::fromLocal8Bit(readFile(folder.filePath(QStringLiteral("error.log"))));
            return {};
        }
        QThread::msleep(10);
    }
    return QStringLiteral("https://127.0.0.1:%1/api/tarn")
        .arg(QString::fromLatin1(readFile(portFile).trimmed()));
}

QString unavailableReason()
{
    return reason();
}

} // namespace RealServer
