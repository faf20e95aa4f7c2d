#include "FilesChecker.h"

#include "net/ApiBaseUrl.h"
#include "net/RequestSender.h"

#include <QNetworkReply>

#include <initializer_list>

FilesChecker::FilesChecker(QObject *parent, bool downloadAfterCompare)
    : QObject(parent)
    , programFolder(this)
    , sectorFolder(this)
    , downloadAfterCompare(downloadAfterCompare)
{
    const std::initializer_list<FolderUpdate *> parts{&programFolder, &sectorFolder};
    for (FolderUpdate *folder : parts) {
        connect(folder, &FolderUpdate::compared, this, &FilesChecker::FilesCompared);
        connect(folder, &FolderUpdate::fileUpdated, this, &FilesChecker::OneFileUpdated);
        connect(folder, &FolderUpdate::finished, this, &FilesChecker::UpdateFinished);
        connect(folder, &FolderUpdate::listFailed, this, &FilesChecker::ListFailed);
    }
    connect(&programFolder, &ProgramFolderUpdate::restartNeeded, this, &FilesChecker::RestartNeeded);
}

void FilesChecker::SetRootPath(const QString &rootPath)
{
    programFolder.setRootPath(rootPath);
    sectorFolder.setRootPath(rootPath);
}

void FilesChecker::SetMode(const QString &mode)
{
    if (mode == ProgramFolderUpdate::modeText)
        this->mode = Mode::Client;
    else if (mode == SectorFolderUpdate::modeText)
        this->mode = Mode::Sector;
    else
        this->mode = Mode::None;
}

void FilesChecker::RequestFilelist(const QString &endpoint)
{
    programFolder.clear();
    auto *sender = new RequestSender(this);
    connect(sender, &RequestSender::onResponse, this, &FilesChecker::OnReceivedFilelist);
    connect(sender, &RequestSender::onFailure, this, &FilesChecker::ListFailed);
    sender->sendRequest(apiBaseUrl + QLatin1Char('/') + endpoint, {});
}

void FilesChecker::OnReceivedFilelist(gsl::not_null<QNetworkReply *> reply)
{
    switch (mode) {
    case Mode::Client:
        if (programFolder.compareWith(reply) && downloadAfterCompare)
            DownloadClientFiles();
        break;
    case Mode::Sector: sectorFolder.compareWith(reply); break;
    case Mode::None: break;
    }
}

const FolderUpdate *FilesChecker::part() const
{
    switch (mode) {
    case Mode::Client: return &programFolder;
    case Mode::Sector: return &sectorFolder;
    case Mode::None: break;
    }
    return nullptr;
}

quint64 FilesChecker::PendingCount() const
{
    return part() ? quint64(part()->pendingCount()) : 0;
}

QStringList FilesChecker::PendingFiles() const
{
    return part() ? part()->pendingFiles() : QStringList();
}

quint64 FilesChecker::FailedWriteCount() const
{
    return part() ? part()->failedWriteCount() : 0;
}

quint64 FilesChecker::FailedDownloadCount() const
{
    return part() ? part()->failedDownloadCount() : 0;
}

QString FilesChecker::FailureReason() const
{
    return part() ? part()->failureReason() : QString();
}

void FilesChecker::DownloadClientFiles()
{
    programFolder.download();
}

void FilesChecker::DownloadSectorFiles()
{
    sectorFolder.download();
}
