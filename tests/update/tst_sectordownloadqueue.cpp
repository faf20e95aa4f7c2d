// SectorDownloadQueue on its own, without a network: which paths go out, how
// many at once, and when.

#include "update/SectorDownloadQueue.h"

#include <QTest>

namespace {
constexpr qint64 smallFile = 1024;

QStringList numberedPaths(int count)
{
    QStringList paths;
    for (int i = 0; i < count; ++i)
        paths.append(QStringLiteral("//Data/f%1.txt").arg(i));
    return paths;
}

// Takes every path that may go out now, each of which reports length at once;
// returns how many went out.
int takeAll(SectorDownloadQueue &queue, qint64 length)
{
    int taken = 0;
    QString path;
    while (queue.takeNext(path)) {
        ++taken;
        queue.headersArrived(path, length);
    }
    return taken;
}
} // namespace

class TestSectorDownloadQueue : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void window_data();
    void window();
    void oneAtATimeUntilTheFirstHeaders();
    void lengthsAgainstTheBudget_data();
    void lengthsAgainstTheBudget();
    void unknownLengthsAreGuessed();
    void duplicateWaitsForItsEarlierDownload();
    void earlierBatchKeepsCounting();
    void emptyBatch();
};

void TestSectorDownloadQueue::window_data()
{
    QTest::addColumn<int>("maxInFlight");
    QTest::addColumn<qint64>("length");
    QTest::newRow("default") << 0 << smallFile;
    QTest::newRow("default, no lengths") << 0 << qint64(-1);
    QTest::newRow("widened") << 4 * SectorDownloadQueue::defaultMaxInFlight << smallFile;
    QTest::newRow("one") << 1 << smallFile;
}

void TestSectorDownloadQueue::window()
{
    QFETCH(int, maxInFlight);
    QFETCH(qint64, length);
    SectorDownloadQueue queue;
    if (maxInFlight > 0)
        queue.setMaxInFlight(maxInFlight);
    const int window = queue.maxInFlight();
    QCOMPARE(window, maxInFlight > 0 ? maxInFlight : SectorDownloadQueue::defaultMaxInFlight);

    const QStringList paths = numberedPaths(window + 10);
    queue.start(paths);
    QCOMPARE(takeAll(queue, length), window);
    QCOMPARE(queue.inFlight(), window);

    // Each download that ends lets the next one out, in list order.
    queue.finished(paths.first());
    QString path;
    QVERIFY(queue.takeNext(path));
    QCOMPARE(path, paths.at(window));
    QVERIFY(!queue.takeNext(path));
}

void TestSectorDownloadQueue::oneAtATimeUntilTheFirstHeaders()
{
    SectorDownloadQueue queue;
    queue.start(numberedPaths(5));
    QString first;
    QVERIFY(queue.takeNext(first));
    QString path;
    QVERIFY2(!queue.takeNext(path), "A second download went out before any headers came.");
    queue.headersArrived(first, smallFile);
    QVERIFY(queue.takeNext(path));
    QCOMPARE(path, QStringLiteral("//Data/f1.txt"));
}

void TestSectorDownloadQueue::lengthsAgainstTheBudget_data()
{
    constexpr qint64 budget = SectorDownloadQueue::byteBudget;
    QTest::addColumn<qint64>("length");
    QTest::addColumn<int>("inFlight");
    QTest::newRow("small files fill the window")
        << smallFile << SectorDownloadQueue::defaultMaxInFlight;
    QTest::newRow("a third of the budget") << budget / 3 << 3;
    QTest::newRow("just under half") << budget / 2 - 1 << 2;
    QTest::newRow("exactly half") << budget / 2 << 2;
    QTest::newRow("just over half, one at a time") << budget / 2 + 1 << 1;
    QTest::newRow("beyond the budget, still one") << budget + 1 << 1;
}

void TestSectorDownloadQueue::lengthsAgainstTheBudget()
{
    QFETCH(qint64, length);
    QFETCH(int, inFlight);
    SectorDownloadQueue queue;
    queue.start(numberedPaths(SectorDownloadQueue::defaultMaxInFlight + 10));
    QCOMPARE(takeAll(queue, length), inFlight);
    QCOMPARE(queue.inFlight(), inFlight);
}

void TestSectorDownloadQueue::unknownLengthsAreGuessed()
{
    // A download without headers yet counts at the average length seen.
    constexpr qint64 length = SectorDownloadQueue::byteBudget / 3;
    SectorDownloadQueue queue;
    const QStringList paths = numberedPaths(10);
    queue.start(paths);
    QString path;
    QVERIFY(queue.takeNext(path));
    queue.headersArrived(path, length);
    QVERIFY(queue.takeNext(path));
    QVERIFY(queue.takeNext(path));
    QVERIFY2(!queue.takeNext(path),
             "A download went out although the guessed lengths exceed the budget.");

    // A small length reported instead of the guess makes room.
    queue.headersArrived(paths.at(1), smallFile);
    QVERIFY(queue.takeNext(path));
    QCOMPARE(path, paths.at(3));
}

void TestSectorDownloadQueue::duplicateWaitsForItsEarlierDownload()
{
    const QString a = QStringLiteral("//a.txt");
    const QString b = QStringLiteral("//b.txt");
    const QString c = QStringLiteral("//c.txt");
    SectorDownloadQueue queue;
    queue.start({a, b, a, c});
    QString path;
    QVERIFY(queue.takeNext(path));
    QCOMPARE(path, a);
    queue.headersArrived(a, smallFile);
    QVERIFY(queue.takeNext(path));
    QCOMPARE(path, b);
    QVERIFY(queue.takeNext(path));
    QCOMPARE(path, c);
    QVERIFY2(!queue.takeNext(path), "A path went out twice at the same time.");

    queue.finished(a);
    QVERIFY(queue.takeNext(path));
    QCOMPARE(path, a);
    QVERIFY(!queue.takeNext(path));
}

void TestSectorDownloadQueue::earlierBatchKeepsCounting()
{
    const QString a = QStringLiteral("//a.txt");
    const QString b = QStringLiteral("//b.txt");
    const QString c = QStringLiteral("//c.txt");
    SectorDownloadQueue queue;
    queue.start({a, b});
    QString path;
    QVERIFY(queue.takeNext(path));
    queue.headersArrived(a, smallFile);
    QVERIFY(queue.takeNext(path));

    // A new batch waits for its first headers again, and the two downloads
    // still running count against it.
    queue.start({c, a});
    QVERIFY(!queue.takeNext(path));
    queue.headersArrived(b, smallFile);
    QVERIFY(queue.takeNext(path));
    QCOMPARE(path, c);
    QVERIFY2(!queue.takeNext(path), "A path of the new batch went out beside its earlier download.");
    queue.finished(a);
    QVERIFY(queue.takeNext(path));
    QCOMPARE(path, a);
    QCOMPARE(queue.inFlight(), 3);
}

void TestSectorDownloadQueue::emptyBatch()
{
    SectorDownloadQueue queue;
    queue.start({});
    QString path;
    QVERIFY(!queue.takeNext(path));
    QCOMPARE(queue.inFlight(), 0);
}

QTEST_APPLESS_MAIN(TestSectorDownloadQueue)
#include "tst_sectordownloadqueue.moc"
