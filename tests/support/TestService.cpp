#include "TestService.h"

#include "handlers/SettingsHandler.h"
#include "net/ApiBaseUrl.h"
#include "net/RequestSender.h"
#include "update/FilesChecker.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkAccessManager>
#include <QSslConfiguration>
#include <QTemporaryDir>
#include <QUrl>

#include <algorithm>
#include <cstdio>
#include <cstdlib>

#ifdef TARN_TEST_SERVICE_NGINX
#include <QThread>

#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>

extern char **environ;
#endif

namespace {
// Made before apiBaseUrl below, whose start fills it in when nginx cannot serve.
QString unavailable;
#ifdef TARN_TEST_SERVICE_NGINX
pid_t front = 0;

// nginx in front of the service: TLS on a free loopback port, offering HTTP/2
// (or only HTTP/1.1 where TARN_TEST_NGINX_PROTOCOL says "http1.1"), passing
// every request on. The front script also stops nginx when this process is
// gone; at exit it is stopped here.
QString startFront(int servicePort)
{
    static QTemporaryDir folder;
    QByteArray path = QFile::encodeName(folder.path());
    QByteArray port = QByteArray::number(servicePort);
    QByteArray protocol = qgetenv("TARN_TEST_NGINX_PROTOCOL");
    if (protocol.isEmpty())
        protocol = "http2";
    char *const argv[] = {const_cast<char *>(TARN_TEST_SERVICE_NGINX), path.data(), port.data(),
                          protocol.data(), nullptr};
    if (!folder.isValid() || posix_spawn(&front, argv[0], nullptr, nullptr, argv, environ) != 0) {
        unavailable = QStringLiteral("The nginx front could not be started.");
        return {};
    }
    std::atexit([] {
        kill(front, SIGTERM);
        waitpid(front, nullptr, 0);
    });
    const QString portFile = folder.filePath(QStringLiteral("port"));
    QDeadlineTimer deadline(15000);
    while (!QFile::exists(portFile)) {
        if (deadline.hasExpired() || waitpid(front, nullptr, WNOHANG) != 0) {
            unavailable = QStringLiteral("nginx did not start (is nginx-light installed?): ")
                + QString::fromLocal8Bit(readFile(folder.filePath(QStringLiteral("error.log"))));
            return {};
        }
        QThread::msleep(10);
    }
    return QStringLiteral("https://127.0.0.1:%1/api/tarn")
        .arg(QString::fromLatin1(readFile(portFile).trimmed()));
}
#endif

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
#ifdef TARN_TEST_SERVICE_NGINX
    return startFront(service.port());
#else
    return QString::fromStdString(service.baseUrl());
#endif
}
} // namespace

devservice::DevService &testService()
{
    static QTemporaryDir emptyContentRoot;
    static devservice::DevService service(emptyContentRoot.path().toStdString());
    return service;
}

const QString apiBaseUrl = startService();

QString realServerUnavailableReason()
{
    return unavailable;
}

void resetTestService(const QString &contentRoot)
{
    testService().setContentRoot(contentRoot.toStdString());
    // A test that failed while the service held its requests leaves them to
    // go, rather than keeping the connections of the next one busy.
    testService().releaseHeld();
    testService().clearFaults();
    testService().clearRequests();
}

devservice::Fault faultOn(const std::string &endpoint, const std::string &file)
{
    devservice::Fault fault;
    fault.endpoint = endpoint;
    fault.file = file;
    return fault;
}

std::vector<devservice::RecordedRequest> requestsTo(const std::string &path)
{
    std::vector<devservice::RecordedRequest> matching = testService().requests();
    matching.erase(std::remove_if(matching.begin(), matching.end(),
                                  [&](const auto &request) { return request.path != path; }),
                   matching.end());
    return matching;
}

QList<QHash<QString, QString>> requestFields(const QString &endpoint)
{
    QList<QHash<QString, QString>> found;
    for (const devservice::RecordedRequest &request : testService().requests()) {
        if (!QString::fromStdString(request.path).endsWith(endpoint))
            continue;
        QHash<QString, QString> fields;
        for (const auto &[name, value] : request.fields)
            fields.insert(QString::fromStdString(name), QString::fromStdString(value));
        found.append(fields);
    }
    return found;
}

void trustTestAuthority()
{
#ifdef TARN_TEST_AUTHORITY
    QSslConfiguration configuration = QSslConfiguration::defaultConfiguration();
    configuration.addCaCertificates(QStringLiteral(TARN_TEST_AUTHORITY));
    QSslConfiguration::setDefaultConfiguration(configuration);
    // The manager keeps the connection of a failed handshake, made with the
    // configuration of that time.
    RequestSender::sharedManager()->clearConnectionCache();
#endif
}

