#include "FilesChecker.h"

#include "AtomicFileWriter.h"
#include "ListedPath.h"
#include "ProfileMerge.h"
#include "ServiceTime.h"
#include "handlers/SelfUpdateHandler.h"
#include "handlers/SettingsHandler.h"
#include "net/ApiBaseUrl.h"
#include "net/RequestSender.h"
#include "platform/Platform.h"

#include <QCryptographicHash>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLoggingCategory>
#include <QNetworkReply>
#include <QTimer>

#include <algorithm>
#include <optional>

namespace {
Q_LOGGING_CATEGORY(lcUpdate, "tarn.update")

const QLatin1String clientMode("client");
const QLatin1String sectorMode("sector");
const QLatin1String clientDownloadEndpoint("/downloadFile.php");
const QLatin1String sectorDownloadEndpoint("/downloadSectorFile.php");
const QLatin1String contentCompareMode("EXT");
const QLatin1String deleteSuffix(".delete");
const QByteArray contentDispositionHeader = QByteArrayLiteral("Content-Disposition");
constexpr int sectorRequestsPerTurn = 100;

QJsonArray listOf(QNetworkReply *reply)
{
    // Anything but a JSON array reads as an empty list.
    return QJsonDocument::fromJson(reply->readAll()).array();
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
    // The sector folder of the settings store, in native form.
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

FilesChecker::FilesChecker(QObject *parent, bool downloadAfterCompare)
    : QObject(parent)
    , downloadAfterCompare(downloadAfterCompare)
{
}

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
    if (reply->error() != QNetworkReply::NoError)
        return;
    const QJsonArray list = listOf(reply);
    for (const QJsonValue &value : list) {
        const QJsonObject object = value.toObject();
        const QString path = object.value(QLatin1String("path")).toString();
        if (!ListedPath::isSafeClientPath(path)) {
            qCWarning(lcUpdate) << "Skipped the listed program file" << path
                                << "because its path does not stay inside the program folder";
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
    const SettingsHandler *settings = QmlSingletonType<SettingsHandler>::instance;
    SectorWalk walk{settings->natifyUrl(settings->sectorPath()), {}};
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
                                << "because its path does not stay inside the sector folder";
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
    const QString target = rootPath + QLatin1Char('/') + filePath;
    if (!matchesListedHash(filePath, body)) {
        qCWarning(lcUpdate) << "Refused the download of" << filePath
                            << "because its content does not match the listed hash";
        ++failedWrites;
        Q_EMIT OneFileUpdated();
    } else if (!writeFile(target, body, setAsideIfInUse(target))) {
        ++failedWrites;
    }
    clientPending.remove(filePath);
    if (clientPending.isEmpty())
        Q_EMIT UpdateFinished();
}

bool FilesChecker::matchesListedHash(const QString &relativePath, const QByteArray &body) const
{
    return sameHash(QCryptographicHash::hash(body, QCryptographicHash::Sha1),
                    clientEntries.value(relativePath).hash);
}

QString FilesChecker::setAsideIfInUse(const QString &target)
{
    // Opened without truncation: a profile merge still finds the user's lines.
    QFile probe(target);
    if (!probe.exists() || probe.open(QIODevice::WriteOnly | QIODevice::Append))
        return target;
    if (SelfUpdateHandler *selfUpdate = QmlSingletonType<SelfUpdateHandler>::instance)
        selfUpdate->setNeedsRestart();
    const QString aside = target + deleteSuffix;
    if (!QFile::rename(target, aside)) {
        qCWarning(lcUpdate) << "Could not move" << target << "aside to" << aside;
        return target;
    }
    return aside;
}

void FilesChecker::DownloadSectorFiles()
{
    failedWrites = 0;
    clearedFolders.clear();
    if (sectorPending.isEmpty()) {
        Q_EMIT UpdateFinished();
        return;
    }
    postSectorRequests(sectorPending.toList(), 0);
}

void FilesChecker::postSectorRequests(const QStringList &paths, int from)
{
    // Posting thousands of requests in one go holds the event loop, and so the
    // window, for a noticeable time: a slice per turn keeps it responsive.
    const int end = std::min(from + sectorRequestsPerTurn, paths.size());
    for (int i = from; i < end; ++i)
        postSectorRequest(paths.at(i));
    if (end < paths.size())
        QTimer::singleShot(0, this, [this, paths, end] { postSectorRequests(paths, end); });
}

void FilesChecker::postSectorRequest(const QString &path)
{
    auto *sender = new RequestSender(this);
    connect(sender, &RequestSender::onResponse, this,
            [this, path](QNetworkReply *reply) { OnSectorDownloadReply(reply, path); });
    sender->sendRequest(apiBaseUrl + sectorDownloadEndpoint, {{QStringLiteral("file"), path}});
}

void FilesChecker::OnSectorDownloadReply(gsl::not_null<QNetworkReply *> reply, QString filePath)
{
    if (!isCompleteDownload(reply))
        return;
    const QString target = rootPath + QLatin1Char('/') + filePath;
    removePartFilesOnce(target);
    if (!WriteFile(target, reply->readAll()))
        ++failedWrites;
    sectorPending.removeFirst(filePath);
    if (sectorPending.isEmpty())
        Q_EMIT UpdateFinished();
}

void FilesChecker::removePartFilesOnce(const QString &target)
{
    const QString folder = QFileInfo(QDir::cleanPath(target)).absolutePath();
    if (clearedFolders.contains(folder))
        return;
    clearedFolders.insert(folder);
    AtomicFileWriter::removePartFiles(folder);
}

bool FilesChecker::WriteFile(const QString &filePath, const QByteArray &data)
{
    return writeFile(filePath, data, filePath);
}

bool FilesChecker::writeFile(const QString &filePath, const QByteArray &data,
                             const QString &replacedFile)
{
    const QString localPath = QDir::cleanPath(filePath);
    const QString replaced = QDir::cleanPath(replacedFile);
    const QByteArray bytes = ProfileMerge::appliesTo(filePath)
        ? ProfileMerge::MergeProfile(userCopyAt(replaced), data)
        : data;
    const QString relativePath = filePath.mid(rootPath.size() + 1);
    const QDateTime serverTime = ServiceTime::parse(sectorTimes.value(relativePath));
    const bool written = makeFolderFor(localPath)
        && AtomicFileWriter::write(localPath, bytes, serverTime, replaced);
    Q_EMIT OneFileUpdated();
    return written;
}
