// The request path through a real web server: nginx with TLS and HTTP/2 in
// front of the development service, as a community runs its service.
#include "TestService.h"

#include "RealServer.h"
#include "net/ApiBaseUrl.h"
#include "net/RequestSender.h"
#include "update/FilesChecker.h"

#include <QNetworkReply>
#include <QTemporaryDir>

#include <algorithm>

using devservice::Fault;

namespace {
const QString demoCid = QStringLiteral("1000001");
const QByteArray accountsJson = "[{\"cid\": \"1000001\", \"sha1\": "
                                "\"0123456789abcdef0123456789abcdef01234567\", \"rating\": 5}]";
constexpr int sectorFiles = 12;
const QDateTime serviceTime(QDate(2024, 3, 1), QTime(12, 0));

struct Delivery
{
    int calls = 0;
    QNetworkReply::NetworkError error = QNetworkReply::NoError;
    QByteArray body;
    bool http2 = false;
    QByteArray expect;
};

void post(QObject *owner, const QString &path, const QHash<QString, QString> &fields,
          Delivery &delivery)
{
    auto *sender = new RequestSender(owner);
    QObject::connect(sender, &RequestSender::onResponse, owner, [&delivery](QNetworkReply *reply) {
        ++delivery.calls;
        delivery.error = reply->error();
        delivery.body = reply->readAll();
        delivery.http2 = reply->attribute(QNetworkRequest::Http2WasUsedAttribute).toBool();
        delivery.expect = reply->request().rawHeader("Expect");
    });
    sender->sendRequest(apiBaseUrl + path, fields);
}

QString sectorName(int i)
{
    return QStringLiteral("Area%1/file%2.txt").arg(i % 3).arg(i);
}

QByteArray sectorContent(int i)
{
    return "new content of sector file " + QByteArray::number(i) + '\n' + QByteArray(4096 * i, 'x');
}

Fault faultFor(const std::string &file, int status, bool dropMidBody)
{
    Fault fault;
    fault.endpoint = "downloadSectorFile.php";
    fault.file = file;
    fault.status = status;
    fault.dropMidBody = dropMidBody;
    return fault;
}

// Points the checker at folder in "sector" mode and compares it with the list.
bool compareSector(FilesChecker &checker, const QString &folder)
{
    checker.SetRootPath(folder);
    checker.SetMode(QStringLiteral("sector"));
    QSignalSpy compared(&checker, &FilesChecker::FilesCompared);
    checker.RequestFilelist(QStringLiteral("getfilelist.php"));
    return waitForSignals(compared);
}

} // namespace

class TestRealServer : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void init();
    void repliesReachOnlyTheirOwnSenders();
    void outcomes_data();
    void outcomes();
    void failedDownloadsLeaveFilesWhole_data();
    void failedDownloadsLeaveFilesWhole();
    void sectorDownloadsFillTheStreamsOfOneConnection();

private:
    QTemporaryDir content;
};

void TestRealServer::initTestCase()
{
    if (apiBaseUrl.isEmpty())
        QSKIP(qPrintable(RealServer::unavailableReason()));
    trustTestAuthority();
    QVERIFY(writeFile(content.filePath(QStringLiteral("accounts.json")), accountsJson));
    for (int i = 0; i < sectorFiles; ++i) {
        const QString path = content.filePath(QStringLiteral("sector/") + sectorName(i));
        QVERIFY(writeFile(path, sectorContent(i)) && setModificationTime(path, serviceTime));
    }
    resetTestService(content.path());
}

void TestRealServer::init()
{
    testService().clearFaults();
    testService().clearRequests();
}

// Runs first: the list request, as before every batch of downloads, tells
// the program that the service speaks HTTP/2, where nginx would hold a
// request that expects to continue for a second.
void TestRealServer::repliesReachOnlyTheirOwnSenders()
{
    QObject owner;
    Delivery list;
    post(&owner, QStringLiteral("/getfilelist.php"), {}, list);
    QVERIFY2(waitUntil([&] { return list.calls == 1; }), "The list reply reached its sender.");
    // Later requests answer sooner, so the replies finish in reverse order.
    for (int i = 0; i < sectorFiles; ++i) {
        Fault slow;
        slow.endpoint = "downloadSectorFile.php";
        slow.file = "//" + sectorName(i).toStdString();
        slow.delay = std::chrono::milliseconds(30 * (sectorFiles - i));
        testService().addFault(slow);
    }
    std::vector<Delivery> deliveries(sectorFiles);
    for (int i = 0; i < sectorFiles; ++i)
        post(&owner, QStringLiteral("/downloadSectorFile.php"),
             {{QStringLiteral("file"), QStringLiteral("//") + sectorName(i)}},
             deliveries[size_t(i)]);
    QVERIFY2(waitUntil([&] {
                 return std::all_of(deliveries.begin(), deliveries.end(),
                                    [](const Delivery &d) { return d.calls > 0; });
             }),
             "Every sender received a reply.");
    QTest::qWait(50);
    for (int i = 0; i < sectorFiles; ++i) {
        const Delivery &delivery = deliveries[size_t(i)];
        QVERIFY2(delivery.calls == 1, "Each handler was called exactly once.");
        QVERIFY2(delivery.body == sectorContent(i), "Each sender got the body of its own file.");
        QVERIFY2(delivery.http2, "The replies came over HTTP/2.");
        QVERIFY2(delivery.expect.isEmpty(), "No download over HTTP/2 expected to continue.");
    }
}

