#pragma once

#include <QHash>
#include <QString>
#include <QStringList>

// Decides which download of a folder update goes out next. Plain logic: the
// caller posts the requests and tells the queue what their replies report.
//
// Paths go out in list order, at most setMaxInFlight()'s count at a time. Each running
// reply buffers what Qt's network thread reads ahead of this one, so large
// bodies are let in only while the sizes of the running downloads add up to at
// most byteBudget, a download whose headers have not come yet counted at the
// average length seen so far: files above half the budget come one at a time.
// Until the first headers of a batch have come, one download runs at a time;
// when they carry no length, the whole window opens. A path listed twice goes
// out again only once its earlier download has ended, since both would write
// the same part file.
class DownloadQueue
{
public:
    // Qt runs six HTTP/1.1 connections per server. A request it queues behind
    // them would count its wait against the transfer timeout, so on a slow
    // line downloads that were never sent would fail as silent; only what Qt
    // puts on the wire at once is let out.
    static constexpr int defaultMaxInFlight = 6;
    // Over HTTP/2 every request in flight is a stream of one connection. HTTP/2
    // asks servers to allow at least 100 streams at once (nginx allows 128),
    // and Qt would hold any beyond the server's limit, so the window stays
    // within it. With a round trip of 20 ms the wider window takes a 2,000-file update
    // from about 3 s to under 1 s; on loopback it changes nothing.
    static constexpr int multiplexedMaxInFlight = 100;
    static constexpr qint64 byteBudget = 16 * 1024 * 1024;

    void setMaxInFlight(int count);

    // Starts a batch of these paths. Downloads of an earlier batch that are
    // still running keep counting until they end.
    void start(const QStringList &paths);
    // The next path that may go out now, which then counts as running; false
    // when none may.
    bool takeNext(QString &path);
    // The headers of path's running download have come; length is its
    // Content-Length, or -1 when it has none.
    void headersArrived(const QString &path, qint64 length);
    // path's download has ended, whatever its outcome.
    void finished(const QString &path);

private:
    bool hasRoom() const;
    bool takeNextPath(QString &path);

    int maxRequests = defaultMaxInFlight;
    // The batch: its paths, the next one to go out, and those held back while
    // a download of the same path is still running.
    QStringList paths;
    int next = 0;
    QStringList deferred;
    // Every running download by its path, with its length, -1 while unknown.
    QHash<QString, qint64> running;
    // The headers of this batch, and the lengths among them, to guess the
    // length of a download before its headers come.
    int headersSeen = 0;
    int lengthsSeen = 0;
    qint64 bytesSeen = 0;
};
