#include "TestService.h"

#include "net/ApiBaseUrl.h"
#include "net/RequestSender.h"

#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QPointer>
#include <QTemporaryDir>

using devservice::Fault;

namespace {
const QByteArray accountsJson = "[{\"cid\": \"1000001\", \"sha1\": "
                                "\"0123456789abcdef0123456789abcdef01234567\", \"rating\": 5}]";

// Collects what reached one sender's handler.
struct Delivery
{
    int calls = 0;
    QNetworkReply::NetworkError error = QNetworkReply::NoError;
    QByteArray body;
};

QPointer<RequestSender> post(QObject *owner, const QString &path,
                             const QHash<QString, QString> &fields, Delivery &delivery)
{
    auto *sender = new RequestSender(owner);
    QObject::connect(sender, &RequestSender::onResponse, owner, [&delivery](QNetworkReply *reply) {
        ++delivery.calls;
        delivery.error = reply->error();
        delivery.body = reply->readAll();
    });
    sender->sendRequest(apiBaseUrl + path, fields);
    return sender;
}

const QHash<QString, QString> noFields;

// A finished reply with the given headers, as Qt 5.15 at times delivers one
// whose connection closed in the middle of the body: without an error.
class FinishedReply : public QNetworkReply
{
public:
    FinishedReply(const QByteArray &contentLength, const QByteArray &encoding)
    {
        if (!contentLength.isEmpty())
            setRawHeader("Content-Length", contentLength);
        if (!encoding.isEmpty())
            setRawHeader("Content-Encoding", encoding);
        setHeader(QNetworkRequest::ContentLengthHeader,
                  contentLength.isEmpty() ? QVariant() : QVariant(contentLength.toLongLong()));
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
    void encodesFields_data();
    void encodesFields();
    void recognisesCutBodies_data();
    void recognisesCutBodies();
    void serviceDecodesWhatWasSent();
    void emptyMapPostsEmptyFormBody();
    void eachReplyReachesOnlyItsOwnSender();
    void deliversAuthenticationFailure();
    void dropsOtherFailures_data();
    void dropsOtherFailures();
    void dropsConnectionFailures();
    void disposesOfReplyAndSenderAfterDelivery();
    void ignoresReplyOfDestroyedOwner();
    void asksServerToContinueOnlyWithBody();
    void retriesWithoutExpectationWhenRefused();

private:
    QTemporaryDir content;
};

void TestRequestSender::initTestCase()
{
    QVERIFY2(content.isValid(), "A temporary content folder could be made.");
    QVERIFY(writeFile(content.filePath(QStringLiteral("accounts.json")), accountsJson));
    for (int i = 0; i < 12; ++i)
        QVERIFY(writeFile(content.filePath(QStringLiteral("sector/file%1.txt").arg(i)),
                          "content of file " + QByteArray::number(i)));
    testService().setContentRoot(content.path().toStdString());
}

void TestRequestSender::init()
{
    testService().clearFaults();
    testService().clearRequests();
}

void TestRequestSender::encodesFields_data()
{
    QTest::addColumn<QString>("value");
    QTest::addColumn<QByteArray>("encoded");
    QTest::newRow("space") << QStringLiteral("a b") << QByteArray("v=a%20b");
    QTest::newRow("ampersand") << QStringLiteral("a&b") << QByteArray("v=a%26b");
    QTest::newRow("equals") << QStringLiteral("a=b") << QByteArray("v=a%3Db");
    QTest::newRow("plus") << QStringLiteral("a+b") << QByteArray("v=a%2Bb");
    QTest::newRow("hash") << QStringLiteral("a#b") << QByteArray("v=a%23b");
    QTest::newRow("non-ASCII") << QStringLiteral("\u00e9") << QByteArray("v=%C3%A9");
    QTest::newRow("slashes") << QStringLiteral("//Data/file.txt")
                             << QByteArray("v=//Data/file.txt");
}

void TestRequestSender::encodesFields()
{
    QFETCH(QString, value);
    QFETCH(QByteArray, encoded);
    QCOMPARE(RequestSender::encodeFields({{QStringLiteral("v"), value}}), encoded);
}

void TestRequestSender::recognisesCutBodies_data()
{
    QTest::addColumn<QByteArray>("contentLength");
    QTest::addColumn<QByteArray>("encoding");
    QTest::addColumn<qint64>("received");
    QTest::addColumn<bool>("cutShort");
    QTest::newRow("whole body") << QByteArray("100") << QByteArray() << qint64(100) << false;
    QTest::newRow("half the body") << QByteArray("100") << QByteArray() << qint64(50) << true;
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

void TestRequestSender::serviceDecodesWhatWasSent()
{
    QObject owner;
    const QString awkward = QStringLiteral("C++ & co = 100% #1 \u00fcber");
    Delivery delivery;
    post(&owner, QStringLiteral("/login.php"),
         {{QStringLiteral("vatsimid"), awkward},
          {QStringLiteral("password"), QStringLiteral("a+b")}},
         delivery);
    QVERIFY2(waitUntil([&] { return delivery.calls == 1; }),
             "The 401 of the login reached its sender.");
    const auto requests = testService().requests();
    QCOMPARE(requests.size(), size_t(1));
    QCOMPARE(QString::fromStdString(requests[0].fields.at("vatsimid")), awkward);
    QCOMPARE(QString::fromStdString(requests[0].fields.at("password")), QStringLiteral("a+b"));
}

void TestRequestSender::emptyMapPostsEmptyFormBody()
{
    QObject owner;
    Delivery delivery;
    post(&owner, QStringLiteral("/getfilelist.php"), noFields, delivery);
    QVERIFY2(waitUntil([&] { return delivery.calls == 1; }), "The list reply reached its sender.");
    const auto requests = testService().requests();
    QCOMPARE(requests.size(), size_t(1));
    QCOMPARE(requests[0].method, std::string("POST"));
    QCOMPARE(requests[0].path, std::string("/api/tarn/getfilelist.php"));
    QCOMPARE(requests[0].contentType, std::string("application/x-www-form-urlencoded"));
    QVERIFY2(requests[0].body.empty(), "An empty field map posts an empty body.");
}

void TestRequestSender::eachReplyReachesOnlyItsOwnSender()
{
    QObject owner;
    // Later requests answer sooner, so the replies finish in reverse order.
    constexpr int count = 12;
    for (int i = 0; i < count; ++i) {
        Fault slow;
        slow.endpoint = "downloadSectorFile.php";
        slow.file = "//file" + std::to_string(i) + ".txt";
        slow.delay = std::chrono::milliseconds(40 * (count - i));
        testService().addFault(slow);
    }
    std::vector<Delivery> deliveries(count);
    for (int i = 0; i < count; ++i)
        post(&owner, QStringLiteral("/downloadSectorFile.php"),
             {{QStringLiteral("file"), QStringLiteral("//file%1.txt").arg(i)}},
             deliveries[size_t(i)]);
    QVERIFY2(waitUntil([&] {
                 return std::all_of(deliveries.begin(), deliveries.end(),
                                    [](const Delivery &d) { return d.calls > 0; });
             }),
             "Every sender received a reply.");
    QTest::qWait(50);
    for (int i = 0; i < count; ++i) {
        const Delivery &delivery = deliveries[size_t(i)];
        QVERIFY2(delivery.calls == 1, "Each handler was called exactly once.");
        QCOMPARE(delivery.body, "content of file " + QByteArray::number(i));
    }
}

void TestRequestSender::deliversAuthenticationFailure()
{
    QObject owner;
    Delivery delivery;
    post(&owner, QStringLiteral("/login.php"),
         {{QStringLiteral("vatsimid"), QStringLiteral("1000001")},
          {QStringLiteral("password"), QStringLiteral("wrong")}},
         delivery);
    QVERIFY2(waitUntil([&] { return delivery.calls == 1; }), "A 401 is delivered to the sender.");
    QCOMPARE(delivery.error, QNetworkReply::AuthenticationRequiredError);
}

void TestRequestSender::dropsOtherFailures_data()
{
    QTest::addColumn<int>("status");
    QTest::newRow("404") << 404;
    QTest::newRow("500") << 500;
    QTest::newRow("403") << 403;
}

void TestRequestSender::dropsOtherFailures()
{
    QObject owner;
    QFETCH(int, status);
    Fault fault;
    fault.endpoint = "getfilelist.php";
    fault.status = status;
    testService().addFault(fault);

    QObject watch;
    QPointer<QNetworkReply> finishedReply;
    bool finished = false;
    connect(RequestSender::sharedManager(), &QNetworkAccessManager::finished, &watch,
            [&](QNetworkReply *reply) {
                finished = true;
                finishedReply = reply;
            });
    Delivery delivery;
    QPointer<RequestSender> sender
        = post(&owner, QStringLiteral("/getfilelist.php"), noFields, delivery);
    QVERIFY2(waitUntil([&] { return finished; }), "The failing request finished.");
    QVERIFY2(waitUntil([&] { return sender.isNull() && finishedReply.isNull(); }),
             "A failed request's sender and reply are disposed of.");
    QCOMPARE(delivery.calls, 0);
}

void TestRequestSender::dropsConnectionFailures()
{
    Fault drop;
    drop.endpoint = "downloadSectorFile.php";
    drop.dropMidBody = true;
    testService().addFault(drop);

    QObject owner;
    Delivery dropped;
    QPointer<RequestSender> droppedSender
        = post(&owner, QStringLiteral("/downloadSectorFile.php"),
               {{QStringLiteral("file"), QStringLiteral("//file1.txt")}}, dropped);

    // Nothing listens on a port that was just released.
    devservice::DevService closed;
    const int port = closed.start();
    QVERIFY(port > 0);
    closed.stop();
    Delivery refused;
    auto *sender = new RequestSender(&owner);
    connect(sender, &RequestSender::onResponse, &owner, [&] { ++refused.calls; });
    QPointer<RequestSender> refusedSender = sender;
    sender->sendRequest(QStringLiteral("http://127.0.0.1:%1/api/tarn/login.php").arg(port),
                        noFields);

    QVERIFY2(waitUntil([&] { return droppedSender.isNull() && refusedSender.isNull(); }),
             "Senders of failed connections dispose of themselves.");
    QCOMPARE(dropped.calls, 0);
    QCOMPARE(refused.calls, 0);
}

void TestRequestSender::disposesOfReplyAndSenderAfterDelivery()
{
    QPointer<QNetworkReply> deliveredReply;
    bool senderAliveInHandler = false;
    QObject owner;
    auto *sender = new RequestSender(&owner);
    QPointer<RequestSender> guard = sender;
    connect(sender, &RequestSender::onResponse, &owner, [&](QNetworkReply *reply) {
        deliveredReply = reply;
        senderAliveInHandler = !guard.isNull();
    });
    sender->sendRequest(apiBaseUrl + QStringLiteral("/getfilelist.php"), noFields);
    QVERIFY2(waitUntil([&] { return senderAliveInHandler; }),
             "The reply was delivered to a live sender.");
    QVERIFY2(waitUntil([&] { return deliveredReply.isNull() && guard.isNull(); }),
             "Reply and sender are deleted once the event loop has run.");
}

void TestRequestSender::ignoresReplyOfDestroyedOwner()
{
    QObject survivor;
    Fault slow;
    slow.endpoint = "getfilelist.php";
    slow.delay = std::chrono::milliseconds(200);
    slow.times = 1;
    testService().addFault(slow);

    auto *owner = new QObject;
    Delivery lost;
    post(owner, QStringLiteral("/getfilelist.php"), noFields, lost);
    delete owner;
    Delivery kept;
    post(&survivor, QStringLiteral("/getfilelist.php"), noFields, kept);
    QVERIFY2(waitUntil([&] { return kept.calls == 1; }), "The surviving sender got its reply.");
    QTest::qWait(400);
    QCOMPARE(lost.calls, 0);
    QCOMPARE(kept.calls, 1);
}

// Asked to expect "100 Continue", the server answers a request's head at once
// instead of delaying its acknowledgement; a body-less request needs no answer.
void TestRequestSender::asksServerToContinueOnlyWithBody()
{
    QObject owner;
    Delivery list;
    Delivery login;
    post(&owner, QStringLiteral("/getfilelist.php"), noFields, list);
    post(&owner, QStringLiteral("/login.php"), {{QStringLiteral("vatsimid"), QStringLiteral("1")}},
         login);
    QVERIFY2(waitUntil([&] { return list.calls == 1 && login.calls == 1; }),
             "Both replies reached their senders.");
    const auto lists = requestsTo("/api/tarn/getfilelist.php");
    const auto logins = requestsTo("/api/tarn/login.php");
    QCOMPARE(lists.size(), size_t(1));
    QCOMPARE(logins.size(), size_t(1));
    QCOMPARE(lists[0].expect, std::string());
    QCOMPARE(logins[0].expect, std::string("100-continue"));
}

// Runs last: once refused, the expectation stays off for the whole process.
void TestRequestSender::retriesWithoutExpectationWhenRefused()
{
    testService().setRefuseExpectation(true);
    QObject owner;
    constexpr int count = 12;
    std::vector<Delivery> deliveries(count);
    std::vector<QList<QNetworkReply *>> started(count);
    for (int i = 0; i < count; ++i) {
        auto *sender = new RequestSender(&owner);
        Delivery &delivery = deliveries[size_t(i)];
        QList<QNetworkReply *> &replies = started[size_t(i)];
        connect(sender, &RequestSender::replyStarted, &owner,
                [&replies](QNetworkReply *reply) { replies.append(reply); });
        connect(sender, &RequestSender::onResponse, &owner,
                [&delivery, &replies](QNetworkReply *reply) {
                    ++delivery.calls;
                    delivery.body = reply->readAll();
                    QVERIFY2(reply == replies.last(),
                             "The reply delivered is the last one started.");
                });
        sender->sendRequest(apiBaseUrl + QStringLiteral("/downloadSectorFile.php"),
                            {{QStringLiteral("file"), QStringLiteral("//file%1.txt").arg(i)}});
    }
    QVERIFY2(waitUntil([&] {
                 return std::all_of(deliveries.begin(), deliveries.end(),
                                    [](const Delivery &d) { return d.calls > 0; });
             }),
             "Every request refused its expectation was sent again and answered.");
    QVERIFY2(testService().refusedExpectations() > 0, "The service refused the expectation.");
    for (int i = 0; i < count; ++i) {
        QCOMPARE(deliveries[size_t(i)].calls, 1);
        QCOMPARE(deliveries[size_t(i)].body, "content of file " + QByteArray::number(i));
        QCOMPARE(requestFields(QStringLiteral("downloadSectorFile.php"))
                     .count({{QStringLiteral("file"), QStringLiteral("//file%1.txt").arg(i)}}),
                 1);
    }
    const size_t refused = testService().refusedExpectations();
    Delivery later;
    post(&owner, QStringLiteral("/login.php"), {{QStringLiteral("vatsimid"), QStringLiteral("1")}},
         later);
    QVERIFY2(waitUntil([&] { return later.calls == 1; }), "A later request was answered.");
    QVERIFY2(testService().refusedExpectations() == refused,
             "A later request went without the expectation the service refused.");
}

QTEST_GUILESS_MAIN(TestRequestSender)
#include "tst_requestsender.moc"
