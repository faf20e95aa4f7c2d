#pragma once

#include <QObject>
#include <QString>
#include <QStringList>

class QNetworkReply;

// One mode's work for FilesChecker: a local folder compared with the service's
// list, and the downloads of what differs (ProgramFolderUpdate for "client",
// SectorFolderUpdate for "sector"). A download batch ends once each of its
// requests has ended, written, not written or failed; a file whose download
// failed stays pending for the next batch.
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

    // Starts a batch of count requests and returns its number; a batch of
    // none has ended at once.
    int startBatch(int count);
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
    int batch = 0;
    int unanswered = 0;
    quint64 failedWrites = 0;
    quint64 failedDownloads = 0;
    QString firstFailure;
};
