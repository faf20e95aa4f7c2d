#include "FolderUpdate.h"

#include "net/FailureReason.h"
#include "net/RequestSender.h"

#include <QNetworkReply>

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

int FolderUpdate::startBatch(int count)
{
    ++batch;
    unanswered = count;
    failedWrites = 0;
    failedDownloads = 0;
    firstFailure.clear();
    if (count == 0)
        Q_EMIT finished();
    return batch;
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
