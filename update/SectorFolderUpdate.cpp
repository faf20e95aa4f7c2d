#include "SectorFolderUpdate.h"

#include "AtomicFileWriter.h"
#include "DownloadedFile.h"
#include "JsonKeys.h"
#include "ProfileMerge.h"
#include "SectorTreeWalk.h"
#include "ServiceTime.h"
#include "net/ApiBaseUrl.h"
#include "net/FailureReason.h"
#include "net/RequestSender.h"
#include "platform/Logging.h"

#include <QDir>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonObject>
#include <QNetworkReply>

namespace {
const QLatin1String downloadEndpoint("/downloadSectorFile.php");
} // namespace

// One request from its posting until its reply has finished.
struct SectorFolderUpdate::Download
{
    QString path;
    // The full local path, cleaned.
    QString target;
    // A profile merge needs the user's copy and the whole body at once.
    bool wholeBody = false;
    // The reply's headers have been looked at.
    bool headersSeen = false;
    // The body goes to the part file as it arrives.
    bool streamed = false;
    qint64 receivedBytes = 0;
    // Set while streaming into it; empty once a write into it failed.
    std::unique_ptr<AtomicFileWriter::Incremental> part;
};

SectorFolderUpdate::SectorFolderUpdate(QObject *parent)
    : FolderUpdate(parent)
{
}

SectorFolderUpdate::~SectorFolderUpdate() = default;

void SectorFolderUpdate::compareWith(QNetworkReply *reply)
{
    sectorTimes.clear();
    sectorPending.clear();
    QByteArray body;
    if (!readList(reply, body))
        return;
    const std::optional<QJsonArray> list = JsonKeys::listIn(body);
    if (!list) {
        Q_EMIT listFailed(FailureReason::unreadableList());
        return;
    }
    SectorTreeWalk walk(rootPath);
    for (const QJsonValue &element : *list) {
        const QVector<SectorTreeWalk::OutdatedFile> outdated = walk.outdatedIn(element.toObject());
        for (const SectorTreeWalk::OutdatedFile &file : outdated) {
            sectorTimes.insert(file.path, file.timeText);
            sectorPending.append(file.path);
        }
        Q_EMIT compared();
    }
    // An empty list names nothing to update, which is a comparison too.
    if (list->isEmpty())
        Q_EMIT compared();
}

int SectorFolderUpdate::pendingCount() const
{
    return sectorPending.size();
}

QStringList SectorFolderUpdate::pendingFiles() const
{
    return sectorPending.toList();
}

bool SectorFolderUpdate::writeFile(const QString &filePath, const QByteArray &data)
{
    const QString relativePath = filePath.mid(rootPath.size() + 1);
    return DownloadedFile::write(filePath, data,
                                 ServiceTime::parse(sectorTimes.value(relativePath)));
}

void SectorFolderUpdate::download()
{
    clearedFolders.clear();
    startDownloads(sectorPending.toList());
}

void SectorFolderUpdate::postDownload(const QString &path, int batch)
{
    auto *sender = new RequestSender(this);
    connect(sender, &RequestSender::replyStarted, this,
            [this, path](QNetworkReply *reply) { OnReplyStarted(reply, path); });
    connect(sender, &RequestSender::onResponse, this,
            [this, path, batch](QNetworkReply *reply) { OnDownloadReply(reply, path, batch); });
    connect(sender, &RequestSender::onFailure, this,
            [this, batch](const QString &reason) { requestEnded(batch, Outcome::Failed, reason); });
    sender->sendRequest(apiBaseUrl + downloadEndpoint, {{QStringLiteral("file"), path}});
}

void SectorFolderUpdate::OnReplyStarted(QNetworkReply *reply, const QString &path)
{
    auto download = std::make_unique<Download>();
    download->path = path;
    const QString target = rootPath + QLatin1Char('/') + path;
    download->target = QDir::cleanPath(target);
    download->wholeBody = ProfileMerge::appliesTo(target);
    downloads[reply] = std::move(download);
    connect(reply, &QNetworkReply::metaDataChanged, this, [this, reply] { OnMetaData(reply); });
    connect(reply, &QNetworkReply::readyRead, this, [this, reply] { streamBody(reply); });
    // Connected after the sender's own, so this runs once the reply has been
    // handled.
    connect(reply, &QNetworkReply::finished, this, [this, reply] { endRequest(reply); });
    followDownload(reply, path);
}

