#pragma once

#include "PendingPaths.h"

#include <QByteArray>
#include <QHash>
#include <QObject>
#include <QSet>
#include <QString>
#include <QStringList>

#include <gsl/gsl>

#include <memory>
#include <unordered_map>

class QJsonObject;
class QNetworkReply;

// One file of the "client" list.
struct ClientFileEntry
{
    // The expected SHA-1 of the file's content, in hexadecimal.
    QString hash;
    // The entry's mode is "EXT": a local copy is compared by content.
    bool contentCompared = false;
};

// Keeps one local folder in step with a file list that the service publishes.
// In "client" mode the folder is the program's own and files are compared by
// content hash; in "sector" mode it is the sector folder and files are
// compared by modification time. Requests go through short-lived
// RequestSenders parented to the checker.
class FilesChecker : public QObject
{
    Q_OBJECT
public:
    FilesChecker(QObject *parent, bool downloadAfterCompare);
    ~FilesChecker() override;

    void SetRootPath(const QString &rootPath);
    void SetMode(const QString &mode);

    // Asks the service for the list at endpoint ("checkClient.php" or
    // "getfilelist.php"); the reply is compared with the root folder.
    void RequestFilelist(const QString &endpoint);
    // The number of files still to download in the current mode.
    quint64 PendingCount() const;
    // The files still to download: sorted in "client" mode, in the order of
    // the list in "sector" mode.
    QStringList PendingFiles() const;
    // How many files of the current download could not be written.
    quint64 FailedWriteCount() const;

    void DownloadClientFiles();
    void DownloadSectorFiles();
    // Writes one downloaded file (full local path, body) and returns whether
    // it was written. Emits OneFileUpdated() either way.
    bool WriteFile(const QString &filePath, const QByteArray &data);

Q_SIGNALS:
    void OneFileUpdated();
    void UpdateFinished();
    void FilesCompared();
    // A file in use is about to be replaced: the program must restart once
    // the update is done. Emitted before the file is set aside.
    void RestartNeeded();

private Q_SLOTS:
    void OnReceivedFilelist(gsl::not_null<QNetworkReply *> reply);
    void OnDownloadReply(gsl::not_null<QNetworkReply *> reply, QString filePath);
    void OnSectorDownloadReply(gsl::not_null<QNetworkReply *> reply, QString filePath);

private:
    struct SectorWalk;
    struct SectorDownload;

    void readClientList(QNetworkReply *reply);
    void compareClientFiles();
    void readSectorList(QNetworkReply *reply);
    void walkSectorTree(SectorWalk &walk, const QString &prefix, const QJsonObject &node);
    bool isOutdated(SectorWalk &walk, const QString &relativePath, const QString &timeText) const;

    // Whether a downloaded body may be written: an "EXT" file only when it
    // matches its listed hash.
    bool passesHashCheck(const QString &relativePath, const QByteArray &body) const;
    QString asideNameIfInUse(const QString &target);
    // WriteFile() that keeps the old file under setAsideAs when that is not empty.
    bool writeFileSettingAside(const QString &filePath, const QByteArray &data,
                               const QString &setAsideAs);
    void removePartFilesOnce(const QString &target);
    void postSectorRequests();
    bool roomForSectorRequest() const;
    bool takeNextSectorPath(QString &path);
    void postSectorRequest(const QString &path);
    void OnSectorReplyStarted(QNetworkReply *reply, const QString &path);
    void OnSectorMetaData(QNetworkReply *reply);
    void streamSectorBody(QNetworkReply *reply);
    void endSectorRequest(QNetworkReply *reply);
    SectorDownload *sectorDownloadOf(QNetworkReply *reply) const;

    QHash<QString, QString> sectorTimes;
    QHash<QString, ClientFileEntry> clientEntries;
    QSet<QString> clientPending;
    PendingPaths sectorPending;
    QString rootPath;
    QString mode;
    bool downloadAfterCompare;
    quint64 failedWrites = 0;
    // Folders of the current sector download already cleared of partial files.
    QSet<QString> clearedFolders;

    // The sector batch being posted: the list, the next entry to post, and
    // entries held back while a download of the same path is still running.
    QStringList sectorQueue;
    int sectorNext = 0;
    QStringList sectorDeferred;
    // Every posted sector request whose reply has not finished yet.
    std::unordered_map<QNetworkReply *, std::unique_ptr<SectorDownload>> sectorDownloads;
    QSet<QString> runningSectorPaths;
    // The Content-Length headers seen in this batch, to guess the size of a
    // reply before its headers arrive.
    qint64 sectorBytesSeen = 0;
    int sectorSizesSeen = 0;
    int sectorHeadersSeen = 0;
};
