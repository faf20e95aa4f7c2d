#include "TestService.h"

#include "net/ApiBaseUrl.h"
#include "net/RequestSender.h"

#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QPointer>
#include <QTemporaryDir>

namespace {
const QByteArray accountsJson = "[{\"cid\": \"1000001\", \"sha1\": \"0123456789abcdef0123456789abcdef01234567\", \"rating\": 3}]";
} // namespace

// The same exchange over TLS, with the default TLS configuration only.
class TestRequestSenderTls : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void untrustedServiceIsNotDelivered();
    void trustedServiceAnswersOverTls();

private:
    QTemporaryDir content;
};

void TestRequestSenderTls::initTestCase()
{
    QVERIFY2(apiBaseUrl.startsWith(QLatin1String("https://127.0.0.1:")), "The test service speaks https.");
    QVERIFY(writeFile(content.filePath(QStringLiteral("accounts.json")), accountsJson));
    testService().setContentRoot(content.path().toStdString());
}

void TestRequestSenderTls::untrustedServiceIsNotDelivered()
{
    QObject watch;
    bool finished = false;
    QNetworkReply::NetworkError error = QNetworkReply::NoError;
    connect(RequestSender::sharedManager(), &QNetworkAccessManager::finished, &watch,
            [&](QNetworkReply *reply) {
                finished = true;
                error = reply->error();
            });
    int calls = 0;
    auto *sender = new RequestSender(this);
    connect(sender, &RequestSender::onResponse, &watch, [&] { ++calls; });
    sender->sendRequest(apiBaseUrl + QStringLiteral("/getfilelist.php"), {});
    QVERIFY2(waitUntil([&] { return finished; }), "The request to an untrusted service finished.");
    QCOMPARE(error, QNetworkReply::SslHandshakeFailedError);
    QTest::qWait(20);
    QCOMPARE(calls, 0);
}

void TestRequestSenderTls::trustedServiceAnswersOverTls()
{
    trustTestAuthority();
    // The manager keeps the connection of the failed handshake, made with the
    // configuration of that time.
    RequestSender::sharedManager()->clearConnectionCache();
    QByteArray body;
    QNetworkReply::NetworkError error = QNetworkReply::UnknownNetworkError;
    QObject watch;
    auto *sender = new RequestSender(this);
    connect(sender, &RequestSender::onResponse, &watch, [&](QNetworkReply *reply) {
        error = reply->error();
        body = reply->readAll();
    });
    sender->sendRequest(apiBaseUrl + QStringLiteral("/login.php"),
                        {{QStringLiteral("vatsimid"), QStringLiteral("1000001")},
                         {QStringLiteral("password"), QStringLiteral("0123456789abcdef0123456789abcdef01234567")}});
    QVERIFY2(waitUntil([&] { return !body.isEmpty(); }), "The login answer arrived over TLS.");
    QCOMPARE(error, QNetworkReply::NoError);
    QVERIFY2(body.contains("\"1000001\""), "The answer names the member.");
}

QTEST_GUILESS_MAIN(TestRequestSenderTls)
#include "tst_requestsender_tls.moc"
