// The request path, built three times: against the development service over
// plain HTTP (tst_requestsender), over https with the test authority
// (tst_requestsender_tls), and through nginx with TLS and HTTP/2 in front of
// it, as a community runs its service (tst_realserver).

#include "TestService.h"

#include "app/Startup.h"
#include "net/ApiBaseUrl.h"
#include "net/RequestSender.h"
#include "update/FilesChecker.h"

#include <QDirIterator>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QPointer>
#include <QRegularExpression>
#include <QSslConfiguration>
#include <QTemporaryDir>

#ifdef TARN_TEST_SERVICE_NGINX
#include "RealServer.h"
#endif

using devservice::Fault;

namespace {
#ifdef TARN_TEST_SERVICE_NGINX
constexpr bool realServer = true;
#else
constexpr bool realServer = false;
#endif
constexpr int sectorFiles = 12;
const QDateTime serviceTime(QDate(2024, 3, 1), QTime(12, 0));
const QHash<QString, QString> login = {{QStringLiteral("vatsimid"), QStringLiteral("1000001")},
                                       {QStringLiteral("password"), QStringLiteral("wrong")}};

QString sectorName(int i)
{
    return QStringLiteral("Area%1/file%2.txt").arg(i % 3).arg(i);
}

QByteArray sectorContent(int i)
{
    return "content of sector file " + QByteArray::number(i) + '\n' + QByteArray(4096 * i, 'x');
}

QHash<QString, QString> fileField(int i)
{
    return {{QStringLiteral("file"), QStringLiteral("//") + sectorName(i)}};
}

Fault downloadFault(int i)
{
    Fault fault;
    fault.endpoint = "downloadSectorFile.php";
    fault.file = "//" + sectorName(i).toStdString();
    return fault;
}

// What reached one sender's handler.
struct Delivery
{
    int calls = 0;
    QNetworkReply::NetworkError error = QNetworkReply::NoError;
    QByteArray body;
    bool http2 = false;
    QByteArray expect;
    bool senderAlive = false;
};

QPointer<RequestSender> post(QObject *owner, const QString &url,
                             const QHash<QString, QString> &fields, Delivery &delivery)
{
    auto *sender = new RequestSender(owner);
    const QPointer<RequestSender> guard = sender;
    QObject::connect(
        sender, &RequestSender::onResponse, owner, [&delivery, guard](QNetworkReply *reply) {
            ++delivery.calls;
            delivery.error = reply->error();
            delivery.body = reply->readAll();
            delivery.http2 = reply->attribute(QNetworkRequest::Http2WasUsedAttribute).toBool();
            delivery.expect = reply->request().rawHeader("Expect");
            delivery.senderAlive = !guard.isNull();
        });
    sender->sendRequest(url.startsWith(QLatin1Char('/')) ? apiBaseUrl + url : url, fields);
    return guard;
}

bool allDelivered(const std::vector<Delivery> &deliveries)
{
    return waitUntil([&] {
        return std::all_of(deliveries.begin(), deliveries.end(),
                           [](const Delivery &delivery) { return delivery.calls > 0; });
    });
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

// A finished reply with the given headers, as Qt 5.15 at times delivers one
// whose connection closed in the middle of the body: without an error.
class FinishedReply : public QNetworkReply
{
public:
    FinishedReply(const QByteArray &contentLength, const QByteArray &encoding)
    {
        if (!contentLength.isEmpty())
            setHeader(QNetworkRequest::ContentLengthHeader, contentLength.toLongLong());
        if (!encoding.isEmpty())
            setRawHeader("Content-Encoding", encoding);
        setFinished(true);
    }
    void abort() override { }

protected:
    qint64 readData(char *, qint64) override { return -1; }
};
} // namespace

class TestRequestSender : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void init();
    void untrustedServiceIsNotDelivered();
    void programKeepsPeerVerification();
    void programSourcesNeverLowerVerification();
    void encodesFields_data();
    void encodesFields();
    void recognisesCutBodies_data();
    void recognisesCutBodies();
    void outcomes_data();
    void outcomes();
    void repliesReachOnlyTheirOwnSenders();
    void asksServerToContinueOnlyWithBody();
    void failedDownloadsLeaveFilesWhole_data();
    void failedDownloadsLeaveFilesWhole();
    void sectorDownloadsFillTheStreamsOfOneConnection();
    void retriesWithoutExpectationWhenRefused();

private:
    QTemporaryDir content;
    bool trusted = false;
};

