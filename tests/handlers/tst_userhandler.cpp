#include "TestService.h"

#include "handlers/SettingsHandler.h"
#include "handlers/UserHandler.h"
#include "net/RequestSender.h"

#include <QFile>
#include <QQmlComponent>
#include <QQmlEngine>
#include <QSignalSpy>
#include <QTemporaryDir>

#include <memory>

namespace {
const QString demoCid = QStringLiteral("1234567");
const QString demoPassword = QStringLiteral("tarn-demo");
// Digests written by sha1sum, not by the code under test.
const QString demoDigest = QStringLiteral("fd92d2d6ef08152f1527ff45e2ebc006bb25e2c4");
const QString oldDigest
    = QStringLiteral("e114e36f81cb1f158011810e80f5a387c281410f"); // "old-secret"

const QString usernameKey = QStringLiteral("username");
const QString hashedPasswordKey = QStringLiteral("hashedPassword");

// The form fields of every login request the service has seen, in order.
QList<QHash<QString, QString>> loginRequests()
{
    return requestFields(QStringLiteral("/api/tarn/login.php"));
}

QByteArray account(const QString &cid, const QString &sha1, const QByteArray &rating)
{
    return "{\"cid\": \"" + cid.toUtf8() + "\", \"sha1\": \"" + sha1.toUtf8()
        + "\", \"rating\": " + rating + '}';
}
} // namespace

class TestUserHandler : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void init();
    void cleanupTestCase();

    void emptyFieldsSendNothing_data();
    void emptyFieldsSendNothing();
    void firstLoginSendsDigestOfTypedPassword_data();
    void firstLoginSendsDigestOfTypedPassword();
    void successStoresIdentityInMemoryAndOnDisk();
    void rememberedLoginSendsStoredDigest();
    void newPasswordOverRememberedOneIsHashed();
    void rejectionForgetsCredentials();
    void ratingTable_data();
    void ratingTable();
    void ratingOfOtherTypeCountsAsZero();
    void cidThatIsNoStringReadsEmpty();
    void bodyThatIsNoObjectStillCompletes();
    void propertyWritesSignalOnlyRealChanges();
    void sampleAccountTakesDocumentedCredentials();

private:
    void setAccounts(const QList<QByteArray> &accounts);
    void logInAndWait(const QString &name, const QString &password);

    QTemporaryDir content;
    UserHandler *user = nullptr;
    std::unique_ptr<QQmlEngine> engine;
    std::unique_ptr<QSignalSpy> completed;
    std::unique_ptr<QSignalSpy> failed;
};

void TestUserHandler::setAccounts(const QList<QByteArray> &accounts)
{
    QVERIFY(writeFile(content.filePath(QStringLiteral("accounts.json")),
                      '[' + accounts.join(',') + ']'));
}

// Waits for the one outcome of a login that reaches the service.
void TestUserHandler::logInAndWait(const QString &name, const QString &password)
{
    const int outcomes = completed->count() + failed->count();
    user->logIn(name, password);
    QVERIFY2(waitUntil([&] { return completed->count() + failed->count() > outcomes; }),
             "The login got no answer.");
    QCOMPARE(completed->count() + failed->count(), outcomes + 1);
}

void TestUserHandler::initTestCase()
{
    QVERIFY2(content.isValid(), "A temporary content folder could be made.");
    testService().setContentRoot(content.path().toStdString());
    // As start-up does: the store exists before the login uses it.
    new SettingsHandler;
    user = new UserHandler;
    completed = std::make_unique<QSignalSpy>(user, &UserHandler::loginCompleted);
    failed = std::make_unique<QSignalSpy>(user, &UserHandler::loginFailed);
}

void TestUserHandler::init()
{
    settings()->remove(usernameKey);
    settings()->remove(hashedPasswordKey);
    removeSettingsFile();
    setAccounts({account(demoCid, demoDigest, "5")});
    testService().clearFaults();
    testService().clearRequests();
    completed->clear();
    failed->clear();
}

void TestUserHandler::cleanupTestCase()
{
    removeSettingsFile();
    // The engine deletes the handler it was handed, as at shut-down.
    engine.reset();
}

