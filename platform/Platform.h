#pragma once

#include <QString>

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
    static bool startOwnExecutable();

    // Starts a detached process from one command line: a double-quoted
    // program path first, then the arguments, separated by blanks.
    static bool startDetachedCommand(const QString &commandLine);

    // The program's executable file name, as it was when the process started.
    static QString ownExecutableName();
};
