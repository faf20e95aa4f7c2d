#include "TestService.h"

#include "net/ApiBaseUrl.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSslConfiguration>
#include <QTemporaryDir>

#include <cstdio>
#include <cstdlib>

namespace {
std::string emptyContentRoot()
{
    static QTemporaryDir root;
    return root.path().toStdString();
}

QString startService()
{
    devservice::DevService &service = testService();
#ifdef TARN_TEST_SERVICE_TLS_DIR
    service.setTls(TARN_TEST_SERVICE_TLS_DIR "/server.pem", TARN_TEST_SERVICE_TLS_DIR "/server.key");
#endif
    if (service.start() < 0) {
        fprintf(stderr, "The development service could not listen on loopback.\n");
        std::abort();
    }
    return QString::fromStdString(service.baseUrl());
}
} // namespace

devservice::DevService &testService()
{
    static devservice::DevService service(emptyContentRoot());
    return service;
}

const QString apiBaseUrl = startService();

void trustTestAuthority()
{
#ifdef TARN_TEST_SERVICE_TLS_DIR
    QSslConfiguration configuration = QSslConfiguration::defaultConfiguration();
    configuration.addCaCertificates(QStringLiteral(TARN_TEST_SERVICE_TLS_DIR "/ca.pem"));
    QSslConfiguration::setDefaultConfiguration(configuration);
#endif
}

bool waitUntil(const std::function<bool()> &condition, int timeoutMs)
{
    QDeadlineTimer deadline(timeoutMs);
    while (!condition()) {
        if (deadline.hasExpired())
            return false;
        QTest::qWait(5);
    }
    return true;
}

bool waitForSignals(QSignalSpy &spy, int count, int timeoutMs)
{
    return waitUntil([&] { return spy.count() >= count; }, timeoutMs);
}

QByteArray readFile(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

bool writeFile(const QString &path, const QByteArray &data)
{
    if (!QDir().mkpath(QFileInfo(path).absolutePath()))
        return false;
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(data) == data.size();
}
