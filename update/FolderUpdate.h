#pragma once

#include "DownloadQueue.h"

#include <QObject>
#include <QString>
#include <QStringList>

class QNetworkReply;

// One mode's work for FilesChecker: a local folder compared with the service's
// list, and the downloads of what differs (ProgramFolderUpdate for "client",
// SectorFolderUpdate for "sector"), as many at a time as DownloadQueue lets
// out. A download batch ends once each of its requests has ended, written,
// not written or failed; a file whose download failed stays pending for the
// next batch.
class FolderUpdate : public QObject
{
    Q_OBJECT
public:
    using QObject::QObject;

    void setRootPath(const QString &rootPath);
    // Starts the downloads of what the last comparison found.
    virtual void download() = 0;
    virtual int pendingCount() const = 0;
    virtual QStringList pendingFiles() const = 0;
    // How many files of the current batch could not be written, and how
    // many could not be downloaded.
    quint64 failedWriteCount() const;
    quint64 failedDownloadCount() const;
    // Why the first file of the current batch failed; empty when none did.
    QString failureReason() const;

Q_SIGNALS:
    void compared();
    // After each file of a download, written or not, while it still counts
    // as pending.
    void fileUpdated();
    // Every request of the batch has ended.
    void finished();
    // The list could not be had, or the service's answer was no list.
    void listFailed(QString reason);

protected:
    enum class Outcome { Written, NotWritten, Failed };

    // Starts a batch downloading these paths, in this order: postDownload()
    // is called for each when the window has room for it.
    void startDownloads(const QStringList &paths);
    // Posts the download of path for batch; the subclass hands its reply to
    // followDownload().
    virtual void postDownload(const QString &path, int batch) = 0;
    // Counts the reply to path's download in the window until it has
    // finished. Called after the subclass has connected to the reply, so
    // its own handlers run first.
    void followDownload(QNetworkReply *reply, const QString &path);
    // Counts the outcome of one request of batch (a failed download with
    // its reason), and ends the batch after its last request. Requests of
    // an earlier batch are not counted.
    void requestEnded(int batch, Outcome outcome, const QString &reason = QString());
    // Whether the reply to a list request holds a whole list; emits
    // listFailed() when it does not. Reads the body.
    bool readList(QNetworkReply *reply, QByteArray &body);

    // The folder compared and written to, as a local path.
    QString rootPath;

private:
    // Starts a batch of count requests; a batch of none has ended at once.
    void startBatch(int count);
    void postDownloads();
    void headersArrived(QNetworkReply *reply, const QString &path);

    DownloadQueue queue;
    int batch = 0;
    int unanswered = 0;
    quint64 failedWrites = 0;
    quint64 failedDownloads = 0;
    QString firstFailure;
};