void TestRequestSender::initTestCase()
{
    qRegisterMetaType<QNetworkReply *>();
#ifdef TARN_TEST_SERVICE_NGINX
    if (apiBaseUrl.isEmpty())
        QSKIP(qPrintable(RealServer::unavailableReason()));
#endif
    QVERIFY(writeFile(content.filePath(QStringLiteral("accounts.json")),
                      "[{\"cid\": \"1000001\", \"sha1\": "
                      "\"0123456789abcdef0123456789abcdef01234567\", \"rating\": 5}]"));
    for (int i = 0; i < sectorFiles; ++i) {
        const QString path = content.filePath(QStringLiteral("sector/") + sectorName(i));
        QVERIFY(writeFile(path, sectorContent(i)) && setModificationTime(path, serviceTime));
    }
}

void TestRequestSender::init()
{
    resetTestService(content.path());
    if (!trusted && qstrcmp(QTest::currentTestFunction(), "untrustedServiceIsNotDelivered") != 0) {
        trustTestAuthority();
        // The manager keeps the connection of a failed handshake, made with
        // the configuration of that time.
        RequestSender::sharedManager()->clearConnectionCache();
        trusted = true;
    }
}

// Runs first: every later test trusts the authority.
void TestRequestSender::untrustedServiceIsNotDelivered()
{
    if (!apiBaseUrl.startsWith(QLatin1String("https:")))
        QSKIP("The service speaks plain HTTP.");
    QObject owner;
    QNetworkReply::NetworkError error = QNetworkReply::NoError;
    connect(RequestSender::sharedManager(), &QNetworkAccessManager::finished, &owner,
            [&error](QNetworkReply *reply) { error = reply->error(); });
    Delivery delivery;
    post(&owner, QStringLiteral("/login.php"), login, delivery);
    QVERIFY2(waitUntil([&] { return error != QNetworkReply::NoError; }),
             "The request to an untrusted service did not fail.");
    QCOMPARE(error, QNetworkReply::SslHandshakeFailedError);
    QCoreApplication::processEvents();
    QCOMPARE(delivery.calls, 0);
    QVERIFY2(testService().requests().empty(),
             "A service whose certificate is not trusted received the request and its fields.");
}

void TestRequestSender::programKeepsPeerVerification()
{
    for (const QSslConfiguration &configuration :
         {Startup::prepareProcess(), QSslConfiguration::defaultConfiguration()}) {
        QVERIFY2(configuration.peerVerifyMode() == QSslSocket::AutoVerifyPeer
                     || configuration.peerVerifyMode() == QSslSocket::VerifyPeer,
                 "Start-up left a TLS configuration that does not verify the service.");
    }
}

// These calls are the only ways to talk to a service whose certificate does
// not verify. The program's own code uses none of them.
void TestRequestSender::programSourcesNeverLowerVerification()
{
    const QRegularExpression lowering(QStringLiteral(
        R"(ignoreSslErrors|VerifyNone|QueryPeer|setPeerVerifyMode|setPeerVerifyDepth|)"
        R"(sslErrors|setCaCertificates|addCaCertificate|setDefaultCaCertificates|)"
        R"(setDefaultConfiguration|setSslConfiguration|setProtocol|setAllowedNextProtocols|)"
        R"(QSsl::(SslV|TlsV1_0|TlsV1_1|AnyProtocol|UnknownProtocol))"));
    int scanned = 0;
    for (const char *folder : {"app", "net", "handlers", "update", "platform", "resources/QML"}) {
        QDirIterator files(QStringLiteral(TARN_SOURCE_DIR "/") + QLatin1String(folder),
                           {QStringLiteral("*.cpp"), QStringLiteral("*.h"), QStringLiteral("*.in"),
                            QStringLiteral("*.qml")},
                           QDir::Files, QDirIterator::Subdirectories);
        for (; files.hasNext(); ++scanned) {
            const QRegularExpressionMatch found
                = lowering.match(QString::fromUtf8(readFile(files.next())));
            QVERIFY2(!found.hasMatch(),
                     qPrintable(QStringLiteral("%1 lowers TLS verification with %2.")
                                    .arg(files.filePath(), found.captured())));
        }
    }
    QVERIFY2(scanned > 20, "The program's sources were not found for the scan.");
}

