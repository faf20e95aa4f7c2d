#include "FilesChecker.h"

#include "AtomicFileWriter.h"
#include "JsonKeys.h"
#include "ListedPath.h"
#include "ProfileMerge.h"
#include "ServiceTime.h"
#include "net/ApiBaseUrl.h"
#include "net/RequestSender.h"
#include "platform/Logging.h"
#include "platform/Platform.h"

#include <QCryptographicHash>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkReply>

#include <algorithm>
#include <optional>
#include <utility>

namespace {
const QLatin1String clientMode("client");
const QLatin1String sectorMode("sector");
const QLatin1String clientDownloadEndpoint("/downloadFile.php");
const QLatin1String sectorDownloadEndpoint("/downloadSectorFile.php");
const QLatin1String contentCompareMode("EXT");
const QLatin1String deleteSuffix(".delete");
const QByteArray contentDispositionHeader = QByteArrayLiteral("Content-Disposition");
// Sector requests in flight. Qt runs six connections per host; the requests
// queued behind them keep every connection busy without a round trip through
// this thread after each reply.
constexpr int maxSectorRequests = 24;
// Each running reply buffers what Qt's network thread reads ahead of this
// one, so large bodies are let in only while their sizes, guessed for the
// replies whose headers have not come, add up to at most this much: files
// above 8 MiB come one at a time.
constexpr qint64 sectorBytesInFlight = 16 * 1024 * 1024;
// Fewer than this are always allowed, whatever the sizes.
constexpr int minSectorRequests = 1;

QJsonArray listOf(QNetworkReply *reply)
{
    // Anything but a JSON array reads as an empty list.
    const QByteArray body = reply->readAll();
    if (JsonKeys::repeatsKey(body)) {
        qCWarning(lcUpdate) << "Ignored a list that names a key twice in one object";
        return {};
    }
    return QJsonDocument::fromJson(body).array();
}

bool sameHash(const QByteArray &digest, const QString &listedHash)
{
    return QString::fromLatin1(digest.toHex()).compare(listedHash, Qt::CaseInsensitive) == 0;
}

// A file that cannot be read counts as current.
bool hasListedContent(const QString &path, const QString &listedHash)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return true;
    QCryptographicHash sha1(QCryptographicHash::Sha1);
    if (!sha1.addData(&file))
        return true;
    return sameHash(sha1.result(), listedHash);
}

bool isCompleteDownload(QNetworkReply *reply)
{
    return reply->error() == QNetworkReply::NoError
        && reply->hasRawHeader(contentDispositionHeader);
}

// The user's copy of a file about to be replaced, as raw bytes; empty when
// there is none.
QByteArray userCopyAt(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

bool makeFolderFor(const QString &path)
{
    const QString folder = QFileInfo(path).absolutePath();
    if (QDir().mkpath(folder))
        return true;
    qCWarning(lcUpdate) << "Could not create the folder" << folder;
    return false;
}

void removeLeftOver(const QString &path)
{
    // One that cannot go now is tried again at the next comparison.
    if (!QFile::remove(path))
        qCDebug(lcUpdate) << "Could not remove" << path << "yet";
}
} // namespace

// What one sector comparison needs besides the checker's own lists.
struct FilesChecker::SectorWalk
{
    // The folder compared, as the local paths begin.
    QString localRoot;
    // Time texts parsed so far: a tree repeats the same times many times.
    QHash<QString, std::optional<qint64>> listedTimes;

    std::optional<qint64> listedTime(const QString &timeText)
    {
        auto it = listedTimes.find(timeText);
        if (it == listedTimes.end()) {
            const QDateTime time = ServiceTime::parse(timeText);
            it = listedTimes.insert(timeText,
                                    time.isValid() ? std::optional<qint64>(time.toMSecsSinceEpoch())
                                                   : std::nullopt);
        }
        return *it;
    }
};

// One sector request from its posting until its reply has finished.
struct FilesChecker::SectorDownload
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
    // The Content-Length, or -1 while unknown.
    qint64 expectedBytes = -1;
    qint64 receivedBytes = 0;
    // Set while streaming into it; empty once a write into it failed.
    std::unique_ptr<AtomicFileWriter::Incremental> part;
};

