#include "ProgramFolderUpdate.h"

#include "AtomicFileWriter.h"
#include "DownloadedFile.h"
#include "JsonKeys.h"
#include "ListedPath.h"
#include "net/ApiBaseUrl.h"
#include "net/FailureReason.h"
#include "net/RequestSender.h"
#include "platform/Logging.h"
#include "platform/Platform.h"

#include <QCryptographicHash>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QJsonObject>
#include <QNetworkReply>

#include <algorithm>

namespace {
const QLatin1String downloadEndpoint("/downloadFile.php");
const QLatin1String contentCompareMode("EXT");
const QLatin1String deleteSuffix(".delete");

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

void removeLeftOver(const QString &path)
{
    // One that cannot go now is tried again at the next comparison.
    if (!QFile::remove(path))
        qCDebug(lcUpdate) << "Could not remove" << path << "yet";
}

// Every visible file below root, at any depth, without following linked folders.
QStringList filesBelow(const QString &root)
{
    QStringList files;
    QDirIterator walk(root, QDir::Files, QDirIterator::Subdirectories);
    while (walk.hasNext())
        files.append(walk.next());
    return files;
}
} // namespace

void ProgramFolderUpdate::clear()
{
    clientEntries.clear();
    clientPending.clear();
}

bool ProgramFolderUpdate::compareWith(QNetworkReply *reply)
{
    QByteArray body;
    if (!readList(reply, body))
        return false;
    const std::optional<QJsonArray> list = JsonKeys::listIn(body);
    // Read as empty, no list would pass for "all current".
    if (!list) {
        Q_EMIT listFailed(FailureReason::unreadableList());
        return false;
    }
    takeEntries(*list);
    compareFolder();
    Q_EMIT compared();
    return true;
}

void ProgramFolderUpdate::takeEntries(const QJsonArray &list)
{
    for (const QJsonValue &value : list) {
        const QJsonObject object = value.toObject();
        const QString path = object.value(QLatin1String("path")).toString();
        if (!ListedPath::isSafeClientPath(path)) {
            qCWarning(lcUpdate) << "Skipped the listed program file" << path
                                << "because its path is not a plain path inside the program folder";
            continue;
        }
        clientEntries.insert(Platform::fileKey(path),
                             {path, object.value(QLatin1String("hash")).toString(),
                              object.value(QLatin1String("mode")).toString() == contentCompareMode});
    }
}

void ProgramFolderUpdate::compareFolder()
{
    QSet<QString> unmatched;
    unmatched.reserve(clientEntries.size());
    for (auto it = clientEntries.cbegin(); it != clientEntries.cend(); ++it)
        unmatched.insert(it.key());
    const QDir root(rootPath);
    const QStringList localFiles = filesBelow(rootPath);
    for (const QString &file : localFiles) {
        const QString relativePath = root.relativeFilePath(file);
        if (relativePath.endsWith(deleteSuffix) || AtomicFileWriter::isPartFile(relativePath)) {
            removeLeftOver(file);
            continue;
        }
        const QString key = Platform::fileKey(relativePath);
        if (!unmatched.remove(key))
            continue;
        const ClientFileEntry entry = clientEntries.value(key);
        if (entry.contentCompared && !hasListedContent(file, entry.hash))
            clientPending.insert(entry.path);
    }
    // Listed, but not there.
    for (const QString &missing : qAsConst(unmatched))
        clientPending.insert(clientEntries.value(missing).path);
}

void ProgramFolderUpdate::download()
{
    qCDebug(lcUpdate) << "Program files to download:" << clientPending.size();
    startDownloads(pendingFiles());
}

void ProgramFolderUpdate::postDownload(const QString &path, int batch)
{
    auto *sender = new RequestSender(this);
    connect(sender, &RequestSender::replyStarted, this,
            [this, path](QNetworkReply *reply) { followDownload(reply, path); });
    connect(sender, &RequestSender::onResponse, this,
            [this, path, batch](QNetworkReply *reply) { OnDownloadReply(reply, path, batch); });
    connect(sender, &RequestSender::onFailure, this,
            [this, batch](const QString &reason) { requestEnded(batch, Outcome::Failed, reason); });
    sender->sendRequest(apiBaseUrl + downloadEndpoint,
                        {{QStringLiteral("file"), path}, {QStringLiteral("mode"), modeText}});
}

int ProgramFolderUpdate::pendingCount() const
{
    return clientPending.size();
}

QStringList ProgramFolderUpdate::pendingFiles() const
{
    QStringList files(clientPending.cbegin(), clientPending.cend());
    std::sort(files.begin(), files.end());
    return files;
}

void ProgramFolderUpdate::OnDownloadReply(gsl::not_null<QNetworkReply *> reply, QString filePath,
                                          int batch)
{
    const QString refusal = DownloadedFile::whyNotWritable(reply);
    if (!refusal.isEmpty()) {
        requestEnded(batch, Outcome::Failed, refusal);
        return;
    }
    const QByteArray body = reply->readAll();
    if (RequestSender::isCutShort(reply, body.size())) {
        qCWarning(lcUpdate) << "The download of" << filePath << "ended before its whole body";
        requestEnded(batch, Outcome::Failed, FailureReason::cutShort());
        return;
    }
    if (!passesHashCheck(filePath, body)) {
        qCWarning(lcUpdate) << "Refused the download of" << filePath
                            << "because its content does not match the listed hash";
        requestEnded(batch, Outcome::Failed, FailureReason::hashMismatch());
        return;
    }
    const QString target = rootPath + QLatin1Char('/') + filePath;
    const bool written = DownloadedFile::write(target, body, QDateTime(), asideNameIfInUse(target));
    Q_EMIT fileUpdated();
    clientPending.remove(filePath);
    requestEnded(batch, written ? Outcome::Written : Outcome::NotWritten);
}

bool ProgramFolderUpdate::passesHashCheck(const QString &relativePath, const QByteArray &body) const
{
    // Any other mode is fetched only when missing, so a listed hash that is
    // not exact cannot bring it back at every start; refusing it would.
    const ClientFileEntry entry = clientEntries.value(Platform::fileKey(relativePath));
    return !entry.contentCompared
        || sameHash(QCryptographicHash::hash(body, QCryptographicHash::Sha1), entry.hash);
}

// The name under which a file in use is set aside, or empty when it is not
// in use. It is set aside only once its replacement is complete, so that an
// interruption never leaves the program without it.
QString ProgramFolderUpdate::asideNameIfInUse(const QString &target)
{
    if (!Platform::isInUse(target))
        return {};
    Q_EMIT restartNeeded();
    return target + deleteSuffix;
}