void TestUserHandler::emptyFieldsSendNothing_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("password");
    QTest::newRow("empty name") << QString() << demoPassword;
    QTest::newRow("empty password") << demoCid << QString();
    QTest::newRow("both empty") << QString() << QString();
}

void TestUserHandler::emptyFieldsSendNothing()
{
    QFETCH(QString, name);
    QFETCH(QString, password);
    settings()->insert(hashedPasswordKey, demoDigest);
    QSignalSpy empty(user, &UserHandler::loginEmpty);
    const int senders = user->findChildren<RequestSender *>().size();

    user->logIn(name, password);
    QCOMPARE(empty.count(), 1);
    QCOMPARE(user->findChildren<RequestSender *>().size(), senders);
    QVERIFY2(settings()->contains(hashedPasswordKey), "An empty login leaves the store alone.");

    // Nothing is trimmed: a name of one space goes out, and it is the only
    // login the service ever sees here.
    logInAndWait(QStringLiteral(" "), demoPassword);
    QCOMPARE(empty.count(), 1);
    const auto logins = loginRequests();
    QCOMPARE(logins.size(), 1);
    QCOMPARE(logins.first().value(QStringLiteral("vatsimid")), QStringLiteral(" "));
}

void TestUserHandler::firstLoginSendsDigestOfTypedPassword_data()
{
    QTest::addColumn<QString>("password");
    QTest::addColumn<QString>("digest");
    QTest::newRow("ascii") << demoPassword << demoDigest;
    QTest::newRow("non-ascii") << QString::fromUtf8("Grüße aus Zürich ✈")
                               << QStringLiteral("8f5f5e14d1dff2eb65fbe443372cb4778ae64fd3");
    QTest::newRow("form characters") << QStringLiteral("a+b&c=d%20e")
                                     << QStringLiteral("bcce66507eba691663bf1ab3808f47e23ea69e1f");
}

void TestUserHandler::firstLoginSendsDigestOfTypedPassword()
{
    QFETCH(QString, password);
    QFETCH(QString, digest);
    setAccounts({account(demoCid, digest, "5")});

    logInAndWait(demoCid, password);
    const auto logins = loginRequests();
    QCOMPARE(logins.size(), 1);
    QCOMPARE(logins.first().value(QStringLiteral("vatsimid")), demoCid);
    QCOMPARE(logins.first().value(QStringLiteral("password")), digest);
    QCOMPARE(logins.first().size(), 2);
    QVERIFY2(completed->count() == 1, "The service accepted the digest of the typed password.");
    QCOMPARE(user->hashedPassword(), digest);
}

void TestUserHandler::successStoresIdentityInMemoryAndOnDisk()
{
    QSignalSpy idChanged(user, &UserHandler::vatsimIdChanged);
    QSignalSpy ratingChanged(user, &UserHandler::ratingChanged);
    settings()->insert(QStringLiteral("sectorPath"), QStringLiteral("file:///sectors"));

    logInAndWait(demoCid, demoPassword);
    QCOMPARE(completed->count(), 1);
    QCOMPARE(user->vatsimId(), demoCid);
    QCOMPARE(user->rating(), QStringLiteral("CTR1"));
    QCOMPARE(user->username(), demoCid);
    QCOMPARE(user->hashedPassword(), demoDigest);
    // The main layout reads both values once it exists; the login itself
    // announces nothing but its completion.
    QCOMPARE(idChanged.count(), 0);
    QCOMPARE(ratingChanged.count(), 0);

    const QVariantHash onDisk = storedOnDisk();
    QCOMPARE(onDisk.value(usernameKey), QVariant(demoCid));
    QCOMPARE(onDisk.value(hashedPasswordKey), QVariant(demoDigest));
    QCOMPARE(onDisk.value(QStringLiteral("sectorPath")),
             QVariant(QStringLiteral("file:///sectors")));
    settings()->remove(QStringLiteral("sectorPath"));
}

