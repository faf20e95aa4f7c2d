#pragma once

#include "FolderUpdate.h"
#include "PendingPaths.h"

#include <QByteArray>
#include <QHash>
#include <QSet>
#include <QString>
#include <QStringList>

#include <gsl/gsl>

#include <memory>
#include <optional>
#include <unordered_map>

class QNetworkReply;

// The "sector" work of FilesChecker: the sector folder compared with the
// service's tree by modification time (SectorTreeWalk), and the downloads of
// what is outdated. A body that needs no profile merge is streamed into its
// part file as it arrives.
class SectorFolderUpdate : public FolderUpdate
{
    Q_OBJECT
public:
    // The mode text of this part.
    static inline const QString modeText = QStringLiteral("sector");

    explicit SectorFolderUpdate(QObject *parent);
    // Out of line for Download; removes the part files still being written.
    ~SectorFolderUpdate() override;

    // Empties the lists, then compares the folder with each element of the
    // list reply in turn, emitting compared() after each (once for an empty
    // list), or listFailed() when the reply is no whole list.
    void compareWith(QNetworkReply *reply);
    void download() override;
    int pendingCount() const override;
    // In the order of the list.
    QStringList pendingFiles() const override;
    // Writes one downloaded file (full local path) with the listed time of
    // its path, if any, and returns whether it was written.
    bool writeFile(const QString &filePath, const QByteArray &data);

private Q_SLOTS:
    void OnDownloadReply(gsl::not_null<QNetworkReply *> reply, QString filePath, int batch);

private:
    struct Download;

    void postDownload(const QString &path, int batch) override;
    void OnReplyStarted(QNetworkReply *reply, const QString &path);
    void OnMetaData(QNetworkReply *reply);
    void streamBody(QNetworkReply *reply);
    std::optional<bool> writeStreamed(QNetworkReply *reply, Download &download);
    std::optional<bool> writeWhole(QNetworkReply *reply, const QString &filePath);
    void endRequest(QNetworkReply *reply);
    Download *downloadOf(QNetworkReply *reply) const;
    void removePartFilesOnce(const QString &target);

    // The listed time text of each file to download, by its path.
    QHash<QString, QString> sectorTimes;
    PendingPaths sectorPending;
    // Every posted request whose reply has not finished yet.
    std::unordered_map<QNetworkReply *, std::unique_ptr<Download>> downloads;
    // Folders of the current download already cleared of partial files.
    QSet<QString> clearedFolders;
};