FilesChecker::FilesChecker(QObject *parent, bool downloadAfterCompare)
    : QObject(parent)
    , downloadAfterCompare(downloadAfterCompare)
{
}

// Out of line for SectorDownload; removes the part files still being written.
FilesChecker::~FilesChecker() = default;

void FilesChecker::SetRootPath(const QString &rootPath)
{
    this->rootPath = rootPath;
}

void FilesChecker::SetMode(const QString &mode)
{
    this->mode = mode;
}

void FilesChecker::RequestFilelist(const QString &endpoint)
{
    clientEntries.clear();
    clientPending.clear();
    auto *sender = new RequestSender(this);
    connect(sender, &RequestSender::onResponse, this, &FilesChecker::OnReceivedFilelist);
    sender->sendRequest(apiBaseUrl + QLatin1Char('/') + endpoint, {});
}

quint64 FilesChecker::PendingCount() const
{
    if (mode == clientMode)
        return quint64(clientPending.size());
    if (mode == sectorMode)
        return quint64(sectorPending.size());
    return 0;
}

QStringList FilesChecker::PendingFiles() const
{
    if (mode == clientMode) {
        QStringList files(clientPending.cbegin(), clientPending.cend());
        std::sort(files.begin(), files.end());
        return files;
    }
    if (mode == sectorMode)
        return sectorPending.toList();
    return {};
}

quint64 FilesChecker::FailedWriteCount() const
{
    return failedWrites;
}

void FilesChecker::OnReceivedFilelist(gsl::not_null<QNetworkReply *> reply)
{
    if (mode == clientMode)
        readClientList(reply);
    else if (mode == sectorMode)
        readSectorList(reply);
}

void FilesChecker::readClientList(QNetworkReply *reply)
{
    // A cut list is no list: read as empty, it would pass for "all current".
    if (reply->error() != QNetworkReply::NoError
        || RequestSender::isCutShort(reply, reply->bytesAvailable()))
        return;
    const QJsonArray list = listOf(reply);
    for (const QJsonValue &value : list) {
        const QJsonObject object = value.toObject();
        const QString path = object.value(QLatin1String("path")).toString();
        if (!ListedPath::isSafeClientPath(path)) {
            qCWarning(lcUpdate) << "Skipped the listed program file" << path
                                << "because its path is not a plain path inside the program folder";
            continue;
        }
        clientEntries.insert(
            path,
            {object.value(QLatin1String("hash")).toString(),
             object.value(QLatin1String("mode")).toString() == contentCompareMode});
    }
    compareClientFiles();
}

void FilesChecker::compareClientFiles()
{
    QStringList localFiles;
    QDirIterator walk(rootPath, QDir::Files, QDirIterator::Subdirectories);
    while (walk.hasNext())
        localFiles.append(walk.next());

    const QDir root(rootPath);
    QSet<QString> unmatched;
    unmatched.reserve(clientEntries.size());
    for (auto it = clientEntries.cbegin(); it != clientEntries.cend(); ++it)
        unmatched.insert(it.key());

    for (const QString &file : qAsConst(localFiles)) {
        const QString relativePath = root.relativeFilePath(file);
        if (relativePath.endsWith(deleteSuffix) || AtomicFileWriter::isPartFile(relativePath)) {
            removeLeftOver(file);
            continue;
        }
        if (!unmatched.remove(relativePath))
            continue;
        const ClientFileEntry entry = clientEntries.value(relativePath);
        if (entry.contentCompared && !hasListedContent(file, entry.hash))
            clientPending.insert(relativePath);
    }
    for (const QString &missing : qAsConst(unmatched))
        clientPending.insert(missing);

    Q_EMIT FilesCompared();
    if (downloadAfterCompare)
        DownloadClientFiles();
}

void FilesChecker::readSectorList(QNetworkReply *reply)
{
    sectorTimes.clear();
    sectorPending.clear();
    if (reply->error() != QNetworkReply::NoError)
        return;
    const QJsonArray list = listOf(reply);
    SectorWalk walk{rootPath, {}};
    for (const QJsonValue &element : list) {
        walkSectorTree(walk, QStringLiteral("/"), element.toObject());
        Q_EMIT FilesCompared();
    }
}