QProcessEnvironment serviceEnvironment()
{
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("TARN_TEST_SERVICE_URL"), apiBaseUrl);
#ifdef TARN_TEST_AUTHORITY
    environment.insert(QStringLiteral("TARN_TEST_AUTHORITY"), QStringLiteral(TARN_TEST_AUTHORITY));
#endif
    return environment;
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

bool writeFile(const QString &path, const QByteArray &data, const QDateTime &modified)
{
    if (!QDir().mkpath(QFileInfo(path).absolutePath()))
        return false;
    QFile file(path);
    // Flushed first: a write after the time is set would set it again.
    return file.open(QIODevice::WriteOnly) && file.write(data) == data.size() && file.flush()
        && (!modified.isValid() || file.setFileTime(modified, QFileDevice::FileModificationTime));
}

bool placeStandIn(const QString &path)
{
    return QDir().mkpath(QFileInfo(path).absolutePath())
        && QFile::copy(QStringLiteral(TARN_STANDIN), path);
}

QStringList waitForRecord(const QString &path)
{
    const QString record = path + QStringLiteral(".run");
    if (!waitUntil([&] { return QFile::exists(record); }, 30000))
        return {};
    return QString::fromUtf8(readFile(record)).split(QLatin1Char('\n'));
}

QString fileUrl(const QString &path)
{
    return QUrl::fromLocalFile(path).toString();
}

bool compareWithList(FilesChecker &checker, const QString &root, const QString &mode)
{
    checker.SetRootPath(root);
    checker.SetMode(mode);
    QSignalSpy compared(&checker, &FilesChecker::FilesCompared);
    checker.RequestFilelist(mode == QLatin1String("client") ? QStringLiteral("checkClient.php")
                                                            : QStringLiteral("getfilelist.php"));
    return waitForSignals(compared);
}

bool downloadDifferences(FilesChecker &checker, const QString &mode)
{
    QSignalSpy finished(&checker, &FilesChecker::UpdateFinished);
    mode == QLatin1String("client") ? checker.DownloadClientFiles() : checker.DownloadSectorFiles();
    return waitForSignals(finished);
}

SettingsHandler *settings()
{
    return QmlSingletonType<SettingsHandler>::instance;
}

void removeSettingsFile()
{
    QFile::remove(SettingsHandler::settingsFilePath());
}

QByteArray settingsFileBytes(const QJsonObject &values)
{
    QT_WARNING_PUSH
    QT_WARNING_DISABLE_DEPRECATED
    return QJsonDocument(values).toBinaryData();
    QT_WARNING_POP
}

bool writeSettingsFile(const QJsonObject &values)
{
    return writeFile(SettingsHandler::settingsFilePath(), settingsFileBytes(values));
}

bool SnapshotEntry::operator==(const SnapshotEntry &other) const
{
    return isFolder == other.isFolder && content == other.content && modifiedMs == other.modifiedMs
        && permissions == other.permissions;
}

QMap<QString, SnapshotEntry> snapshot(const QString &folder)
{
    QMap<QString, SnapshotEntry> entries;
    QDirIterator it(folder, QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        const QFileInfo info = it.fileInfo();
        entries.insert(QDir(folder).relativeFilePath(path),
                       info.isDir() ? SnapshotEntry{true, {}, 0, {}}
                                    : SnapshotEntry{false, readFile(path),
                                                    info.lastModified().toMSecsSinceEpoch(),
                                                    info.permissions()});
    }
    return entries;
}

QMap<QString, QByteArray> contents(const QMap<QString, SnapshotEntry> &entries)
{
    QMap<QString, QByteArray> files;
    for (auto it = entries.cbegin(); it != entries.cend(); ++it) {
        if (!it->isFolder)
            files.insert(it.key(), it->content);
    }
    return files;
}

SignalRecorder::SignalRecorder(QObject *source)
{
    const QMetaObject *meta = source->metaObject();
    for (int index = QObject::staticMetaObject.methodCount(); index < meta->methodCount(); ++index) {
        if (meta->method(index).methodType() != QMetaMethod::Signal)
            continue;
        // As QSignalSpy does: the slot numbers past QObject's own reach qt_metacall.
        QMetaObject::connect(source, index, this,
                             QObject::staticMetaObject.methodCount() + int(m_signals.size()),
                             Qt::DirectConnection);
        m_signals.append(meta->method(index));
    }
}

int SignalRecorder::qt_metacall(QMetaObject::Call call, int id, void **arguments)
{
    id = QObject::qt_metacall(call, id, arguments);
    if (id < 0 || call != QMetaObject::InvokeMetaMethod)
        return id;
    const QMetaMethod method = m_signals.at(id);
    QStringList values;
    for (int i = 0; i < method.parameterCount(); ++i)
        values.append(QVariant(method.parameterType(i), arguments[i + 1]).toString());
    events.append(QString::fromLatin1(method.name()) + QLatin1Char('(')
                  + values.join(QLatin1String(", ")) + QLatin1Char(')'));
    return -1;
}
