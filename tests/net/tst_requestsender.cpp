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

// A fault on the download of one sector file; the caller sets what it does.
Fault downloadFault(const QString &file)
{
    return faultOn("downloadSectorFile.php", "//" + file.toStdString());
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
    sender->sendRequest(apiBaseUrl + url, fields);
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
        for (int i = 0; i < sectorFiles; ++i)
            QVERIFY(writeFile(content.filePath(QStringLiteral("sector/") + sectorName(i)),
                              sectorContent(i), serviceTime));
    }

    void init()
    {
        resetTestService(content.path());
        if (qstrcmp(QTest::currentTestFunction(), "untrustedServiceIsNotDelivered") != 0
            && !std::exchange(trusted, true))
            trustTestAuthority();
    }

#ifdef TARN_TEST_AUTHORITY
    // Runs first: every later test trusts the authority, and succeeds only then.
    void untrustedServiceIsNotDelivered()
    {
        QObject owner;
        Delivery delivery;
        post(&owner, QStringLiteral("/login.php"),
             {{QStringLiteral("password"), QStringLiteral("x")}}, delivery);
        // The reason is the one for a failed TLS handshake.
        QVERIFY(waitUntil([&] { return !delivery.failures.isEmpty(); }));
        QCoreApplication::processEvents();
        QCOMPARE(delivery.calls, 0);
        QCOMPARE(delivery.failures, {QStringLiteral("the service's certificate is not trusted")});
        QVERIFY(testService().requests().empty());
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
                               QDir::Files, QDirIterator::Subdirectories);
            for (; files.hasNext(); ++scanned) {
                const auto found = lowering.match(QString::fromUtf8(readFile(files.next())));
                QVERIFY2(!found.hasMatch(),
                         qPrintable(files.filePath() + QLatin1Char(' ') + found.captured()));
            }
        }
        QVERIFY(scanned > 20);
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
            QVERIFY(waitUntil([&] { return delivery.calls == 1; }));
            const auto request = testService().requests().back();
            QVERIFY(request.method == "POST"
                    && request.contentType == "application/x-www-form-urlencoded");
            QCOMPARE(requestFields(QStringLiteral("getfilelist.php")).last(), sent);
            if (!realServer)
                QCOMPARE(request.expect, std::string(sent.isEmpty() ? "" : "100-continue"));
        }
    }

    void recognisesCutBodies()
    {
        // Content-Length, Content-Encoding, bytes received, cut short; a
        // decoded body has another length than the one announced.
        const std::tuple<QByteArray, QByteArray, qint64, bool> rows[]
            = {{"100", {}, 100, false},
               {"100", {}, 99, true},
               {"100", "identity", 50, true},
               {"100", "gzip", 300, false},
               {{}, {}, 50, false}};
        for (const auto &[length, encoding, received, cutShort] : rows) {
            FinishedReply reply(length, encoding);
            QCOMPARE(RequestSender::isCutShort(&reply, received), cutShort);
        }
    }

    void outcomes_data()
    {
        QTest::addColumn<int>("status");
        QTest::addColumn<QString>("failure");
        QTest::newRow("200 delivered") << 0 << QString();
        QTest::newRow("401 delivered") << 401 << QString();
        QTest::newRow("no answer, failed after 30 seconds")
            << 0 << QStringLiteral("the service did not answer for 30 seconds");
    }

    // A reply reaches its sender, which is alive then, only for success and 401;
    // any other outcome is a failure with its reason (tst_faultmatrix checks
    // the other statuses and a cut body). Either way sender and reply are
    // disposed of once the event loop has run.
    void outcomes()
    {
        QFETCH(int, status);
        QFETCH(QString, failure);
        Fault fault = downloadFault(sectorName(1));
        fault.status = status;
        fault.hold = !failure.isEmpty();
        testService().addFault(fault);
        QPointer<QNetworkReply> reply;
        QObject owner;
        connect(RequestSender::sharedManager(), &QNetworkAccessManager::finished, &owner,
                [&reply](QNetworkReply *finished) { reply = finished; });
        Delivery delivery;
        const QPointer<RequestSender> sender = post(&owner, downloadUrl, fileField(1), delivery);
        QVERIFY(waitUntil([&] { return sender.isNull() && reply.isNull(); },
                          RequestSender::transferTimeout + 10000));
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

    // As many downloads go out at once as the connection carries: over
    // HTTP/1.1 the six connections Qt opens to a server, since a request Qt
    // queued behind them would count its wait against the transfer timeout
    // and fail on a slow line without ever being sent; over HTTP/2 all 30, as
    // streams of one connection (within the service's 32 workers). The first
    // download is answered, which opens the window; the others are held.
    // Program files go through the same window of FolderUpdate.
    void downloadsFillTheConnections()
    {
        constexpr int files = 30;
        const size_t atOnce = realServer ? files : 1 + 6;
        QTemporaryDir service, local;
        for (int i = 0; i < files; ++i) {
            const QString path = QStringLiteral("Wide/%1.txt").arg(i, 2, 10, QLatin1Char('0'));
            QVERIFY(
                writeFile(service.filePath(QStringLiteral("sector/") + path), "wide", serviceTime));
            Fault held = downloadFault(path);
            held.hold = i > 0;
            testService().addFault(held);
        }
        testService().setContentRoot(service.path().toStdString());
        FilesChecker checker(nullptr, false);
        QSignalSpy finished(&checker, &FilesChecker::UpdateFinished);
        QVERIFY(compareWithList(checker, local.path(), QStringLiteral("sector")));
        checker.DownloadSectorFiles();
        const auto reached = [] { return requestsTo("/api/tarn/downloadSectorFile.php").size(); };
        waitUntil([&] { return reached() == atOnce; });
        QCOMPARE(reached(), atOnce);
        // Those running but held, beside the answered first: none waits unsent.
        const auto replies = RequestSender::sharedManager()->findChildren<QNetworkReply *>();
        const auto running = std::count_if(replies.cbegin(), replies.cend(),
                                           [](const QNetworkReply *r) { return r->isRunning(); });
        testService().releaseHeld();
        QCOMPARE(size_t(running), atOnce - 1);
        QVERIFY(waitForSignals(finished));
        QCOMPARE(checker.FailedDownloadCount(), quint64(0));
        QCOMPARE(contents(snapshot(local.path())).size(), files);
    }

    // Runs last: the service refuses every request that asks to continue, and
    // once refused, the expectation stays off for the whole process. Later
    // requests answer sooner, so the replies finish in reverse order. The list
    // request before them, as before every batch of downloads, tells the
    // program that the service speaks HTTP/2, where nginx would hold a request
    // that expects to continue for a second, and no request asks.
    void repliesReachOnlyTheirOwnSenders()
    {
        testService().setRefuseExpectation(true);
        QObject owner;
        Delivery list;
        post(&owner, QStringLiteral("/getfilelist.php"), {}, list);
        QVERIFY(waitUntil([&] { return list.calls == 1; }));
        for (int i = 0; i < sectorFiles; ++i) {
            Fault slow = downloadFault(sectorName(i));
            slow.delay = std::chrono::milliseconds(30 * (sectorFiles - i));
            testService().addFault(slow);
        }
        std::vector<Delivery> deliveries;
        QVERIFY(downloadAll(&owner, deliveries));
        QCoreApplication::processEvents();
        const size_t refused = testService().refusedExpectations();
        QCOMPARE(refused > 0, !realServer);
        for (int i = 0; i < sectorFiles; ++i) {
            const Delivery &delivery = deliveries[size_t(i)];
            QVERIFY(delivery.calls == 1 && delivery.body == sectorContent(i));
            QCOMPARE(delivery.http2, realServer);
            QVERIFY(!realServer || delivery.expect.isEmpty());
            QCOMPARE(requestFields(QStringLiteral("downloadSectorFile.php")).count(fileField(i)), 1);
        }
        // Later requests no longer ask to continue.
        QVERIFY(downloadAll(&owner, deliveries));
        QCOMPARE(testService().refusedExpectations(), refused);
    }

private:
    QTemporaryDir content;
    bool trusted = false;
};

QTEST_GUILESS_MAIN(TestRequestSender)
#include "tst_requestsender.moc"