void FilesChecker::walkSectorTree(SectorWalk &walk, const QString &prefix, const QJsonObject &node)
{
    for (auto it = node.constBegin(); it != node.constEnd(); ++it) {
        const QString path = prefix + QLatin1Char('/') + it.key();
        if (!ListedPath::isSafeSectorPath(path)) {
            qCWarning(lcUpdate) << "Skipped the listed sector entry" << path
                                << "because its path is not a plain path inside the sector folder";
            continue;
        }
        if (it.value().isObject()) {
            walkSectorTree(walk, path, it.value().toObject());
            continue;
        }
        const QString timeText = it.value().toString();
        if (isOutdated(walk, path, timeText)) {
            sectorTimes.insert(path, timeText);
            sectorPending.append(path);
        }
    }
}

bool FilesChecker::isOutdated(SectorWalk &walk, const QString &relativePath,
                              const QString &timeText) const
{
    const std::optional<qint64> localTime
        = Platform::modificationTime(walk.localRoot + relativePath);
    if (!localTime)
        return true;
    const std::optional<qint64> listedTime = walk.listedTime(timeText);
    if (!listedTime) {
        // Such a time could never be set on the file, so it would be
        // downloaded again at every check.
        qCWarning(lcUpdate) << "The listed time" << timeText << "of" << relativePath
                            << "does not parse; the local file counts as current";
        return false;
    }
    return *localTime < *listedTime;
}

void FilesChecker::DownloadClientFiles()
{
    qCDebug(lcUpdate) << "Program files to download:" << clientPending.size();
    failedWrites = 0;
    if (clientPending.isEmpty()) {
        Q_EMIT UpdateFinished();
        return;
    }
    for (const QString &path : qAsConst(clientPending)) {
        auto *sender = new RequestSender(this);
        connect(sender, &RequestSender::onResponse, this,
                [this, path](QNetworkReply *reply) { OnDownloadReply(reply, path); });
        sender->sendRequest(apiBaseUrl + clientDownloadEndpoint,
                            {{QStringLiteral("file"), path}, {QStringLiteral("mode"), mode}});
    }
}

void FilesChecker::OnDownloadReply(gsl::not_null<QNetworkReply *> reply, QString filePath)
{
    if (!isCompleteDownload(reply))
        return;
    const QByteArray body = reply->readAll();
    if (RequestSender::isCutShort(reply, body.size())) {
        qCWarning(lcUpdate) << "The download of" << filePath << "ended before its whole body";
        return;
    }
    const QString target = rootPath + QLatin1Char('/') + filePath;
    if (!passesHashCheck(filePath, body)) {
        qCWarning(lcUpdate) << "Refused the download of" << filePath
                            << "because its content does not match the listed hash";
        ++failedWrites;
        Q_EMIT OneFileUpdated();
    } else if (!writeFileSettingAside(target, body, asideNameIfInUse(target))) {
        ++failedWrites;
    }
    clientPending.remove(filePath);
    if (clientPending.isEmpty())
        Q_EMIT UpdateFinished();
}

bool FilesChecker::passesHashCheck(const QString &relativePath, const QByteArray &body) const
{
    // Any other mode is fetched only when missing, so a listed hash that is
    // not exact cannot bring it back at every start; refusing it would.
    const ClientFileEntry entry = clientEntries.value(relativePath);
    return !entry.contentCompared
        || sameHash(QCryptographicHash::hash(body, QCryptographicHash::Sha1), entry.hash);
}

// The name under which a file in use is set aside, or empty when it is not
// in use. It is set aside only once its replacement is complete, so that an
// interruption never leaves the program without it.
QString FilesChecker::asideNameIfInUse(const QString &target)
{
    // Opened without truncation: a profile merge still finds the user's lines.
    QFile probe(target);
    if (!probe.exists() || probe.open(QIODevice::WriteOnly | QIODevice::Append))
        return {};
    Q_EMIT RestartNeeded();
    return target + deleteSuffix;
}

