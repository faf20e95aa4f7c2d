#pragma once

#include <QObject>
#include <QString>
#include <QStringList>

class QNetworkReply;

// One mode's work for FilesChecker: a local folder compared with the service's
// list, and the downloads of what differs (ProgramFolderUpdate for "client",
// SectorFolderUpdate for "sector").
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
    // How many files of the current download could not be written.
    quint64 failedWriteCount() const;

Q_SIGNALS:
    void compared();
    // After each file of a download, written or not, while it still counts
    // as pending.
    void fileUpdated();
    // Nothing is pending any more.
    void finished();

protected:
    // The folder compared and written to, as a local path.
    QString rootPath;
    quint64 failedWrites = 0;
};
