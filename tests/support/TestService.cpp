#include "TestService.h"

#include "handlers/SettingsHandler.h"
#include "net/ApiBaseUrl.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>
#include <QUrl>

#include <cstdio>
#include <cstdlib>

#ifdef TARN_TEST_SERVICE_NGINX
#include "RealServer.h"
#endif

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
#ifdef TARN_TEST_SERVICE_NGINX
    return RealServer::start(service.port());
#else
    return QString::fromStdString(service.baseUrl());
#endif
}
} // namespace

devservice::DevService &testService()
{
    static devservice::DevService service(emptyContentRoot());
    return service;
}

const QString apiBaseUrl = startService();

void resetTestService(const QString &contentRoot)
{
    testService().setContentRoot(contentRoot.toStdString());
    testService().clearFaults();
    testService().clearRequests();
}

std::vector<devservice::RecordedRequest> requestsTo(const std::string &path)
{
    std::vector<devservice::RecordedRequest> matching;
    for (const auto &request : testService().requests()) {
        if (request.path == path)
            matching.push_back(request);
    }
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

bool writeFile(const QString &path, const QByteArray &data)
{
    if (!QDir().mkpath(QFileInfo(path).absolutePath()))
        return false;
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(data) == data.size();
}

QString fileUrl(const QString &path)
{
    return QUrl::fromLocalFile(path).toString();
}

bool setModificationTime(const QString &path, const QDateTime &time)
{
    QFile file(path);
    return file.open(QIODevice::ReadWrite)
        && file.setFileTime(time, QFileDevice::FileModificationTime);
}

SettingsHandler *settings()
{
    return QmlSingletonType<SettingsHandler>::instance;
}

void removeSettingsFile()
{
    const QString path = SettingsHandler::settingsFilePath();
    if (QFileInfo(path).isDir())
        QDir(path).removeRecursively();
    else
        QFile::remove(path);
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
        SnapshotEntry entry;
        entry.isFolder = info.isDir();
        if (!entry.isFolder) {
            entry.content = readFile(path);
            entry.modifiedMs = info.lastModified().toMSecsSinceEpoch();
            entry.permissions = info.permissions();
        }
        entries.insert(QDir(folder).relativeFilePath(path), entry);
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