void TestRequestSender::encodesFields_data()
{
    QTest::addColumn<QString>("value");
    QTest::addColumn<QByteArray>("encoded");
    QTest::newRow("space") << QStringLiteral("a b") << QByteArray("v=a%20b");
    QTest::newRow("ampersand") << QStringLiteral("a&b") << QByteArray("v=a%26b");
    QTest::newRow("equals") << QStringLiteral("a=b") << QByteArray("v=a%3Db");
    QTest::newRow("plus") << QStringLiteral("a+b") << QByteArray("v=a%2Bb");
    QTest::newRow("hash and percent") << QStringLiteral("#1%") << QByteArray("v=%231%25");
    QTest::newRow("non-ASCII") << QStringLiteral("\u00fcber") << QByteArray("v=%C3%BCber");
    QTest::newRow("slashes") << QStringLiteral("//Data/file.txt")
                             << QByteArray("v=//Data/file.txt");
    QTest::newRow("no fields") << QString() << QByteArray();
}

// The service decodes each field to what was sent.
void TestRequestSender::encodesFields()
{
    QFETCH(QString, value);
    QFETCH(QByteArray, encoded);
    QHash<QString, QString> fields;
    if (!value.isEmpty())
        fields.insert(QStringLiteral("v"), value);
    QCOMPARE(RequestSender::encodeFields(fields), encoded);
    QObject owner;
    Delivery delivery;
    post(&owner, QStringLiteral("/getfilelist.php"), fields, delivery);
    QVERIFY2(waitUntil([&] { return delivery.calls == 1; }), "The list reply did not arrive.");
    const auto requests = testService().requests();
    QCOMPARE(requests.size(), size_t(1));
    QCOMPARE(requests[0].method, std::string("POST"));
    QCOMPARE(requests[0].contentType, std::string("application/x-www-form-urlencoded"));
    QCOMPARE(QByteArray::fromStdString(requests[0].body), encoded);
    QCOMPARE(requestFields(QStringLiteral("getfilelist.php")).first(), fields);
}

void TestRequestSender::recognisesCutBodies_data()
{
    QTest::addColumn<QByteArray>("contentLength");
    QTest::addColumn<QByteArray>("encoding");
    QTest::addColumn<qint64>("received");
    QTest::addColumn<bool>("cutShort");
    QTest::newRow("whole body") << QByteArray("100") << QByteArray() << qint64(100) << false;
    QTest::newRow("one byte short") << QByteArray("100") << QByteArray() << qint64(99) << true;
    QTest::newRow("more than announced")
        << QByteArray("100") << QByteArray() << qint64(101) << true;
    QTest::newRow("identity encoding")
        << QByteArray("100") << QByteArray("identity") << qint64(50) << true;
    // A decoded body has another length than the one announced.
    QTest::newRow("compressed") << QByteArray("100") << QByteArray("gzip") << qint64(300) << false;
    QTest::newRow("no length") << QByteArray() << QByteArray() << qint64(50) << false;
}

void TestRequestSender::recognisesCutBodies()
{
    QFETCH(QByteArray, contentLength);
    QFETCH(QByteArray, encoding);
    QFETCH(qint64, received);
    QFETCH(bool, cutShort);
    FinishedReply reply(contentLength, encoding);
    QCOMPARE(RequestSender::isCutShort(&reply, received), cutShort);
}

void TestRequestSender::outcomes_data()
{
    QTest::addColumn<int>("status");
    QTest::addColumn<bool>("dropMidBody");
    QTest::addColumn<bool>("refused");
    QTest::addColumn<QNetworkReply::NetworkError>("delivered");
    const auto none = QNetworkReply::UnknownNetworkError;
    QTest::newRow("200 delivered") << 0 << false << false << QNetworkReply::NoError;
    QTest::newRow("401 delivered")
        << 401 << false << false << QNetworkReply::AuthenticationRequiredError;
    QTest::newRow("403 not delivered") << 403 << false << false << none;
    QTest::newRow("404 not delivered") << 404 << false << false << none;
    QTest::newRow("500 not delivered") << 500 << false << false << none;
    QTest::newRow("dropped mid-body not delivered") << 0 << true << false << none;
    QTest::newRow("connection refused not delivered") << 0 << false << true << none;
}

