#include "Platform.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QSettings>
#include <QStandardPaths>

#include <memory>

#ifdef Q_OS_WIN
#include <windows.h>
#else
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#endif

namespace {
#ifdef Q_OS_WIN
const QString ownExecutable = QStringLiteral("Tarn.exe");
#endif

// Set in the environment of a process that startOwnExecutable() started.
const char selfRestartMarker[] = "TARN_SELF_RESTARTED";

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
    QProcess process;
#ifdef Q_OS_WIN
    process.setProgram(ownExecutable);
#else
    process.setProgram(QCoreApplication::applicationDirPath() + QLatin1Char('/')
                       + ownExecutableName());
#endif
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QLatin1String(selfRestartMarker), QStringLiteral("1"));
    process.setProcessEnvironment(environment);
    return process.startDetached();
}

bool Platform::takeSelfRestartMarker()
{
    const bool restarted = qEnvironmentVariableIsSet(selfRestartMarker);
    qunsetenv(selfRestartMarker);
    return restarted;
}

bool Platform::setAside(const QString &file, const QString &aside)
{
#ifdef Q_OS_WIN
    return MoveFileExW(reinterpret_cast<const wchar_t *>(QDir::toNativeSeparators(file).utf16()),
                       reinterpret_cast<const wchar_t *>(QDir::toNativeSeparators(aside).utf16()),
                       MOVEFILE_REPLACE_EXISTING)
        != 0;
#else
    const QByteArray asidePath = QFile::encodeName(aside);
    if (::unlink(asidePath.constData()) != 0 && errno != ENOENT)
        return false;
    return ::link(QFile::encodeName(file).constData(), asidePath.constData()) == 0;
#endif
}

bool Platform::replaceFile(const QString &source, const QString &target)
{
#ifdef Q_OS_WIN
    return MoveFileExW(reinterpret_cast<const wchar_t *>(QDir::toNativeSeparators(source).utf16()),
                       reinterpret_cast<const wchar_t *>(QDir::toNativeSeparators(target).utf16()),
                       MOVEFILE_REPLACE_EXISTING)
        != 0;
#else
    return std::rename(QFile::encodeName(source).constData(), QFile::encodeName(target).constData())
        == 0;
#endif
}

std::optional<qint64> Platform::modificationTime(const QString &path)
{
#ifdef Q_OS_WIN
    const QFileInfo info(path);
    if (!info.exists())
        return std::nullopt;
    return info.lastModified().toMSecsSinceEpoch();
#else
    struct stat status;
    if (::stat(QFile::encodeName(path).constData(), &status) != 0)
        return std::nullopt;
    return qint64(status.st_mtim.tv_sec) * 1000 + status.st_mtim.tv_nsec / 1000000;
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

QString Platform::processProgram(const QString &programText)
{
#ifdef Q_OS_WIN
    return programText;
#else
    const QLatin1Char quote('"');
    if (programText.size() >= 2 && programText.startsWith(quote) && programText.endsWith(quote))
        return programText.mid(1, programText.size() - 2);
    return programText;
#endif
}
