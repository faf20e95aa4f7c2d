#include "TestService.h"
#include "UiDriver.h"

#include "handlers/SettingsHandler.h"

#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QQuickItem>
#include <QQuickWindow>
#include <QTemporaryDir>

// The login page of a start after a successful login: settings.dat holds the
// VATSIM ID and the digest that was sent then.
class TestLoginPageRemembered : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void cleanupTestCase();

    void opensWithRememberedCredentials();
    void clickIntoFieldAndReturnLogsInWithoutTyping();

private:
    QTemporaryDir content;
    UiDriver ui;
};

void TestLoginPageRemembered::initTestCase()
{
    QVERIFY2(content.isValid(), "A temporary content folder could be made.");
    QVERIFY(writeFile(content.filePath(QStringLiteral("accounts.json")), DemoAccount::accountsJson));
    testService().setContentRoot(content.path().toStdString());

    // Written as the program writes it, before the program starts and reads it.
    const QJsonObject remembered{{QStringLiteral("username"), DemoAccount::vatsimId},
                                 {QStringLiteral("hashedPassword"), DemoAccount::digest}};
    QT_WARNING_PUSH
    QT_WARNING_DISABLE_DEPRECATED
    QVERIFY(
        writeFile(SettingsHandler::settingsFilePath(), QJsonDocument(remembered).toBinaryData()));
    QT_WARNING_POP

    QVERIFY2(ui.start(), "The main window appeared.");
    QVERIFY2(ui.waitForSplashGone(), "The splash faded out after the self-update.");
}

void TestLoginPageRemembered::cleanupTestCase()
{
    QFile::remove(SettingsHandler::settingsFilePath());
}

void TestLoginPageRemembered::opensWithRememberedCredentials()
{
    QQuickItem *loginInput = ui.item(QStringLiteral("loginInput"));
    QQuickItem *passwordInput = ui.item(QStringLiteral("passwordInput"));
    QVERIFY(loginInput && passwordInput);
    QCOMPARE(loginInput->property("text").toString(), DemoAccount::vatsimId);
    QCOMPARE(passwordInput->property("text").toString(), DemoAccount::digest);
    const QString shown = passwordInput->property("displayText").toString();
    QCOMPARE(shown.size(), DemoAccount::digest.size());
    QVERIFY2(!shown.contains(DemoAccount::digest.left(1)),
             "The remembered password is shown masked.");

    // Nothing has the focus yet, so Return alone does nothing.
    ui.pressKey(Qt::Key_Return);
    QCOMPARE(ui.item(QStringLiteral("loginPage"))->state(), QStringLiteral("main"));
    QVERIFY2(UiDriver::requestsTo(QStringLiteral("login.php")).isEmpty(),
             "Return without a focused field sends nothing.");
}

void TestLoginPageRemembered::clickIntoFieldAndReturnLogsInWithoutTyping()
{
    QObject *stack = ui.object(QStringLiteral("rootStackView"));
    QVERIFY(stack);
    ui.click(ui.item(QStringLiteral("passwordInput")));
    ui.pressKey(Qt::Key_Return);
    QVERIFY2(waitUntil([stack] { return stack->property("depth").toInt() == 2; }),
             "The remembered login was accepted and the main layout pushed.");

    const auto logins = UiDriver::requestsTo(QStringLiteral("login.php"));
    QCOMPARE(logins.size(), 1);
    QCOMPARE(logins.first().value(QStringLiteral("vatsimid")), DemoAccount::vatsimId);
    QCOMPARE(logins.first().value(QStringLiteral("password")), DemoAccount::digest);
}

QTEST_MAIN(TestLoginPageRemembered)
#include "tst_loginpage_remembered.moc"
