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
// Set in the environment of a process that startOwnExecutable() started.
const char selfRestartMarker[] = "TARN_SELF_RESTARTED";

#ifdef Q_OS_WIN
const QString ownExecutable = QStringLiteral("Tarn.exe");
// How many numbered names setAside() tries after the plain one.
constexpr int asideAlternatives = 9;
// 100-nanosecond intervals from 1601-01-01 to 1970-01-01.
constexpr qint64 fileTimeEpoch = 116444736000000000;

// The path for the wide Windows API: native separators, and the "\\?\" form
// for an absolute path, which lifts the limit of MAX_PATH characters.
std::wstring apiPath(const QString &path)
{
    QString native = QDir::toNativeSeparators(QDir::cleanPath(path));
    if (native.startsWith(QLatin1String("\\\\")))
        native = QStringLiteral("\\\\?\\UNC\\") + native.mid(2);
    else if (QDir::isAbsolutePath(path))
        native.prepend(QStringLiteral("\\\\?\\"));
    return native.toStdWString();
}

bool move(const QString &source, const QString &target)
{
    return MoveFileExW(apiPath(source).c_str(), apiPath(target).c_str(), MOVEFILE_REPLACE_EXISTING)
        != 0;
}

// "Tarn.exe.delete" with number 2 is "Tarn.exe.2.delete".
QString numbered(const QString &name, int number)
{
    const int dot = name.lastIndexOf(QLatin1Char('.'));
    return name.left(dot) + QLatin1Char('.') + QString::number(number) + name.mid(dot);
}
#else
// Elsewhere a registry key is an INI file: "HKEY_CURRENT_USER\Software\X"
// becomes <config>/Tarn/registry/HKEY_CURRENT_USER/Software/X.ini.
QString registryStandIn(const QString &key)
{
    const QString relative = QString(key).replace(QLatin1Char('\\'), QLatin1Char('/'));
    return QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation)
        + QStringLiteral("/Tarn/registry/") + relative + QStringLiteral(".ini");
}

// The executable's file name, read once: after a self-update has set the
// running file aside, the process's own path names the ".delete" copy.
QString ownExecutableName()
{
    static const QString name = QFileInfo(QCoreApplication::applicationFilePath()).fileName();
    return name;
}
#endif

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

bool Platform::startOwnExecutable()
{
    QProcess process;
#ifdef Q_OS_WIN
    // Windows looks for a bare name in the running program's folder first.
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

bool Platform::isInUse(const QString &path)
{
#ifdef Q_OS_WIN
    const HANDLE file = CreateFileW(apiPath(path).c_str(), GENERIC_WRITE,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                    OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file != INVALID_HANDLE_VALUE) {
        CloseHandle(file);
        return false;
    }
    const DWORD error = GetLastError();
    return error == ERROR_SHARING_VIOLATION || error == ERROR_LOCK_VIOLATION;
#else
    // Opened without truncation: a profile merge still finds the user's lines.
    QFile probe(path);
    return probe.exists() && !probe.open(QIODevice::WriteOnly | QIODevice::Append);
#endif
}

QString Platform::setAside(const QString &file, const QString &aside)
{
#ifdef Q_OS_WIN
    for (int number = 0; number <= asideAlternatives; ++number) {
        const QString name = number == 0 ? aside : numbered(aside, number);
        if (move(file, name))
            return name;
    }
    return {};
#else
    const QByteArray asidePath = QFile::encodeName(aside);
    if (::unlink(asidePath.constData()) != 0 && errno != ENOENT)
        return {};
    return ::link(QFile::encodeName(file).constData(), asidePath.constData()) == 0 ? aside
                                                                                   : QString();
#endif
}

bool Platform::replaceFile(const QString &source, const QString &target)
{
#ifdef Q_OS_WIN
    if (move(source, target))
        return true;
    // MoveFileEx refuses to replace a read-only file, which a rename elsewhere does.
    const std::wstring targetPath = apiPath(target);
    const DWORD attributes = GetFileAttributesW(targetPath.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES || !(attributes & FILE_ATTRIBUTE_READONLY)
        || !SetFileAttributesW(targetPath.c_str(), attributes & ~FILE_ATTRIBUTE_READONLY))
        return false;
    if (move(source, target))
        return true;
    SetFileAttributesW(targetPath.c_str(), attributes);
    return false;
#else
    return std::rename(QFile::encodeName(source).constData(), QFile::encodeName(target).constData())
        == 0;
#endif
}

QString Platform::fileKey(const QString &relativePath)
{
#ifdef Q_OS_WIN
    return relativePath.toCaseFolded();
#else
    return relativePath;
#endif
}

std::optional<qint64> Platform::modificationTime(const QString &path)
{
#ifdef Q_OS_WIN
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!GetFileAttributesExW(apiPath(path).c_str(), GetFileExInfoStandard, &data))
        return std::nullopt;
    const qint64 intervals
        = qint64(data.ftLastWriteTime.dwHighDateTime) << 32 | data.ftLastWriteTime.dwLowDateTime;
    return (intervals - fileTimeEpoch) / 10000;
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
