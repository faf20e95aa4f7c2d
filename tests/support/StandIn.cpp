// A stand-in for the programs Tarn starts (EuroScope, the voice client,
// Discord's updater), copied to where a test wants one. It records, one per
// line, in "<its own path>.run" (renamed into place, so a record is whole
// once it exists): its working directory, its argument count, its arguments,
// the self-restart marker it inherited (empty when none) and EuroScope's last
// profile as the registry holds it when it starts, as EuroScope reads it.

#include "platform/Platform.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QStandardPaths>

#ifdef Q_OS_WIN
#include <windows.h>
#endif

namespace {
QString lastProfile()
{
#ifdef Q_OS_WIN
    // Read as EuroScope does, with the system's own call.
    wchar_t value[4096];
    DWORD size = sizeof value;
    if (RegGetValueW(HKEY_CURRENT_USER, L"Software\\Dorvan Keleth\\EuroScope\\Settings",
                     L"LastProfile", RRF_RT_REG_SZ, nullptr, value, &size)
        != ERROR_SUCCESS)
        return {};
    return QString::fromWCharArray(value);
#else
    // The registry's stand-in of a test lies in its test locations.
    QStandardPaths::setTestModeEnabled(true);
    return Platform::registryValue(
        QStringLiteral("HKEY_CURRENT_USER\\Software\\Dorvan Keleth\\EuroScope\\Settings"),
        QStringLiteral("LastProfile"));
#endif
}
} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication application(argc, argv);
    const QStringList arguments = QCoreApplication::arguments().mid(1);
    const QStringList lines
        = QStringList{QDir::current().canonicalPath(), QString::number(arguments.size())}
        + arguments + QStringList{qEnvironmentVariable("TARN_SELF_RESTARTED"), lastProfile()};
    const QString record = QCoreApplication::applicationFilePath() + QStringLiteral(".run");
    QFile part(record + QStringLiteral(".part"));
    if (!part.open(QIODevice::WriteOnly) || part.write(lines.join(QLatin1Char('\n')).toUtf8()) < 0
        || !part.flush())
        return 1;
    part.close();
    return part.rename(record) ? 0 : 1;
}
