#include "SelfUpdateHandler.h"

#include "SettingsHandler.h"
#include "platform/Logging.h"
#include "platform/Platform.h"
#include "update/FilesChecker.h"

#include <QCoreApplication>
#include <QTimer>

namespace {
const QString checkerMode = QStringLiteral("client");
const QString listEndpoint = QStringLiteral("checkClient.php");
} // namespace

SelfUpdateHandler::SelfUpdateHandler()
    : QmlSingletonType(this)
{
    QmlSingletonType<SettingsHandler>::instance->loadSettings();
    restartedBySelf = Platform::takeSelfRestartMarker();

    filesChecker = std::make_unique<FilesChecker>(nullptr, true);
    filesChecker->SetRootPath(QCoreApplication::applicationDirPath());
    filesChecker->SetMode(checkerMode);

    // A child, so that it goes with the handler.
    watchdog = new QTimer(this);
    watchdog->setObjectName(QStringLiteral("selfUpdateWatchdog"));
    connect(watchdog, &QTimer::timeout, this, &SelfUpdateHandler::OnSelfUpdateTimeout);
    connect(filesChecker.get(), &FilesChecker::UpdateFinished, this,
            &SelfUpdateHandler::OnSelfUpdateFinished);
    connect(filesChecker.get(), &FilesChecker::RestartNeeded, this,
            &SelfUpdateHandler::setNeedsRestart);

    filesChecker->RequestFilelist(listEndpoint);
    watchdog->start(watchdogInterval);
}

SelfUpdateHandler::~SelfUpdateHandler() = default;

void SelfUpdateHandler::setNeedsRestart()
{
    needsRestart = true;
}

void SelfUpdateHandler::OnSelfUpdateFinished()
{
    watchdog->stop();
    if (const quint64 failed = filesChecker->FailedWriteCount(); failed > 0) {
        qCWarning(lcSelfUpdate) << failed << "program files could not be updated";
        Q_EMIT errorFound();
        return;
    }
    if (!needsRestart) {
        Q_EMIT selfUpdated();
        return;
    }
    if (restartedBySelf) {
        qCWarning(lcSelfUpdate)
            << "The update needs another restart right after one; not restarting";
        Q_EMIT errorFound();
        return;
    }
    restart();
}

void SelfUpdateHandler::OnSelfUpdateTimeout()
{
    watchdog->stop();
    Q_EMIT errorFound();
}

void SelfUpdateHandler::restart()
{
    needsRestart = false;
    QCoreApplication::quit();
    // This process ends either way; its files are already in place.
    if (!Platform::startOwnExecutable())
        qCWarning(lcSelfUpdate) << "Could not start the updated program";
}