void FilesChecker::DownloadSectorFiles()
{
    failedWrites = 0;
    clearedFolders.clear();
    if (sectorPending.isEmpty()) {
        Q_EMIT UpdateFinished();
        return;
    }
    sectorQueue = sectorPending.toList();
    sectorNext = 0;
    sectorDeferred.clear();
    sectorBytesSeen = 0;
    sectorSizesSeen = 0;
    sectorHeadersSeen = 0;
    postSectorRequests();
}

void FilesChecker::postSectorRequests()
{
    // Called whenever a reply finishes or reports its size, so the window
    // refills one request at a time and posting never holds the event loop
    // for long.
    QString path;
    while (roomForSectorRequest() && takeNextSectorPath(path))
        postSectorRequest(path);
}

bool FilesChecker::roomForSectorRequest() const
{
    const int running = int(sectorDownloads.size());
    if (running < minSectorRequests)
        return true;
    // Until the first headers tell something of the sizes, one at a time. A
    // service that sends no lengths at all gets the full window.
    if (running >= maxSectorRequests || sectorHeadersSeen == 0)
        return false;
    const qint64 guess = sectorSizesSeen > 0 ? sectorBytesSeen / sectorSizesSeen : 0;
    qint64 bytes = guess;
    for (const auto &entry : sectorDownloads)
        bytes += entry.second->expectedBytes >= 0 ? entry.second->expectedBytes : guess;
    return bytes <= sectorBytesInFlight;
}

bool FilesChecker::takeNextSectorPath(QString &path)
{
    // A path listed twice is downloaded twice, one after the other: both
    // would write the same part file.
    for (int i = 0; i < sectorDeferred.size(); ++i) {
        if (!runningSectorPaths.contains(sectorDeferred.at(i))) {
            path = sectorDeferred.takeAt(i);
            return true;
        }
    }
    while (sectorNext < sectorQueue.size()) {
        const QString &candidate = sectorQueue.at(sectorNext++);
        if (runningSectorPaths.contains(candidate)) {
            sectorDeferred.append(candidate);
            continue;
        }
        path = candidate;
        return true;
    }
    return false;
}

void FilesChecker::postSectorRequest(const QString &path)
{
    auto *sender = new RequestSender(this);
    connect(sender, &RequestSender::replyStarted, this,
            [this, path](QNetworkReply *reply) { OnSectorReplyStarted(reply, path); });
    connect(sender, &RequestSender::onResponse, this,
            [this, path](QNetworkReply *reply) { OnSectorDownloadReply(reply, path); });
    sender->sendRequest(apiBaseUrl + sectorDownloadEndpoint, {{QStringLiteral("file"), path}});
}

void FilesChecker::OnSectorReplyStarted(QNetworkReply *reply, const QString &path)
{
    auto download = std::make_unique<SectorDownload>();
    download->path = path;
    const QString target = rootPath + QLatin1Char('/') + path;
    download->target = QDir::cleanPath(target);
    download->wholeBody = ProfileMerge::appliesTo(target);
    sectorDownloads[reply] = std::move(download);
    runningSectorPaths.insert(path);
    connect(reply, &QNetworkReply::metaDataChanged, this, [this, reply] { OnSectorMetaData(reply); });
    connect(reply, &QNetworkReply::readyRead, this, [this, reply] { streamSectorBody(reply); });
    // Connected after the sender's own, so this runs once the reply has been
    // handled.
    connect(reply, &QNetworkReply::finished, this, [this, reply] { endSectorRequest(reply); });
}

FilesChecker::SectorDownload *FilesChecker::sectorDownloadOf(QNetworkReply *reply) const
{
    const auto it = sectorDownloads.find(reply);
    return it == sectorDownloads.end() ? nullptr : it->second.get();
}

void FilesChecker::OnSectorMetaData(QNetworkReply *reply)
{
    SectorDownload *download = sectorDownloadOf(reply);
    if (!download || download->headersSeen)
        return;
    download->headersSeen = true;
    ++sectorHeadersSeen;
    bool known = false;
    const qint64 length = reply->header(QNetworkRequest::ContentLengthHeader).toLongLong(&known);
    if (known && length >= 0) {
        download->expectedBytes = length;
        sectorBytesSeen += length;
        ++sectorSizesSeen;
    }
    // Only what would be written at the end is streamed; any other body stays
    // with the reply, as before, and is dropped with it.
    if (!download->wholeBody && isCompleteDownload(reply)) {
        download->streamed = true;
        removePartFilesOnce(download->target);
        auto part = std::make_unique<AtomicFileWriter::Incremental>(download->target);
        if (makeFolderFor(download->target) && part->open())
            download->part = std::move(part);
    }
    postSectorRequests();
}

