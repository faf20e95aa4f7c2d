#include "DownloadQueue.h"

namespace {
// Fewer running downloads than this may always go out, whatever their sizes.
constexpr int minInFlight = 1;
} // namespace

void DownloadQueue::setMaxInFlight(int count)
{
    maxRequests = count;
}

void DownloadQueue::start(const QStringList &paths)
{
    this->paths = paths;
    next = 0;
    deferred.clear();
    headersSeen = 0;
    lengthsSeen = 0;
    bytesSeen = 0;
}

bool DownloadQueue::takeNext(QString &path)
{
    if (!hasRoom() || !takeNextPath(path))
        return false;
    running.insert(path, -1);
    return true;
}

void DownloadQueue::headersArrived(const QString &path, qint64 length)
{
    ++headersSeen;
    if (length < 0)
        return;
    running[path] = length;
    bytesSeen += length;
    ++lengthsSeen;
}

void DownloadQueue::finished(const QString &path)
{
    running.remove(path);
}

bool DownloadQueue::hasRoom() const
{
    if (running.size() < minInFlight)
        return true;
    if (running.size() >= maxRequests || headersSeen == 0)
        return false;
    const qint64 guess = lengthsSeen > 0 ? bytesSeen / lengthsSeen : 0;
    qint64 bytes = guess;
    for (const qint64 length : running)
        bytes += length >= 0 ? length : guess;
    return bytes <= byteBudget;
}

bool DownloadQueue::takeNextPath(QString &path)
{
    for (int i = 0; i < deferred.size(); ++i) {
        if (!running.contains(deferred.at(i))) {
            path = deferred.takeAt(i);
            return true;
        }
    }
    while (next < paths.size()) {
        const QString &candidate = paths.at(next++);
        if (running.contains(candidate)) {
            deferred.append(candidate);
            continue;
        }
        path = candidate;
        return true;
    }
    return false;
}
