#pragma once

#include "ProgramFolderUpdate.h"
#include "SectorFolderUpdate.h"

#include <QByteArray>
#include <QObject>
#include <QString>
#include <QStringList>

#include <gsl/gsl>

class QNetworkReply;

// Keeps one local folder in step with a file list that the service publishes.
// In "client" mode the folder is the program's own and files are compared by
// content hash (ProgramFolderUpdate); in "sector" mode it is the sector folder
// and files are compared by modification time (SectorFolderUpdate). This is
// the one front the handlers use: it picks the part for the mode and passes
// on its signals. Requests go through short-lived RequestSenders parented to
// the checker or its parts.
class FilesChecker : public QObject
{
    Q_OBJECT
public:
    // With downloadAfterCompare, a "client" comparison starts the downloads as
    // soon as it is done; a sector comparison never does.
    FilesChecker(QObject *parent, bool downloadAfterCompare);

    // The folder compared and written to, as a local path.
    void SetRootPath(const QString &rootPath);
    // "client" or "sector"; with any other text the checker ignores its list.
    void SetMode(const QString &mode);

    // Asks the service for the list at endpoint ("checkClient.php" or
    // "getfilelist.php"); the reply is compared with the root folder.
    void RequestFilelist(const QString &endpoint);
    // The number of files still to download in the current mode.
    quint64 PendingCount() const;
    // The files still to download: sorted in "client" mode, in the order of
    // the list in "sector" mode.
    QStringList PendingFiles() const;
    // How many files of the current download could not be written, and how
    // many could not be downloaded (they stay pending).
    quint64 FailedWriteCount() const;
    quint64 FailedDownloadCount() const;
    // Why the first file of the current download failed; empty when none did.
    QString FailureReason() const;

    void DownloadClientFiles();
    void DownloadSectorFiles();

Q_SIGNALS:
    void OneFileUpdated();
    // Every file of the download has been written, or has failed.
    void UpdateFinished();
    void FilesCompared();
    // The list request failed, or its answer was no list; nothing was compared.
    void ListFailed(QString reason);
    // A file in use is about to be replaced: the program must restart once
    // the update is done. Emitted before the file is set aside.
    void RestartNeeded();

private Q_SLOTS:
    void OnReceivedFilelist(gsl::not_null<QNetworkReply *> reply);

private:
    enum class Mode { None, Client, Sector };

    // The part that does the work of the current mode; none without a mode.
    const FolderUpdate *part() const;

    ProgramFolderUpdate programFolder;
    SectorFolderUpdate sectorFolder;
    Mode mode = Mode::None;
    bool downloadAfterCompare;
};
