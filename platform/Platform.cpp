#include "Platform.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QProcess>
#include <QSettings>
#include <QStandardPaths>

#include <memory>

namespace {
#ifdef Q_OS_WIN
const QString ownExecutable = QStringLiteral("Tarn.exe");
#endif

// Elsewhere a registry key is an INI file: "HKEY_CURRENT_USER\Software\X"
// becomes <config>/Tarn/registry/HKEY_CURRENT_USER/Software/X.ini.
QString registryStandIn(const QString &key)
{
    const QString relative = QString(key).replace(QLatin1Char('\\'), QLatin1Char('/'));
    return QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation)
        + QStringLiteral("/Tarn/registry/") + relative + QStringLiteral(".ini");
}

QSettings *openKey(const QString &key)
{
#ifdef Q_OS_WIN
    return new QSettings(key, QSettings::NativeFormat);
#else
    return new QSettings(registryStandIn(key), QSettings::IniFormat);
#endif
}
} // namespace

QString Platform::programFilesFolder()
{
#ifdef Q_OS_WIN
    return qEnvironmentVariable("programfiles");
#else
    return QStringLiteral("/opt");
#endif
}

QString Platform::localAppDataFolder()
{
#ifdef Q_OS_WIN
    return qEnvironmentVariable("LOCALAPPDATA");
#else
    return QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation);
#endif
}

QString Platform::registryValue(const QString &key, const QString &name)
{
    const std::unique_ptr<QSettings> settings(openKey(key));
    return settings->value(name).toString();
}

bool Platform::setRegistryValue(const QString &key, const QString &name, const QString &value)
{
    const std::unique_ptr<QSettings> settings(openKey(key));
    settings->setValue(name, value);
    settings->sync();
    return settings->status() == QSettings::NoError;
}

QString Platform::ownExecutableName()
{
#ifdef Q_OS_WIN
    return ownExecutable;
#else
    // Read once: after a self-update has set the running file aside, the
    // process's own path names the ".delete" copy.
    static const QString name = QFileInfo(QCoreApplication::applicationFilePath()).fileName();
    return name;
#endif
}

bool Platform::startOwnExecutable()
{
#ifdef Q_OS_WIN
    return QProcess::startDetached(ownExecutable, {});
#else
    return QProcess::startDetached(QCoreApplication::applicationDirPath() + QLatin1Char('/')
                                       + ownExecutableName(),
                                   {});
#endif
}

bool Platform::startDetachedCommand(const QString &commandLine)
{
    QStringList arguments = QProcess::splitCommand(commandLine);
    if (arguments.isEmpty())
        return false;
    const QString program = arguments.takeFirst();
    return QProcess::startDetached(program, arguments);
}
