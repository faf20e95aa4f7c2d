#pragma once

#include <QString>

#include <optional>

// The few operating-system services that only Windows really has. On Windows
// each function does exactly that; elsewhere it does the nearest equivalent,
// so the program builds, runs and is tested on any desktop.
class Platform
{
public:
    // The standard Program Files folder: on Windows the "programfiles"
    // environment variable (empty when unset); elsewhere "/opt".
    static QString programFilesFolder();

    // The user's local application data folder: on Windows "LOCALAPPDATA"
    // (empty when unset); elsewhere the user's writable data folder.
    static QString localAppDataFolder();

    // A string value of a registry key such as "HKEY_CURRENT_USER\Software\X".
    // Elsewhere the key is an INI file below the user's configuration folder.
    // Empty when the key or the value is missing.
    static QString registryValue(const QString &key, const QString &name);
    // Writes a string value, creating the key when needed; false when refused.
    static bool setRegistryValue(const QString &key, const QString &name, const QString &value);

    // Starts the program's own executable again, detached, with no arguments:
    // on Windows by the bare name "Tarn.exe", which Windows looks for first in
    // the program's folder; elsewhere the executable's path in its own folder.
    // The new process finds a marker in its environment (see below).
    static bool startOwnExecutable();
    // Whether this process was started by startOwnExecutable(). Clears the
    // marker, so the processes this one starts do not inherit it.
    static bool takeSelfRestartMarker();

    // Whether an existing file cannot be replaced in place because a running
    // program holds it: on Windows a running executable or a loaded library
    // (opening it for writing is a sharing violation; a read-only file is
    // not in use); elsewhere any file that cannot be opened for writing.
    static bool isInUse(const QString &path);

    // Keeps a file that is in use under a second name, replacing an older
    // file of that name, before a new file is renamed over it, and returns
    // the name it now has, or an empty string when it could not be kept.
    // On POSIX the file gets a second link and keeps its own name, so an
    // interruption before the rename leaves it where it was. Windows cannot
    // replace a name whose file is in use, so there the file is renamed
    // aside, and the new file follows at once; when an older file of that
    // name is still held by a program, a numbered name is taken instead
    // ("Tarn.exe.delete", then "Tarn.exe.1.delete", "Tarn.exe.2.delete", ...).
    static QString setAside(const QString &file, const QString &aside);

    // Renames source over target in one step, replacing an existing target
    // (rename() on POSIX, MoveFileEx with MOVEFILE_REPLACE_EXISTING on
    // Windows, where a read-only target is made writable first).
    static bool replaceFile(const QString &source, const QString &target);

    // The text under which a relative path names its file: on Windows, whose
    // file names ignore letter case, the path case-folded; elsewhere as it is.
    static QString fileKey(const QString &relativePath);

    // A file's last-modification time in milliseconds since the epoch, or
    // nullopt when there is no such file. Cheaper than QFileInfo::lastModified(),
    // which converts every time into local time.
    static std::optional<qint64> modificationTime(const QString &path);

    // Starts a detached process from one command line: a double-quoted
    // program path first, then the arguments, separated by blanks.
    static bool startDetachedCommand(const QString &commandLine);

    // A program text for QProcess::setProgram(), which may be a path in double
    // quotes. Windows puts the program into a command line as it stands, so
    // the quotes stay; elsewhere the name goes to the system verbatim, so the
    // enclosing quotes are removed.
    static QString processProgram(const QString &programText);
};
