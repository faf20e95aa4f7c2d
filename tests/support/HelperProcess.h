#pragma once

// The update helper (tests/support/UpdateHelper.cpp) run as a separate
// process that talks to this test program's service.

#include "TestService.h"

#include <QFile>
#include <QFileInfo>
#include <QProcess>

// The helper's name in a program folder: on Windows the program's own, by
// which the self-update restarts it.
inline QString helperName()
{
#ifdef Q_OS_WIN
    return QStringLiteral("Tarn.exe");
#else
    return QFileInfo(QStringLiteral(TARN_UPDATE_HELPER)).fileName();
#endif
}

// Copies the helper into folder, where it runs as the program of that folder.
inline bool copyHelperInto(const QString &folder)
{
    return QFile::copy(QStringLiteral(TARN_UPDATE_HELPER), folder + QLatin1Char('/') + helperName());
}

// Starts the helper copy in folder with these arguments, in that folder or
// the working directory given.
inline void startHelper(QProcess &process, const QString &folder, const QStringList &arguments,
                        const QString &workingDirectory = {})
{
    process.setProcessEnvironment(serviceEnvironment());
    process.setWorkingDirectory(workingDirectory.isEmpty() ? folder : workingDirectory);
    process.start(folder + QLatin1Char('/') + helperName(), arguments);
}