void TestUserHandler::rememberedLoginSendsStoredDigest()
{
    settings()->insert(usernameKey, demoCid);
    settings()->insert(hashedPasswordKey, demoDigest);

    // The login page fills its fields from these two properties.
    logInAndWait(user->username(), user->hashedPassword());
    QCOMPARE(completed->count(), 1);
    QCOMPARE(loginRequests().first().value(QStringLiteral("password")), demoDigest);
    QCOMPARE(storedOnDisk().value(hashedPasswordKey), QVariant(demoDigest));
}

void TestUserHandler::newPasswordOverRememberedOneIsHashed()
{
    // The controller changed the password since the last login and types the
    // new one over the remembered digest: one press must be enough.
    settings()->insert(usernameKey, demoCid);
    settings()->insert(hashedPasswordKey, oldDigest);

    logInAndWait(demoCid, demoPassword);
    QVERIFY2(completed->count() == 1, "A typed password was not hashed while a digest was stored.");
    QCOMPARE(loginRequests().first().value(QStringLiteral("password")), demoDigest);
    QCOMPARE(user->hashedPassword(), demoDigest);
    QCOMPARE(storedOnDisk().value(hashedPasswordKey), QVariant(demoDigest));
}

void TestUserHandler::rejectionForgetsCredentials()
{
    logInAndWait(demoCid, demoPassword);
    QCOMPARE(completed->count(), 1);
    QVERIFY2(storedOnDisk().contains(usernameKey), "The successful login was saved.");

    logInAndWait(demoCid, QStringLiteral("wrong"));
    QCOMPARE(failed->count(), 1);
    QCOMPARE(user->username(), QString());
    QCOMPARE(user->hashedPassword(), QString());
    QVERIFY(!settings()->contains(usernameKey));
    QVERIFY(!settings()->contains(hashedPasswordKey));
    const QVariantHash onDisk = storedOnDisk();
    QVERIFY2(QFile::exists(SettingsHandler::settingsFilePath()), "The rejection saved the store.");
    QVERIFY2(!onDisk.contains(usernameKey) && !onDisk.contains(hashedPasswordKey),
             "settings.dat still remembers rejected credentials.");
    QCOMPARE(user->vatsimId(), demoCid);
    QCOMPARE(user->rating(), QStringLiteral("CTR1"));

    // With nothing remembered the next attempt hashes what is typed.
    logInAndWait(demoCid, demoPassword);
    QCOMPARE(completed->count(), 2);
    QCOMPARE(loginRequests().last().value(QStringLiteral("password")), demoDigest);
}

void TestUserHandler::ratingTable_data()
{
    QTest::addColumn<QByteArray>("number");
    QTest::addColumn<QString>("code");
    const QString unchanged = QStringLiteral("previous");
    QTest::newRow("0") << QByteArray("0") << QStringLiteral("OBS");
    QTest::newRow("1") << QByteArray("1") << QStringLiteral("OBS");
    QTest::newRow("2") << QByteArray("2") << QStringLiteral("STU1");
    QTest::newRow("3") << QByteArray("3") << QStringLiteral("STU2");
    QTest::newRow("4") << QByteArray("4") << QStringLiteral("STU3");
    QTest::newRow("5") << QByteArray("5") << QStringLiteral("CTR1");
    QTest::newRow("6") << QByteArray("6") << QString();
    QTest::newRow("7") << QByteArray("7") << QStringLiteral("CTR3");
    QTest::newRow("8") << QByteArray("8") << QStringLiteral("INS1");
    QTest::newRow("9") << QByteArray("9") << QString();
    QTest::newRow("10") << QByteArray("10") << QStringLiteral("INS3");
    QTest::newRow("11") << QByteArray("11") << QStringLiteral("SUP");
    QTest::newRow("12") << QByteArray("12") << QStringLiteral("ADM");
    QTest::newRow("13") << QByteArray("13") << unchanged;
    QTest::newRow("-1") << QByteArray("-1") << unchanged;
}

void TestUserHandler::ratingTable()
{
    QFETCH(QByteArray, number);
    QFETCH(QString, code);
    setAccounts({account(demoCid, demoDigest, number)});
    user->setRating(QStringLiteral("previous"));

    logInAndWait(demoCid, demoPassword);
    QCOMPARE(completed->count(), 1);
    QCOMPARE(user->rating(), code);
}

