#include "SelfUpdateHandler.h"

#include "SettingsHandler.h"
#include "platform/Logging.h"
#include "platform/Platform.h"
#include "update/FilesChecker.h"

#include <QCoreApplication>
#include <QTimer>

namespace {
const QString listEndpoint = QStringLiteral("checkClient.php");
} // namespace

SelfUpdateHandler::SelfUpdateHandler()
    : QmlSingletonType(this)
{
    QmlSingletonType<SettingsHandler>::instance->loadSettings();
    restartedBySelf = Platform::takeSelfRestartMarker();

    filesChecker = std::make_unique<FilesChecker>(nullptr, true);
    filesChecker->SetRootPath(QCoreApplication::applicationDirPath());
    filesChecker->SetMode(ProgramFolderUpdate::modeText);

    // A child, so that it goes with the handler.
    watchdog = new QTimer(this);
    watchdog->setObjectName(QStringLiteral("selfUpdateWatchdog"));
    connect(watchdog, &QTimer::timeout, this, &SelfUpdateHandler::OnSelfUpdateTimeout);
    connect(filesChecker.get(), &FilesChecker::UpdateFinished, this,
            &SelfUpdateHandler::OnSelfUpdateFinished);
    connect(filesChecker.get(), &FilesChecker::RestartNeeded, this,
            &SelfUpdateHandler::setNeedsRestart);
    connect(filesChecker.get(), &FilesChecker::ListFailed, this, &SelfUpdateHandler::OnListFailed);

    filesChecker->RequestFilelist(listEndpoint);
    watchdog->start(watchdogInterval);
}

SelfUpdateHandler::~SelfUpdateHandler() = default;

void SelfUpdateHandler::setNeedsRestart()
{
    needsRestart = true;
}

QString SelfUpdateHandler::errorReason() const
{
    return currentErrorReason;
}

void SelfUpdateHandler::OnSelfUpdateFinished()
{
    watchdog->stop();
    const quint64 failed = filesChecker->FailedWriteCount() + filesChecker->FailedDownloadCount();
    if (failed > 0) {
        reportError(QStringLiteral("%1 program %2 could not be updated: %3")
                        .arg(failed)
                        .arg(QLatin1String(failed == 1 ? "file" : "files"))
                        .arg(filesChecker->FailureReason()));
        return;
    }
    if (!needsRestart) {
        Q_EMIT selfUpdated();
        return;
    }
    if (restartedBySelf) {
        reportError(QStringLiteral("The update needs another restart right after one"));
        return;
    }
    restart();
}

void SelfUpdateHandler::OnSelfUpdateTimeout()
{
    watchdog->stop();
    reportError(
        QStringLiteral("The update did not finish within %1 seconds").arg(watchdogInterval / 1000));
}

// A list that fails is reported at once, not when the watchdog fires.
void SelfUpdateHandler::OnListFailed(const QString &reason)
{
    watchdog->stop();
    reportError(QStringLiteral("Could not get the program's file list: ") + reason);
}

void SelfUpdateHandler::reportError(const QString &reason)
{
    qCWarning(lcSelfUpdate).noquote() << reason;
    currentErrorReason = reason;
    Q_EMIT errorReasonChanged(currentErrorReason);
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
