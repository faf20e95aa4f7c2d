#pragma once

#include "FolderUpdate.h"

#include <QHash>
#include <QJsonArray>
#include <QSet>
#include <QString>
#include <QStringList>

#include <gsl/gsl>

class QNetworkReply;

// One file of the "client" list.
struct ClientFileEntry
{
    // As listed: what the download asks for and where it is written.
    QString path;
    // The expected SHA-1 of the file's content, in hexadecimal.
    QString hash;
    // The entry's mode is "EXT": a local copy is compared by content.
    bool contentCompared = false;
};

// The "client" work of FilesChecker: the program folder compared with the
// service's list of program files, and the downloads of what differs. A file
// in use is replaced all the same: restartNeeded() comes first, and the old
// file is set aside as "<name>.delete" once its replacement is complete.
class ProgramFolderUpdate : public FolderUpdate
{
    Q_OBJECT
public:
    // The mode text of this part, which the download requests carry too.
    static inline const QString modeText = QStringLiteral("client");

    using FolderUpdate::FolderUpdate;

    // Forgets the list and the files still to download.
    void clear();
    // Reads the list reply and compares the folder with it, then emits
    // compared(). False, and listFailed() instead, when the reply is no
    // whole list.
    bool compareWith(QNetworkReply *reply);
    // Requests every file still to download, in the order of their paths.
    void download() override;
    int pendingCount() const override;
    // Sorted.
    QStringList pendingFiles() const override;

Q_SIGNALS:
    // A file in use is about to be replaced.
    void restartNeeded();

private Q_SLOTS:
    void OnDownloadReply(gsl::not_null<QNetworkReply *> reply, QString filePath, int batch);

private:
    void postDownload(const QString &path, int batch) override;
    void takeEntries(const QJsonArray &list);
    void compareFolder();
    bool passesHashCheck(const QString &relativePath, const QByteArray &body) const;
    QString asideNameIfInUse(const QString &target);

    // By the key of their path (Platform::fileKey()): on Windows a later
    // entry whose path differs only in letter case replaces an earlier one,
    // and a local file matches in any letter case.
    QHash<QString, ClientFileEntry> clientEntries;
    QSet<QString> clientPending;
};
