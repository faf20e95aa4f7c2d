#include "TestService.h"

#include "app/Startup.h"
#include "net/ApiBaseUrl.h"
#include "net/RequestSender.h"

#include <QDirIterator>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QPointer>
#include <QRegularExpression>
#include <QSslConfiguration>
#include <QTemporaryDir>

namespace {
const QByteArray accountsJson = "[{\"cid\": \"1000001\", \"sha1\": "
                                "\"0123456789abcdef0123456789abcdef01234567\", \"rating\": 3}]";
} // namespace

// The same exchange over TLS, with the default TLS configuration only.
class TestRequestSenderTls : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void programKeepsPeerVerification();
    void programSourcesNeverLowerVerification();
    void untrustedServiceIsNotDelivered();
    void trustedServiceAnswersOverTls();

private:
    QTemporaryDir content;
};

void TestRequestSenderTls::initTestCase()
{
    QVERIFY2(apiBaseUrl.startsWith(QLatin1String("https://127.0.0.1:")),
             "The test service speaks https.");
    QVERIFY(writeFile(content.filePath(QStringLiteral("accounts.json")), accountsJson));
    testService().setContentRoot(content.path().toStdString());
}

void TestRequestSenderTls::programKeepsPeerVerification()
{
    const QSslConfiguration prepared = Startup::prepareProcess();
    for (const QSslConfiguration &configuration :
         {prepared, QSslConfiguration::defaultConfiguration()}) {
        QVERIFY2(configuration.peerVerifyMode() == QSslSocket::AutoVerifyPeer
                     || configuration.peerVerifyMode() == QSslSocket::VerifyPeer,
                 "Start-up left a TLS configuration that does not verify the service.");
    }
}

// Whatever a caller does, these calls are the only ways to talk to a service
// whose certificate does not verify. The program's own code uses none of them.
void TestRequestSenderTls::programSourcesNeverLowerVerification()
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
        while (files.hasNext()) {
            const QString path = files.next();
            const QString source = QString::fromUtf8(readFile(path));
            const QRegularExpressionMatch found = lowering.match(source);
            QVERIFY2(!found.hasMatch(),
                     qPrintable(QStringLiteral("%1 lowers TLS verification with %2.")
                                    .arg(path, found.captured())));
            ++scanned;
        }
    }
    QVERIFY2(scanned > 20, "The program's sources were not found for the scan.");
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
    sender->sendRequest(
        apiBaseUrl + QStringLiteral("/login.php"),
        {{QStringLiteral("vatsimid"), QStringLiteral("1000001")},
         {QStringLiteral("password"), QStringLiteral("0123456789abcdef0123456789abcdef01234567")}});
    QVERIFY2(waitUntil([&] { return finished; }), "The request to an untrusted service finished.");
    QCOMPARE(error, QNetworkReply::SslHandshakeFailedError);
    QTest::qWait(20);
    QCOMPARE(calls, 0);
    QVERIFY2(testService().requests().empty(),
             "A service whose certificate is not trusted received the request and its fields.");
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
    sender->sendRequest(
        apiBaseUrl + QStringLiteral("/login.php"),
        {{QStringLiteral("vatsimid"), QStringLiteral("1000001")},
         {QStringLiteral("password"), QStringLiteral("0123456789abcdef0123456789abcdef01234567")}});
    QVERIFY2(waitUntil([&] { return !body.isEmpty(); }), "The login answer arrived over TLS.");
    QCOMPARE(error, QNetworkReply::NoError);
    QVERIFY2(body.contains("\"1000001\""), "The answer names the member.");
}

QTEST_GUILESS_MAIN(TestRequestSenderTls)
#include "tst_requestsender_tls.moc"
