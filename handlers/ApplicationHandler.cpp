#include "ApplicationHandler.h"

#include "SelfUpdateHandler.h"
#include "SettingsHandler.h"
#include "UpdateHandler.h"
#include "UserHandler.h"
#include "platform/Logging.h"
#include "platform/Platform.h"
#include "update/ProfileMerge.h"

#include <QDesktopServices>
#include <QDir>
#include <QFileInfo>
#include <QProcess>
#include <QUrl>

namespace {
constexpr int buildNumber = TARN_BUILD_NUMBER;

// Opened when Discord is not installed.
const QString chatInvitationAddress = QStringLiteral("https://chat.tarn-atc.example/invite/tarn");

const QString euroscopeSettingsKey
    = QStringLiteral("HKEY_CURRENT_USER\\Software\\Dorvan Keleth\\EuroScope\\Settings");
const QString lastProfileValue = QStringLiteral("LastProfile");
const QString voiceClientKey
    = QStringLiteral("HKEY_LOCAL_MACHINE\\SOFTWARE\\WOW6432Node\\VATSIM\\Audio For VATSIM");
const QString voiceClientFolderValue = QStringLiteral("Path");
const QString voiceClientExecutable = QStringLiteral("AudioForVATSIM.exe");
const QString discordUpdaterArguments = QStringLiteral(" --processStart Discord.exe");

QString quoted(const QString &text)
{
    return QLatin1Char('"') + text + QLatin1Char('"');
}

bool isFile(const QString &path)
{
    return QFileInfo(path).isFile();
}

QString discordUpdaterPath()
{
    return Platform::localAppDataFolder() + QDir::separator() + QStringLiteral("Discord")
        + QDir::separator() + QStringLiteral("Update.exe");
}

// The voice client's folder is its installer's registry value, which ends in
// a separator: the file name is appended directly.
bool startVoiceClient()
{
    const QString folder = Platform::registryValue(voiceClientKey, voiceClientFolderValue);
    QProcess voiceClient;
    voiceClient.setProgram(Platform::processProgram(quoted(folder + voiceClientExecutable)));
    voiceClient.setWorkingDirectory(folder);
    voiceClient.setStandardOutputFile(QProcess::nullDevice());
    voiceClient.setStandardErrorFile(QProcess::nullDevice());
    qint64 pid = 0;
    return voiceClient.startDetached(&pid);
}
} // namespace

ApplicationHandler::ApplicationHandler(QObject *parent)
    : QObject(parent)
    , QmlSingletonType(this)
{
    new UserHandler;
    new SettingsHandler;
    new UpdateHandler;
    new SelfUpdateHandler;
    QmlSingletonType<SelfUpdateHandler>::registerSingleton("SelfUpdateHandler");
}

QString ApplicationHandler::buildNumberString() const
{
    return QStringLiteral("Build ") + QString::number(buildNumber);
}

QString ApplicationHandler::productTitle() const
{
    return QStringLiteral(TARN_PRODUCT_TITLE);
}

QString ApplicationHandler::chatInvitation() const
{
    return chatInvitationAddress;
}

void ApplicationHandler::startEuroscope()
{
    const SettingsHandler *settings = QmlSingletonType<SettingsHandler>::instance;
    const QString euroscope = settings->natifyUrl(settings->euroscopePath());
    // Nothing configured, or nothing there: the voice client stays off too.
    if (!isFile(euroscope)) {
        Q_EMIT launchError(QStringLiteral("Euroscope not found"));
        return;
    }

    // EuroScope takes no argument: it opens the profile its registry names.
    const QString profile = settings->natifyUrl(settings->sectorPath()) + QDir::separator()
        + ProfileMerge::communityProfileName;
    if (isFile(profile)
        && !Platform::setRegistryValue(euroscopeSettingsKey, lastProfileValue, profile))
        qCWarning(lcLauncher) << "Could not set EuroScope's last profile to" << profile;

    if (!Platform::startDetachedCommand(quoted(euroscope))) {
        qCWarning(lcLauncher) << "Could not start EuroScope from" << euroscope;
        Q_EMIT launchError(QStringLiteral("Euroscope could not be started"));
    }
    if (!startVoiceClient())
        Q_EMIT afvError();
}

void ApplicationHandler::startDiscord()
{
    const QString updater = discordUpdaterPath();
    if (!isFile(updater)) {
        if (!QDesktopServices::openUrl(QUrl(chatInvitationAddress)))
            Q_EMIT launchError(QStringLiteral("The chat invitation could not be opened"));
        return;
    }
    if (!Platform::startDetachedCommand(quoted(updater) + discordUpdaterArguments)) {
        qCWarning(lcLauncher) << "Could not start Discord's updater" << updater;
        Q_EMIT launchError(QStringLiteral("Discord could not be started"));
    }
}