// A reply reaches its sender, which is alive then, only for success and 401;
// either way sender and reply are disposed of once the event loop has run.
void TestRequestSender::outcomes()
{
    QFETCH(int, status);
    QFETCH(bool, dropMidBody);
    QFETCH(bool, refused);
    QFETCH(QNetworkReply::NetworkError, delivered);
    Fault fault = downloadFault(sectorFiles - 1);
    fault.status = status;
    fault.dropMidBody = dropMidBody;
    testService().addFault(fault);
    QString url = QStringLiteral("/downloadSectorFile.php");
    if (refused) {
        // Nothing listens on a port that was just released.
        devservice::DevService closed;
        url = QStringLiteral("http://127.0.0.1:%1/api/tarn/login.php").arg(closed.start());
        closed.stop();
    }
    QPointer<QNetworkReply> reply;
    QObject owner;
    connect(RequestSender::sharedManager(), &QNetworkAccessManager::finished, &owner,
            [&reply](QNetworkReply *finished) { reply = finished; });
    Delivery delivery;
    const QPointer<RequestSender> sender = post(&owner, url, fileField(sectorFiles - 1), delivery);
    QVERIFY2(waitUntil([&] { return sender.isNull() && reply.isNull(); }),
             "The sender and its reply were not disposed of.");
    const bool expected = delivered != QNetworkReply::UnknownNetworkError;
    QCOMPARE(delivery.calls, expected ? 1 : 0);
    QCOMPARE(delivery.senderAlive, expected);
    if (expected)
        QCOMPARE(delivery.error, delivered);
    if (delivered == QNetworkReply::NoError)
        QCOMPARE(delivery.body, sectorContent(sectorFiles - 1));
}

// Later requests answer sooner, so the replies finish in reverse order. The
// list request before them, as before every batch of downloads, tells the
// program that the service speaks HTTP/2, where nginx would hold a request
// that expects to continue for a second.
void TestRequestSender::repliesReachOnlyTheirOwnSenders()
{
    QObject owner;
    std::vector<Delivery> deliveries(sectorFiles + 1);
    post(&owner, QStringLiteral("/getfilelist.php"), {}, deliveries.back());
    QVERIFY2(waitUntil([&] { return deliveries.back().calls == 1; }),
             "The list reply did not arrive.");
    for (int i = 0; i < sectorFiles; ++i) {
        Fault slow = downloadFault(i);
        slow.delay = std::chrono::milliseconds(30 * (sectorFiles - i));
        testService().addFault(slow);
        post(&owner, QStringLiteral("/downloadSectorFile.php"), fileField(i), deliveries[size_t(i)]);
    }
    QVERIFY2(allDelivered(deliveries), "A sender received no reply.");
    QCoreApplication::processEvents();
    for (int i = 0; i < sectorFiles; ++i) {
        const Delivery &delivery = deliveries[size_t(i)];
        QVERIFY2(delivery.calls == 1, "A handler was not called exactly once.");
        QVERIFY2(delivery.body == sectorContent(i), "A sender got another file's body.");
        QCOMPARE(delivery.http2, realServer);
        QVERIFY2(!realServer || delivery.expect.isEmpty(),
                 "A download over HTTP/2 expected to continue.");
    }
}

// Asked to expect "100 Continue", the server answers a request's head at once
// instead of delaying its acknowledgement; a body-less request needs no answer.
void TestRequestSender::asksServerToContinueOnlyWithBody()
{
    if (realServer)
        QSKIP("Over HTTP/2 no request asks to continue.");
    QObject owner;
    Delivery list;
    Delivery withBody;
    post(&owner, QStringLiteral("/getfilelist.php"), {}, list);
    post(&owner, QStringLiteral("/login.php"), login, withBody);
    QVERIFY2(waitUntil([&] { return list.calls == 1 && withBody.calls == 1; }),
             "A reply did not reach its sender.");
    QCOMPARE(requestsTo("/api/tarn/getfilelist.php").at(0).expect, std::string());
    QCOMPARE(requestsTo("/api/tarn/login.php").at(0).expect, std::string("100-continue"));
}

void TestRequestSender::failedDownloadsLeaveFilesWhole_data()
{
    QTest::addColumn<int>("status");
    QTest::addColumn<bool>("dropMidBody");
    QTest::newRow("404") << 404 << false;
    QTest::newRow("500") << 500 << false;
    QTest::newRow("dropped mid-body") << 0 << true;
}

