// The request path, built three times: against the development service over
// plain HTTP (tst_requestsender), over https with the test authority
// (tst_requestsender_tls), and through nginx with TLS and HTTP/2 in front of
// it, as a community runs its service (tst_realserver).

#include "TestService.h"

#include "net/ApiBaseUrl.h"
#include "net/RequestSender.h"
#include "update/FilesChecker.h"

#include <QDirIterator>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QPointer>
#include <QRegularExpression>
#include <QTemporaryDir>

using devservice::Fault;

namespace {
constexpr int sectorFiles = 12;
const QDateTime serviceTime(QDate(2024, 3, 1), QTime(12, 0));
const QString downloadUrl = QStringLiteral("/downloadSectorFile.php");

QString sectorName(int i)
{
    return QStringLiteral("Area%1/file%2.txt").arg(i % 3).arg(i, 2, 10, QLatin1Char('0'));
}

QByteArray sectorContent(int i)
{
    return "content of sector file " + QByteArray::number(i) + '\n' + QByteArray(4096 * i, 'x');
}

QHash<QString, QString> fileField(int i)
{
    return {{QStringLiteral("file"), QStringLiteral("//") + sectorName(i)}};
}

// A fault on one sector file's download: an HTTP status or a body cut in the middle.
Fault downloadFault(const QString &file, int status = 0, bool dropMidBody = false)
{
    Fault fault = faultOn("downloadSectorFile.php", "//" + file.toStdString());
    fault.status = status;
    fault.dropMidBody = dropMidBody;
    return fault;
}

// What reached one sender's handlers.
struct Delivery
{
    int calls = 0;
    QStringList failures;
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
    QObject::connect(sender, &RequestSender::onFailure, owner,
                     [&delivery](const QString &reason) { delivery.failures.append(reason); });
    sender->sendRequest(url.startsWith(QLatin1Char('/')) ? apiBaseUrl + url : url, fields);
    return guard;
}

// Sends one download per sector file and waits until each sender got a reply.
bool downloadAll(QObject *owner, std::vector<Delivery> &deliveries)
{
    deliveries.assign(size_t(sectorFiles), Delivery());
    for (int i = 0; i < sectorFiles; ++i)
        post(owner, downloadUrl, fileField(i), deliveries[size_t(i)]);
    return waitUntil([&] {
        return std::all_of(deliveries.begin(), deliveries.end(),
                           [](const Delivery &delivery) { return delivery.calls > 0; });
    });
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
    void initTestCase()
    {
        qRegisterMetaType<QNetworkReply *>();
        TARN_REQUIRE_SERVICE();
        for (int i = 0; i < sectorFiles; ++i) {
            const QString path = content.filePath(QStringLiteral("sector/") + sectorName(i));
            QVERIFY(writeFile(path, sectorContent(i), serviceTime));
        }
    }

    void init()
    {
        resetTestService(content.path());
#ifdef TARN_TEST_AUTHORITY
        if (!trusted
            && qstrcmp(QTest::currentTestFunction(), "untrustedServiceIsNotDelivered") != 0) {
            trustTestAuthority();
            trusted = true;
        }
#endif
    }

#ifdef TARN_TEST_AUTHORITY
    // Runs first: every later test trusts the authority, and succeeds only then.
    void untrustedServiceIsNotDelivered()
    {
        QObject owner;
        QNetworkReply::NetworkError error = QNetworkReply::NoError;
        connect(RequestSender::sharedManager(), &QNetworkAccessManager::finished, &owner,
                [&error](QNetworkReply *reply) { error = reply->error(); });
        Delivery delivery;
        post(&owner, QStringLiteral("/login.php"),
             {{ QStringLiteral("password"),
                QStringLiteral("x") }},
             delivery);
        QVERIFY2(waitUntil([&] { return error != QNetworkReply::NoError; }),
                 "The request to an untrusted service did not fail.");
        QCOMPARE(error, QNetworkReply::SslHandshakeFailedError);
        QCoreApplication::processEvents();
        QCOMPARE(delivery.calls, 0);
        QCOMPARE(delivery.failures, {QStringLiteral("the service's certificate is not trusted")});
        QVERIFY2(testService().requests().empty(),
                 "A service whose certificate is not trusted received the request and its fields.");
    }
#endif

    // These calls are the only ways to talk to a service whose certificate does
    // not verify, or to change Qt's default, which verifies. The program's own
    // code uses none of them.
    void programSourcesNeverLowerVerification()
    {
        const QRegularExpression lowering(QStringLiteral(
            R"(ignoreSslErrors|VerifyNone|QueryPeer|setPeerVerifyMode|setPeerVerifyDepth|)"
            R"(sslErrors|setCaCertificates|addCaCertificate|setDefaultCaCertificates|)"
            R"(setDefaultConfiguration|setSslConfiguration|setProtocol|setAllowedNextProtocols|)"
            R"(QSsl::(SslV|TlsV1_0|TlsV1_1|AnyProtocol|UnknownProtocol))"));
        int scanned = 0;
        for (const char *folder :
             {"app", "net", "handlers", "update", "platform", "resources/QML"}) {
            QDirIterator files(QStringLiteral(TARN_SOURCE_DIR "/") + QLatin1String(folder),
                               {QStringLiteral("*.cpp"), QStringLiteral("*.h"),
                                QStringLiteral("*.in"), QStringLiteral("*.qml")},
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

    // The service decodes a field to what was sent. Asked to expect "100
    // Continue", the server answers a request's head at once instead of
    // delaying its acknowledgement; a request without a body needs no answer.
    void encodesFields()
    {
        const QHash<QString, QString> fields
            = {{QStringLiteral("v"), QString::fromUtf8("a b&c=d+e#1%\u00fcber//x.txt")}};
        QCOMPARE(RequestSender::encodeFields(fields),
                 QByteArray("v=a%20b%26c%3Dd%2Be%231%25%C3%BCber//x.txt"));
        QObject owner;
        for (const auto &sent : {fields, QHash<QString, QString>()}) {
            Delivery delivery;
            post(&owner, QStringLiteral("/getfilelist.php"), sent, delivery);
            QVERIFY2(waitUntil([&] { return delivery.calls == 1; }),
                     "The list reply did not arrive.");
            const devservice::RecordedRequest request = testService().requests().back();
            QVERIFY2(request.method == "POST"
                         && request.contentType == "application/x-www-form-urlencoded",
                     "The fields were not posted as a form.");
            QCOMPARE(requestFields(QStringLiteral("getfilelist.php")).last(), sent);
            if (!realServer)
                QCOMPARE(request.expect, std::string(sent.isEmpty() ? "" : "100-continue"));
        }
    }

    void recognisesCutBodies()
    {
        const struct
        {
            QByteArray contentLength;
            QByteArray encoding;
            qint64 received;
            bool cutShort;
        } rows[] = {{"100", {}, 100, false},
                    {"100", {}, 99, true},
                    {"100", "identity", 50, true},
                    // A decoded body has another length than the one announced.
                    {"100", "gzip", 300, false},
                    {{}, {}, 50, false}};
        for (const auto &row : rows) {
            FinishedReply reply(row.contentLength, row.encoding);
            QCOMPARE(RequestSender::isCutShort(&reply, row.received), row.cutShort);
        }
    }

    void outcomes_data()
    {
        QTest::addColumn<int>("status");
        QTest::addColumn<bool>("dropMidBody");
        QTest::addColumn<bool>("silent");
        QTest::addColumn<QString>("failure");
        QTest::newRow("200 delivered") << 0 << false << false << QString();
        QTest::newRow("401 delivered") << 401 << false << false << QString();
        QTest::newRow("404 failed")
            << 404 << false << false << QStringLiteral("the service answered 404");
        QTest::newRow("500 failed")
            << 500 << false << false << QStringLiteral("the service answered 500");
        QTest::newRow("dropped mid-body failed")
            << 0 << true << false << QStringLiteral("the download was cut short");
        QTest::newRow("no answer, failed after 30 seconds")
            << 0 << false << true << QStringLiteral("the service did not answer for 30 seconds");
    }

    // A reply reaches its sender, which is alive then, only for success and 401;
    // any other outcome is a failure with its reason. Either way sender and
    // reply are disposed of once the event loop has run.
    void outcomes()
    {
        QFETCH(int, status);
        QFETCH(bool, dropMidBody);
        QFETCH(bool, silent);
        QFETCH(QString, failure);
        Fault fault = downloadFault(sectorName(1), status, dropMidBody);
        fault.hold = silent;
        testService().addFault(fault);
        QPointer<QNetworkReply> reply;
        QObject owner;
        connect(RequestSender::sharedManager(), &QNetworkAccessManager::finished, &owner,
                [&reply](QNetworkReply *finished) { reply = finished; });
        Delivery delivery;
        const QPointer<RequestSender> sender = post(&owner, downloadUrl, fileField(1), delivery);
        QVERIFY2(waitUntil([&] { return sender.isNull() && reply.isNull(); },
                           RequestSender::transferTimeout + 10000),
                 "The sender and its reply were not disposed of.");
        testService().releaseHeld();
        QCOMPARE(delivery.failures, failure.isEmpty() ? QStringList() : QStringList{failure});
        const bool delivered = failure.isEmpty();
        QCOMPARE(delivery.calls, delivered ? 1 : 0);
        QCOMPARE(delivery.senderAlive, delivered);
        QCOMPARE(delivery.error,
                 status == 401 ? QNetworkReply::AuthenticationRequiredError
                               : QNetworkReply::NoError);
        QCOMPARE(delivery.body, status == 0 && delivered ? sectorContent(1) : QByteArray());
    }

    // Later requests answer sooner, so the replies finish in reverse order. The
    // list request before them, as before every batch of downloads, tells the
    // program that the service speaks HTTP/2, where nginx would hold a request
    // that expects to continue for a second.
    void repliesReachOnlyTheirOwnSenders()
    {
        QObject owner;
        Delivery list;
        post(&owner, QStringLiteral("/getfilelist.php"), {}, list);
        QVERIFY2(waitUntil([&] { return list.calls == 1; }), "The list reply did not arrive.");
        for (int i = 0; i < sectorFiles; ++i) {
            Fault slow = downloadFault(sectorName(i));
            slow.delay = std::chrono::milliseconds(30 * (sectorFiles - i));
            testService().addFault(slow);
        }
        std::vector<Delivery> deliveries;
        QVERIFY2(downloadAll(&owner, deliveries), "A sender received no reply.");
        QCoreApplication::processEvents();
        for (int i = 0; i < sectorFiles; ++i) {
            const Delivery &delivery = deliveries[size_t(i)];
            QVERIFY2(delivery.calls == 1 && delivery.body == sectorContent(i),
                     "A sender did not get its own file's body exactly once.");
            QCOMPARE(delivery.http2, realServer);
            QVERIFY2(!realServer || delivery.expect.isEmpty(),
                     "A download over HTTP/2 expected to continue.");
        }
    }

    void downloadsFillTheConnections_data()
    {
        QTest::addColumn<QString>("mode");
        QTest::newRow("program files") << QStringLiteral("client");
        QTest::newRow("sector files") << QStringLiteral("sector");
    }

    // As many downloads go out at once as the connection carries: over
    // HTTP/1.1 the six connections Qt opens to a server, since a request Qt
    // queued behind them would count its wait against the transfer timeout
    // and fail on a slow line without ever being sent; over HTTP/2 all 30, as
    // streams of one connection (within the service's 32 workers). The first
    // download is answered, which opens the window; the others are held.
    void downloadsFillTheConnections()
    {
        QFETCH(QString, mode);
        constexpr int files = 30;
        const size_t atOnce = realServer ? files : 1 + 6;
        const bool client = mode == QLatin1String("client");
        const std::string endpoint = client ? "downloadFile.php" : "downloadSectorFile.php";
        QTemporaryDir service;
        QTemporaryDir local;
        for (int i = 0; i < files; ++i) {
            const QString path = QStringLiteral("Wide/%1.txt").arg(i, 2, 10, QLatin1Char('0'));
            QVERIFY(
                writeFile(service.filePath(mode + QLatin1Char('/') + path), "wide", serviceTime));
            Fault held = faultOn(endpoint, (client ? "" : "//") + path.toStdString());
            held.hold = i > 0;
            testService().addFault(held);
        }
        testService().setContentRoot(service.path().toStdString());
        FilesChecker checker(nullptr, false);
        QSignalSpy finished(&checker, &FilesChecker::UpdateFinished);
        QVERIFY2(compareWithList(checker, local.path(), mode), "The list was not compared.");
        client ? checker.DownloadClientFiles() : checker.DownloadSectorFiles();
        const auto reached = [&] { return requestsTo("/api/tarn/" + endpoint).size(); };
        QVERIFY2(waitUntil([&] { return reached() == atOnce; }),
                 qPrintable(QStringLiteral("%1 downloads reached the service, not %2.")
                                .arg(reached())
                                .arg(atOnce)));
        const QList<QNetworkReply *> replies
            = RequestSender::sharedManager()->findChildren<QNetworkReply *>();
        const auto running
            = std::count_if(replies.cbegin(), replies.cend(),
                            [](const QNetworkReply *reply) { return reply->isRunning(); });
        testService().releaseHeld();
        QVERIFY2(
            size_t(running) == atOnce - 1,
            qPrintable(QStringLiteral("%1 downloads ran, of which only %2 reached the service.")
                           .arg(running)
                           .arg(atOnce - 1)));
        QVERIFY2(waitForSignals(finished), "The update did not complete once the answers came.");
        QCOMPARE(checker.FailedDownloadCount(), quint64(0));
        QCOMPARE(contents(snapshot(local.path())).size(), files);
    }

#ifdef TARN_TEST_SERVICE_NGINX
    // Through nginx only: over HTTP/1.1 a connection cut mid-body can fail the
    // next download on it too, and the downloads are held to six connections.

    // Every local file is older than the service's; the three failing ones (404,
    // 500, cut) keep their old bytes, with no part file left beside them, stay
    // pending, and the batch ends once, counting them.
    void failedDownloadsLeaveFilesWhole()
    {
        const QMap<int, Fault> failing = {{2, downloadFault(sectorName(2), 404)},
                                          {7, downloadFault(sectorName(7), 500)},
                                          { 11,
                                            downloadFault(sectorName(11), 0, true) }};
        QTemporaryDir local;
        QMap<QString, QByteArray> expected;
        for (int i = 0; i < sectorFiles; ++i) {
            const QString path = local.filePath(sectorName(i));
            QVERIFY(writeFile(path, "old " + QByteArray::number(i), serviceTime.addDays(-1)));
            expected[sectorName(i)] = failing.contains(i) ? readFile(path) : sectorContent(i);
            if (failing.contains(i))
                testService().addFault(failing.value(i));
        }
        FilesChecker checker(nullptr, false);
        QSignalSpy finished(&checker, &FilesChecker::UpdateFinished);
        QVERIFY2(compareWithList(checker, local.path(), QStringLiteral("sector"))
                     && downloadDifferences(checker, QStringLiteral("sector")),
                 "The batch with failed downloads did not end.");
        QVERIFY2(contents(snapshot(local.path())) == expected,
                 "A file holds neither its old nor its new bytes, or a part file was left.");
        QCOMPARE(checker.PendingCount(), quint64(failing.size()));
        QCOMPARE(checker.FailedDownloadCount(), quint64(failing.size()));
        QCoreApplication::processEvents();
        QCOMPARE(finished.count(), 1);
    }

#else
    // Not through nginx, where no request asks to continue (HTTP/2).

    // Runs last: once refused, the expectation stays off for the whole process.
    void retriesWithoutExpectationWhenRefused()
    {
        testService().setRefuseExpectation(true);
        QObject owner;
        std::vector<Delivery> deliveries;
        QVERIFY2(downloadAll(&owner, deliveries),
                 "A request refused its expectation was not answered.");
        const size_t refused = testService().refusedExpectations();
        QVERIFY2(refused > 0, "The service refused no expectation.");
        for (int i = 0; i < sectorFiles; ++i) {
            QVERIFY2(deliveries[size_t(i)].calls == 1
                         && deliveries[size_t(i)].body == sectorContent(i),
                     "A refused request was not answered once with its file.");
            QCOMPARE(requestFields(QStringLiteral("downloadSectorFile.php")).count(fileField(i)), 1);
        }
        QVERIFY2(downloadAll(&owner, deliveries), "A later request was not answered.");
        QVERIFY2(testService().refusedExpectations() == refused,
                 "A later request asked again for the expectation the service refused.");
    }
#endif

private:
    QTemporaryDir content;
    bool trusted = false;
};

QTEST_GUILESS_MAIN(TestRequestSender)
#include "tst_requestsender.moc"