void FilesChecker::streamSectorBody(QNetworkReply *reply)
{
    SectorDownload *download = sectorDownloadOf(reply);
    if (!download)
        return;
    if (!download->headersSeen)
        OnSectorMetaData(reply);
    if (!download->streamed)
        return;
    // Read even after a failed write, so the body does not pile up in memory.
    const QByteArray chunk = reply->readAll();
    download->receivedBytes += chunk.size();
    if (download->part && !download->part->append(chunk))
        download->part.reset();
}

void FilesChecker::OnSectorDownloadReply(gsl::not_null<QNetworkReply *> reply, QString filePath)
{
    if (!isCompleteDownload(reply))
        return;
    const QString target = rootPath + QLatin1Char('/') + filePath;
    SectorDownload *download = sectorDownloadOf(reply);
    bool written = false;
    if (download && download->streamed) {
        streamSectorBody(reply);
        if (RequestSender::isCutShort(reply, download->receivedBytes)) {
            qCWarning(lcUpdate) << "The download of" << filePath << "ended before its whole body";
            return;
        }
        written = download->part
            && download->part->finish(ServiceTime::parse(sectorTimes.value(filePath)),
                                      download->target);
        download->part.reset();
        Q_EMIT OneFileUpdated();
    } else {
        const QByteArray body = reply->readAll();
        if (RequestSender::isCutShort(reply, body.size())) {
            qCWarning(lcUpdate) << "The download of" << filePath << "ended before its whole body";
            return;
        }
        removePartFilesOnce(target);
        written = WriteFile(target, body);
    }
    if (!written)
        ++failedWrites;
    sectorPending.removeFirst(filePath);
    if (sectorPending.isEmpty())
        Q_EMIT UpdateFinished();
}

void FilesChecker::endSectorRequest(QNetworkReply *reply)
{
    const auto it = sectorDownloads.find(reply);
    if (it == sectorDownloads.end())
        return;
    // Dropping it removes a part file still open: the reply failed, or was
    // not to be written.
    const std::unique_ptr<SectorDownload> download = std::move(it->second);
    sectorDownloads.erase(it);
    runningSectorPaths.remove(download->path);
    postSectorRequests();
}

void FilesChecker::removePartFilesOnce(const QString &target)
{
    const QString folder = QFileInfo(QDir::cleanPath(target)).absolutePath();
    if (clearedFolders.contains(folder))
        return;
    clearedFolders.insert(folder);
    // A download of an earlier batch may still be writing here.
    QSet<QString> live;
    for (const auto &entry : sectorDownloads) {
        if (entry.second->part && entry.second->part->isLive())
            live.insert(entry.second->part->partFileName());
    }
    AtomicFileWriter::removePartFiles(folder, live);
}

bool FilesChecker::WriteFile(const QString &filePath, const QByteArray &data)
{
    return writeFileSettingAside(filePath, data, QString());
}

bool FilesChecker::writeFileSettingAside(const QString &filePath, const QByteArray &data,
                                         const QString &setAsideAs)
{
    const QString localPath = QDir::cleanPath(filePath);
    const QByteArray bytes = ProfileMerge::appliesTo(filePath)
        ? ProfileMerge::MergeProfile(userCopyAt(localPath), data)
        : data;
    const QString relativePath = filePath.mid(rootPath.size() + 1);
    const QDateTime serverTime = ServiceTime::parse(sectorTimes.value(relativePath));
    const bool written = makeFolderFor(localPath)
        && AtomicFileWriter::write(localPath, bytes, serverTime, localPath,
                                   setAsideAs.isEmpty() ? QString() : QDir::cleanPath(setAsideAs));
    Q_EMIT OneFileUpdated();
    return written;
}