// Every local file is older than the service's; the failing ones keep their
// old bytes, with no part file left beside them, and stay pending.
void TestRequestSender::failedDownloadsLeaveFilesWhole()
{
    if (!realServer)
        QSKIP("Over HTTP/1.1 a connection cut mid-body can fail the next download on it too.");
    QFETCH(int, status);
    QFETCH(bool, dropMidBody);
    QTemporaryDir local;
    const QSet<int> failing{2, 7, 11};
    for (int i = 0; i < sectorFiles; ++i) {
        const QString path = local.filePath(sectorName(i));
        QVERIFY(writeFile(path, "old " + QByteArray::number(i))
                && setModificationTime(path, serviceTime.addDays(-1)));
        Fault fault = downloadFault(i);
        fault.status = status;
        fault.dropMidBody = dropMidBody;
        if (failing.contains(i))
            testService().addFault(fault);
    }
    FilesChecker checker(nullptr, false);
    QVERIFY2(compareSector(checker, local.path()), "The sector list was not compared.");
    QCOMPARE(checker.PendingCount(), quint64(sectorFiles));
    QSignalSpy finished(&checker, &FilesChecker::UpdateFinished);
    QSignalSpy replies(RequestSender::sharedManager(), &QNetworkAccessManager::finished);
    checker.DownloadSectorFiles();
    QVERIFY2(waitForSignals(replies, sectorFiles), "Not every download was answered.");
    // A file is put in place after its reply has finished.
    waitUntil([&] { return checker.PendingCount() == quint64(failing.size()); });
    const QMap<QString, QByteArray> files = contents(snapshot(local.path()));
    QCOMPARE(files.size(), sectorFiles);
    for (int i = 0; i < sectorFiles; ++i) {
        QVERIFY2(files.value(sectorName(i))
                     == (failing.contains(i) ? "old " + QByteArray::number(i) : sectorContent(i)),
                 qPrintable(sectorName(i)
                            + QStringLiteral(" holds neither its old nor its new bytes.")));
    }
    QCOMPARE(checker.PendingCount(), quint64(failing.size()));
    QVERIFY2(finished.isEmpty(), "The batch with failed downloads reported completion.");
}

// Over HTTP/2 the sector downloads are not held to the window of six
// connections: with every answer but the first one held back, more than 24
// reach the service at once (30, within the service's 32 workers).
void TestRequestSender::sectorDownloadsFillTheStreamsOfOneConnection()
{
    if (!realServer)
        QSKIP("Over HTTP/1.1 the downloads are held to six connections.");
    constexpr int files = 30;
    QTemporaryDir service;
    QTemporaryDir local;
    for (int i = 0; i < files; ++i) {
        const QString name = QStringLiteral("Wide/file%1.txt").arg(i, 2, 10, QLatin1Char('0'));
        const QString path = service.filePath(QStringLiteral("sector/") + name);
        QVERIFY(writeFile(path, "wide " + QByteArray::number(i))
                && setModificationTime(path, serviceTime));
        Fault held;
        held.endpoint = "downloadSectorFile.php";
        held.file = "//" + name.toStdString();
        held.hold = true;
        if (i > 0)
            testService().addFault(held);
    }
    testService().setContentRoot(service.path().toStdString());
    FilesChecker checker(nullptr, false);
    QVERIFY2(compareSector(checker, local.path()), "The sector list was not compared.");
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
    QVERIFY2(waitForSignals(finished), "The update did not complete once the answers came.");
}

// Runs last: once refused, the expectation stays off for the whole process.
void TestRequestSender::retriesWithoutExpectationWhenRefused()
{
    if (realServer)
        QSKIP("Over HTTP/2 no request asks to continue.");
    testService().setRefuseExpectation(true);
    QObject owner;
    std::vector<Delivery> deliveries(sectorFiles);
    for (int i = 0; i < sectorFiles; ++i)
        post(&owner, QStringLiteral("/downloadSectorFile.php"), fileField(i), deliveries[size_t(i)]);
    QVERIFY2(allDelivered(deliveries), "A request refused its expectation was not answered.");
    QVERIFY2(testService().refusedExpectations() > 0, "The service refused no expectation.");
    for (int i = 0; i < sectorFiles; ++i) {
        QCOMPARE(deliveries[size_t(i)].calls, 1);
        QCOMPARE(deliveries[size_t(i)].body, sectorContent(i));
        QCOMPARE(requestFields(QStringLiteral("downloadSectorFile.php")).count(fileField(i)), 1);
    }
    const size_t refused = testService().refusedExpectations();
    Delivery later;
    post(&owner, QStringLiteral("/login.php"), login, later);
    QVERIFY2(waitUntil([&] { return later.calls == 1; }), "A later request was not answered.");
    QVERIFY2(testService().refusedExpectations() == refused,
             "A later request asked again for the expectation the service refused.");
}

QTEST_GUILESS_MAIN(TestRequestSender)
#include "tst_requestsender.moc"
