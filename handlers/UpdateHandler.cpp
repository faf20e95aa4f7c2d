#include "UpdateHandler.h"

#include "SettingsHandler.h"
#include "platform/Logging.h"
#include "update/FilesChecker.h"

#include <QFileInfo>

namespace {
const QString listEndpoint = QStringLiteral("getfilelist.php");
} // namespace

UpdateHandler::UpdateHandler(QObject *parent)
    : QObject(parent)
    , QmlSingletonType(this)
    , filesChecker(new FilesChecker(this, false))
{
}

QString UpdateHandler::debugText() const
{
    return currentDebugText;
}

void UpdateHandler::setDebugText(const QString &debugText)
{
    if (debugText == currentDebugText)
        return;
    currentDebugText = debugText;
    Q_EMIT debugTextChanged(currentDebugText);
}

void UpdateHandler::checkUpdate()
{
    const SettingsHandler *settings = QmlSingletonType<SettingsHandler>::instance;
    const QString sectorPath = settings->sectorPath();
    const QString sectorFolder = settings->natifyUrl(sectorPath);
    if (sectorPath.isEmpty() || !QFileInfo(sectorFolder).isDir()) {
        Q_EMIT sectorFolderError();
        return;
    }
    filesToUpdate = 0;
    attachRelays();
    filesChecker->SetRootPath(sectorFolder);
    filesChecker->SetMode(SectorFolderUpdate::modeText);
    filesChecker->RequestFilelist(listEndpoint);
}

void UpdateHandler::startUpdate()
{
    filesChecker->DownloadSectorFiles();
}

void UpdateHandler::attachRelays()
{
    if (relaysAttached)
        return;
    connect(filesChecker, &FilesChecker::FilesCompared, this, &UpdateHandler::OnFilesCompared);
    connect(filesChecker, &FilesChecker::OneFileUpdated, this, &UpdateHandler::OnOneFileUpdated);
    connect(filesChecker, &FilesChecker::UpdateFinished, this, &UpdateHandler::OnUpdateFinished);
    connect(filesChecker, &FilesChecker::ListFailed, this, &UpdateHandler::checkFailed);
    relaysAttached = true;
}

void UpdateHandler::OnFilesCompared()
{
    filesToUpdate = filesChecker->PendingCount();
    Q_EMIT checkoutComplete(filesToUpdate > 0, QString::number(filesToUpdate));
}

void UpdateHandler::OnOneFileUpdated()
{
    // The checker reports a file before it takes it off its pending list, so
    // the pending count still includes the file just written.
    const quint64 current = filesToUpdate - filesChecker->PendingCount() + 1;
    Q_EMIT updateProgress(uint(current), uint(filesToUpdate));
}

void UpdateHandler::OnUpdateFinished()
{
    const quint64 failed = filesChecker->FailedWriteCount() + filesChecker->FailedDownloadCount();
    if (failed > 0) {
        qCWarning(lcUpdate) << failed << "sector files could not be updated, the first because"
                            << filesChecker->FailureReason();
        Q_EMIT updateFailures(uint(failed), uint(filesChecker->PendingCount()));
    }
    Q_EMIT updateCompleted();
}