SectorFolderUpdate::Download *SectorFolderUpdate::downloadOf(QNetworkReply *reply) const
{
    const auto it = downloads.find(reply);
    return it == downloads.end() ? nullptr : it->second.get();
}

void SectorFolderUpdate::OnMetaData(QNetworkReply *reply)
{
    Download *download = downloadOf(reply);
    if (!download || download->headersSeen)
        return;
    download->headersSeen = true;
    // Only what would be written at the end is streamed; any other body stays
    // with the reply, as before, and is dropped with it.
    if (!download->wholeBody && DownloadedFile::whyNotWritable(reply).isEmpty()) {
        download->streamed = true;
        removePartFilesOnce(download->target);
        auto part = std::make_unique<AtomicFileWriter::Incremental>(download->target);
        if (DownloadedFile::makeFolderFor(download->target) && part->open())
            download->part = std::move(part);
    }
}

void SectorFolderUpdate::streamBody(QNetworkReply *reply)
{
    Download *download = downloadOf(reply);
    if (!download)
        return;
    if (!download->headersSeen)
        OnMetaData(reply);
    if (!download->streamed)
        return;
    // Read even after a failed write, so the body does not pile up in memory.
    const QByteArray chunk = reply->readAll();
    download->receivedBytes += chunk.size();
    if (download->part && !download->part->append(chunk))
        download->part.reset();
}

void SectorFolderUpdate::OnDownloadReply(gsl::not_null<QNetworkReply *> reply, QString filePath,
                                         int batch)
{
    const QString refusal = DownloadedFile::whyNotWritable(reply);
    if (!refusal.isEmpty()) {
        requestEnded(batch, Outcome::Failed, refusal);
        return;
    }
    Download *download = downloadOf(reply);
    const std::optional<bool> written = download && download->streamed
        ? writeStreamed(reply, *download)
        : writeWhole(reply, filePath);
    // A body cut short leaves its file pending.
    if (!written) {
        requestEnded(batch, Outcome::Failed, FailureReason::cutShort());
        return;
    }
    Q_EMIT fileUpdated();
    sectorPending.removeFirst(filePath);
    requestEnded(batch, *written ? Outcome::Written : Outcome::NotWritten);
}

// Whether the streamed file was put in place; nothing when its body was cut short.
std::optional<bool> SectorFolderUpdate::writeStreamed(QNetworkReply *reply, Download &download)
{
    streamBody(reply);
    if (RequestSender::isCutShort(reply, download.receivedBytes)) {
        qCWarning(lcUpdate) << "The download of" << download.path << "ended before its whole body";
        return std::nullopt;
    }
    const bool written = download.part
        && download.part->finish(ServiceTime::parse(sectorTimes.value(download.path)),
                                 download.target);
    download.part.reset();
    return written;
}

// Whether the file was written from the whole body; nothing when the body was
// cut short.
std::optional<bool> SectorFolderUpdate::writeWhole(QNetworkReply *reply, const QString &filePath)
{
    const QByteArray body = reply->readAll();
    if (RequestSender::isCutShort(reply, body.size())) {
        qCWarning(lcUpdate) << "The download of" << filePath << "ended before its whole body";
        return std::nullopt;
    }
    const QString target = rootPath + QLatin1Char('/') + filePath;
    removePartFilesOnce(target);
    return writeFile(target, body);
}

void SectorFolderUpdate::endRequest(QNetworkReply *reply)
{
    const auto it = downloads.find(reply);
    if (it == downloads.end())
        return;
    // Dropping it removes a part file still open: the reply failed, or was
    // not to be written.
    const std::unique_ptr<Download> download = std::move(it->second);
    downloads.erase(it);
}

void SectorFolderUpdate::removePartFilesOnce(const QString &target)
{
    const QString folder = QFileInfo(QDir::cleanPath(target)).absolutePath();
    if (clearedFolders.contains(folder))
        return;
    clearedFolders.insert(folder);
    // A download of an earlier batch may still be writing here.
    QSet<QString> live;
    for (const auto &entry : downloads) {
        if (entry.second->part && entry.second->part->isLive())
            live.insert(entry.second->part->partFileName());
    }
    AtomicFileWriter::removePartFiles(folder, live);
}