void TestUserHandler::ratingOfOtherTypeCountsAsZero()
{
    testService().setListOverride("login.php", R"({"cid": "1234567", "rating": "5"})");
    user->setRating(QStringLiteral("previous"));

    logInAndWait(demoCid, demoPassword);
    QCOMPARE(completed->count(), 1);
    QCOMPARE(user->rating(), QStringLiteral("OBS"));
}

void TestUserHandler::cidThatIsNoStringReadsEmpty()
{
    testService().setListOverride("login.php", R"({"cid": 1234567, "rating": 5})");

    logInAndWait(demoCid, demoPassword);
    QCOMPARE(completed->count(), 1);
    QCOMPARE(user->vatsimId(), QString());
    QCOMPARE(user->rating(), QStringLiteral("CTR1"));
    QVERIFY2(settings()->contains(usernameKey), "The login stored a username.");
    QCOMPARE(user->username(), QString());
    QCOMPARE(storedOnDisk().value(usernameKey), QVariant(QString()));
}

void TestUserHandler::bodyThatIsNoObjectStillCompletes()
{
    testService().setListOverride("login.php", R"(["1234567", 5])");
    user->setRating(QStringLiteral("previous"));

    logInAndWait(demoCid, demoPassword);
    QCOMPARE(completed->count(), 1);
    QCOMPARE(user->vatsimId(), QString());
    QCOMPARE(user->rating(), QStringLiteral("OBS"));
    QCOMPARE(user->hashedPassword(), demoDigest);
}

void TestUserHandler::propertyWritesSignalOnlyRealChanges()
{
    engine = std::make_unique<QQmlEngine>();
    qmlRegisterSingletonType<UserHandler>("org.kelpix.qml", 1, 0, "UserHandler",
                                          &QmlSingletonType<UserHandler>::create);
    QQmlComponent component(engine.get());
    component.setData("import QtQml 2.15\n"
                      "import org.kelpix.qml 1.0\n"
                      "QtObject {\n"
                      "    function setVatsimId(id) { UserHandler.vatsimId = id }\n"
                      "    function setRating(code) { UserHandler.rating = code }\n"
                      "}\n",
                      QUrl());
    const std::unique_ptr<QObject> writer(component.create());
    QVERIFY2(writer, qPrintable(component.errorString()));
    user->setVatsimId(QString());
    user->setRating(QString());
    QSignalSpy idChanged(user, &UserHandler::vatsimIdChanged);
    QSignalSpy ratingChanged(user, &UserHandler::ratingChanged);

    const auto write = [&](const char *function, const QString &value) {
        QVERIFY(QMetaObject::invokeMethod(writer.get(), function, Q_ARG(QVariant, value)));
    };
    write("setVatsimId", QStringLiteral("7654321"));
    write("setVatsimId", QStringLiteral("7654321"));
    write("setRating", QStringLiteral("STU2"));
    write("setRating", QStringLiteral("STU2"));
    QCOMPARE(idChanged.count(), 1);
    QCOMPARE(idChanged.first().first().toString(), QStringLiteral("7654321"));
    QCOMPARE(ratingChanged.count(), 1);
    QCOMPARE(ratingChanged.first().first().toString(), QStringLiteral("STU2"));

    write("setVatsimId", demoCid);
    QCOMPARE(idChanged.count(), 2);
    QCOMPARE(user->vatsimId(), demoCid);
}

void TestUserHandler::sampleAccountTakesDocumentedCredentials()
{
    // The demo's account, with the credentials the README gives.
    testService().setContentRoot(TARN_TEST_DATA_DIR "/../../samples/service");
    logInAndWait(demoCid, demoPassword);
    testService().setContentRoot(content.path().toStdString());
    QVERIFY2(completed->count() == 1, "The sample account refused the documented password.");
    QCOMPARE(user->vatsimId(), demoCid);
    QCOMPARE(user->rating(), QStringLiteral("CTR1"));
}

QTEST_GUILESS_MAIN(TestUserHandler)
#include "tst_userhandler.moc"