void TestRealServer::outcomes_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<int>("status");
    QTest::addColumn<bool>("dropMidBody");
    QTest::addColumn<bool>("delivered");
    QTest::newRow("401 delivered") << QStringLiteral("/login.php") << 0 << false << true;
    QTest::newRow("404 not delivered")
        << QStringLiteral("/downloadSectorFile.php") << 404 << false << false;
    QTest::newRow("500 not delivered")
        << QStringLiteral("/downloadSectorFile.php") << 500 << false << false;
    QTest::newRow("dropped mid-body not delivered")
        << QStringLiteral("/downloadSectorFile.php") << 0 << true << false;
}

void TestRealServer::outcomes()
{
    QFETCH(QString, path);
    QFETCH(int, status);
    QFETCH(bool, dropMidBody);
    QFETCH(bool, delivered);
    const QString file = QStringLiteral("//") + sectorName(sectorFiles - 1);
    testService().addFault(faultFor(file.toStdString(), status, dropMidBody));
    bool finished = false;
    QObject owner;
    connect(RequestSender::sharedManager(), &QNetworkAccessManager::finished, &owner,
            [&finished] { finished = true; });
    Delivery delivery;
    post(&owner, path,
         {{QStringLiteral("file"), file},
          {QStringLiteral("vatsimid"), demoCid},
          {QStringLiteral("password"), QStringLiteral("wrong")}},
         delivery);
    QVERIFY2(waitUntil([&] { return finished; }), "The request finished.");
    QTest::qWait(20);
    QCOMPARE(delivery.calls, delivered ? 1 : 0);
    if (delivered)
        QCOMPARE(delivery.error, QNetworkReply::AuthenticationRequiredError);
}

void TestRealServer::failedDownloadsLeaveFilesWhole_data()
{
    QTest::addColumn<int>("status");
    QTest::addColumn<bool>("dropMidBody");
    QTest::newRow("404") << 404 << false;
    QTest::newRow("500") << 500 << false;
    QTest::newRow("dropped mid-body") << 0 << true;
}

// Every local file is older than the service's; the failing ones keep their
// old bytes, with no part file left beside them, and stay pending.
void TestRealServer::failedDownloadsLeaveFilesWhole()
{
    QFETCH(int, status);
    QFETCH(bool, dropMidBody);
    QTemporaryDir local;
    const QSet<int> failing{2, 7, 11};
    for (int i = 0; i < sectorFiles; ++i) {
        const QString path = local.filePath(sectorName(i));
        QVERIFY(writeFile(path, "old " + QByteArray::number(i))
                && setModificationTime(path, serviceTime.addDays(-1)));
        if (failing.contains(i))
            testService().addFault(
                faultFor("//" + sectorName(i).toStdString(), status, dropMidBody));
    }
    FilesChecker checker(nullptr, false);
    QVERIFY2(compareSector(checker, local.path()), "The sector list was compared.");
    QCOMPARE(checker.PendingCount(), quint64(sectorFiles));

    QSignalSpy finished(&checker, &FilesChecker::UpdateFinished);
    checker.DownloadSectorFiles();
    QVERIFY2(waitUntil([&] {
                 return checker.PendingCount() == quint64(failing.size())
                     && requestCount("/api/tarn/downloadSectorFile.php") == size_t(sectorFiles);
             }),
             "Every download was answered and the others were written.");
    QTest::qWait(200);
    const QMap<QString, QByteArray> files = contents(snapshot(local.path()));
    QCOMPARE(files.size(), sectorFiles);
    for (int i = 0; i < sectorFiles; ++i) {
        const QByteArray expected
            = failing.contains(i) ? "old " + QByteArray::number(i) : sectorContent(i);
        QVERIFY2(files.value(sectorName(i)) == expected,
                 qPrintable(sectorName(i)
                            + QStringLiteral(" holds neither its old nor its new bytes.")));
    }
    QVERIFY2(finished.isEmpty(), "The batch with failed downloads did not report completion.");
}

// Over HTTP/2 the sector downloads are not held to the window of six
// connections: with every answer but the first one held back, more than 24
// reach the service at once (30, within the service's 32 workers).
void TestRealServer::sectorDownloadsFillTheStreamsOfOneConnection()
{
    constexpr int files = 30;
    QTemporaryDir service;
    QTemporaryDir local;
    for (int i = 0; i < files; ++i) {
        const QString name = QStringLiteral("Wide/file%1.txt").arg(i, 2, 10, QLatin1Char('0'));
        const QString path = service.filePath(QStringLiteral("sector/") + name);
        QVERIFY(writeFile(path, "wide " + QByteArray::number(i))
                && setModificationTime(path, serviceTime));
        if (i > 0) {
            Fault held;
            held.endpoint = "downloadSectorFile.php";
            held.file = "//" + name.toStdString();
            held.hold = true;
            testService().addFault(held);
        }
    }
    testService().setContentRoot(service.path().toStdString());
    FilesChecker checker(nullptr, false);
    QVERIFY2(compareSector(checker, local.path()), "The sector list was compared.");
    QSignalSpy finished(&checker, &FilesChecker::UpdateFinished);
    checker.DownloadSectorFiles();
    const bool allInFlight = waitUntil(
        [] { return requestCount("/api/tarn/downloadSectorFile.php") == size_t(files); });
    const size_t reached = requestCount("/api/tarn/downloadSectorFile.php");
    testService().releaseHeld();
    QVERIFY2(allInFlight,
             qPrintable(QStringLiteral("Only %1 of %2 downloads were in flight at once.")
                            .arg(reached)
                            .arg(files)));
    QVERIFY2(waitForSignals(finished), "The update completed once the answers came.");
    testService().setContentRoot(content.path().toStdString());
}

QTEST_GUILESS_MAIN(TestRealServer)
#include "tst_realserver.moc"
