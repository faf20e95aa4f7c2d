#include "SettingsHandler.h"

#include "platform/Logging.h"
#include "platform/Platform.h"
#include "update/AtomicFileWriter.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QUrl>
#include <QtEndian>

namespace {
const QString euroscopePathKey = QStringLiteral("euroscopePath");
const QString sectorPathKey = QStringLiteral("sectorPath");
const char *const openFailure = "Could not open settings file.";

// Binary JSON: "qbjs", the version, then the root, whose first 32 bits are
// its size in bytes.
constexpr int binaryJsonHeaderSize = 8;
constexpr int rootSizeBytes = 4;

// Whether the root's size, as the file states it, lies within the file. Qt
// 5.15 adds that size to the header's in 32 bits, so a huge one wraps around,
// passes Qt's own check and has Qt read far beyond the data. Such a file
// cannot be valid.
bool rootFitsTheFile(const QByteArray &data)
{
    if (data.size() < binaryJsonHeaderSize + rootSizeBytes)
        return true; // Qt refuses it by itself.
    const quint32 rootSize = qFromLittleEndian<quint32>(data.constData() + binaryJsonHeaderSize);
    return quint64(binaryJsonHeaderSize) + rootSize <= quint64(data.size());
}
} // namespace

SettingsHandler::SettingsHandler(QObject *parent)
    : QObject(parent)
    , QmlSingletonType(this)
{
}

QString SettingsHandler::settingsFilePath()
{
    return QCoreApplication::applicationDirPath() + QDir::separator()
        + QStringLiteral("settings.dat");
}

bool SettingsHandler::loadSettings()
{
    QFile file(settingsFilePath());
    if (!file.open(QIODevice::ReadOnly)) {
        qCWarning(lcSettings, "%s", openFailure);
        return false;
    }
    const QByteArray data = file.readAll();
    QT_WARNING_PUSH
    QT_WARNING_DISABLE_DEPRECATED
    // Content that does not validate gives an empty object: the store empties.
    const QJsonDocument document = rootFitsTheFile(data)
        ? QJsonDocument::fromBinaryData(data, QJsonDocument::Validate)
        : QJsonDocument();
    QT_WARNING_POP
    settings = document.object().toVariantHash();
    return true;
}

bool SettingsHandler::saveSettings()
{
    QT_WARNING_PUSH
    QT_WARNING_DISABLE_DEPRECATED
    const QByteArray data = QJsonDocument(QJsonObject::fromVariantHash(settings)).toBinaryData();
    QT_WARNING_POP
    // Written beside the old file and renamed over it, so a crash or a full
    // disk never leaves a truncated settings file. Not QSaveFile: on Linux it
    // commits a temporary file whose write failed on a full disk, leaving an
    // empty settings file.
    const QString path = settingsFilePath();
    if (!AtomicFileWriter::write(path, data, QDateTime(), path)) {
        qCWarning(lcSettings, "%s", openFailure);
        return false;
    }
    return true;
}

bool SettingsHandler::contains(const QString &key) const
{
    return settings.contains(key);
}

QVariant SettingsHandler::value(const QString &key) const
{
    return settings.value(key);
}

void SettingsHandler::insert(const QString &key, const QVariant &value)
{
    settings.insert(key, value);
}

void SettingsHandler::remove(const QString &key)
{
    settings.remove(key);
}

QString SettingsHandler::stringValue(const QString &key) const
{
    return settings.contains(key) ? settings.value(key).toString() : QString();
}

QString SettingsHandler::euroscopePath() const
{
    return stringValue(euroscopePathKey);
}

void SettingsHandler::setEuroscopePath(const QString &path)
{
    settings.insert(euroscopePathKey, path);
    saveSettings();
    Q_EMIT euroscopePathChanged(path);
}

QString SettingsHandler::sectorPath() const
{
    return stringValue(sectorPathKey);
}

void SettingsHandler::setSectorPath(const QString &path)
{
    settings.insert(sectorPathKey, path);
    saveSettings();
    Q_EMIT sectorPathChanged(path);
}

QString SettingsHandler::getDefaultEuroscopePath() const
{
    return Platform::programFilesFolder() + QDir::separator() + QStringLiteral("EuroScope");
}

QString SettingsHandler::natifyUrl(const QString &urlString) const
{
    const QUrl url(urlString, QUrl::TolerantMode);
    if (!url.isLocalFile())
        return urlString;
    return QDir::toNativeSeparators(url.toLocalFile());
}
