#include "FolderUpdate.h"

#include "net/FailureReason.h"
#include "net/RequestSender.h"

#include <QNetworkReply>

#include <memory>

namespace {
const QString notWritten = QStringLiteral("a file could not be written to the disk");
} // namespace

void FolderUpdate::setRootPath(const QString &rootPath)
{
    this->rootPath = rootPath;
}

quint64 FolderUpdate::failedWriteCount() const
{
    return failedWrites;
}

quint64 FolderUpdate::failedDownloadCount() const
{
    return failedDownloads;
}

QString FolderUpdate::failureReason() const
{
    return firstFailure;
}

void FolderUpdate::startDownloads(const QStringList &paths)
{
    startBatch(paths.size());
    queue.start(paths);
    postDownloads();
}

void FolderUpdate::startBatch(int count)
{
    ++batch;
    unanswered = count;
    failedWrites = 0;
    failedDownloads = 0;
    firstFailure.clear();
    if (count == 0)
        Q_EMIT finished();
}

void FolderUpdate::postDownloads()
{
    // Called whenever a reply finishes or reports its size, so the window
    // refills one request at a time and posting never holds the event loop
    // for long.
    QString path;
    while (queue.takeNext(path))
        postDownload(path, batch);
}

void FolderUpdate::followDownload(QNetworkReply *reply, const QString &path)
{
    auto once = std::make_shared<QMetaObject::Connection>();
    *once = connect(reply, &QNetworkReply::metaDataChanged, this, [this, reply, path, once] {
        disconnect(*once);
        headersArrived(reply, path);
    });
    connect(reply, &QNetworkReply::finished, this, [this, path] {
        queue.finished(path);
        postDownloads();
    });
}

void FolderUpdate::headersArrived(QNetworkReply *reply, const QString &path)
{
    bool known = false;
    const qint64 length = reply->header(QNetworkRequest::ContentLengthHeader).toLongLong(&known);
    queue.headersArrived(path, known ? length : -1);
    if (reply->attribute(QNetworkRequest::Http2WasUsedAttribute).toBool())
        queue.setMaxInFlight(DownloadQueue::multiplexedMaxInFlight);
    postDownloads();
}

void FolderUpdate::requestEnded(int requestBatch, Outcome outcome, const QString &reason)
{
    if (requestBatch != batch)
        return;
    if (outcome == Outcome::NotWritten)
        ++failedWrites;
    if (outcome == Outcome::Failed)
        ++failedDownloads;
    if (outcome != Outcome::Written && firstFailure.isEmpty())
        firstFailure = outcome == Outcome::NotWritten ? notWritten : reason;
    if (--unanswered == 0)
        Q_EMIT finished();
}

bool FolderUpdate::readList(QNetworkReply *reply, QByteArray &body)
{
    if (reply->error() != QNetworkReply::NoError) {
        Q_EMIT listFailed(FailureReason::of(reply));
        return false;
    }
    body = reply->readAll();
    // A cut list is no list: read as empty, it would pass for "all current".
    if (RequestSender::isCutShort(reply, body.size())) {
        Q_EMIT listFailed(FailureReason::cutShort());
        return false;
    }
    return true;
}
