#include "TestService.h"
#include "UiDriver.h"
#include "UrlCatcher.h"

#include "handlers/SettingsHandler.h"
#include "handlers/UserHandler.h"
#include "net/RequestSender.h"

#include <QColor>
#include <QFile>
#include <QQmlProperty>
#include <QQuickItem>
#include <QQuickWindow>
#include <QTemporaryDir>

namespace {
const QString greyStatus = QStringLiteral("Enter your username and password to continue work");
const QString emptyMessage = QStringLiteral("Login and password can't be empty");
const QString wrongMessage = QStringLiteral("Wrong username or password");
const QColor red(0xff, 0, 0);
const QString wrongPassword = QStringLiteral("wrong");
// Written by sha1sum.
const QString wrongDigest = QStringLiteral("a4b48a81cdab1e1a5dd37907d6c85ca1c61ddc7c");

bool noLoginInFlight()
{
    return QmlSingletonType<UserHandler>::instance->findChildren<RequestSender *>().isEmpty();
}
} // namespace

// The login page of a first start: nothing remembered, the service reachable.
class TestLoginPage : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void cleanupTestCase();

    void opensWithEmptyFieldsAndNoFocus();
    void emptyFieldsBlurAndSharpenAtOnce();
    void keypadEnterDoesNothing();
    void returnSubmitsAndWrongPasswordKeepsFields();
    void unansweredLoginStaysBlurredAndCanBeRepeated();
    void fieldUnderlineFollowsFocus();
    void toolTipsShowOnRestAndHideOnLeave();
    void buttonAndLinkReactToPointer();
    void successPushesMainLayoutAbovePage();

private:
    QQuickItem *required(const QString &objectName);
    qreal blurRadius();

    QTemporaryDir content;
    UiDriver ui;
    QQuickItem *page = nullptr;
    QQuickItem *statusText = nullptr;
    QQuickItem *loginInput = nullptr;
    QQuickItem *passwordInput = nullptr;
    QQuickItem *loginButton = nullptr;
};

QQuickItem *TestLoginPage::required(const QString &objectName)
{
    QQuickItem *found = ui.item(objectName);
    if (!found)
        qWarning("The interface has no item named %s.", qPrintable(objectName));
    return found;
}

qreal TestLoginPage::blurRadius()
{
    return ui.object(QStringLiteral("blur"))->property("radius").toReal();
}

void TestLoginPage::initTestCase()
{
    if (!ui.startFresh(content))
        return;
    page = required(QStringLiteral("loginPage"));
    statusText = required(QStringLiteral("statusText"));
    loginInput = required(QStringLiteral("loginInput"));
    passwordInput = required(QStringLiteral("passwordInput"));
    loginButton = required(QStringLiteral("loginButton"));
    QVERIFY(page && statusText && loginInput && passwordInput && loginButton);
}

void TestLoginPage::cleanupTestCase()
{
    QFile::remove(SettingsHandler::settingsFilePath());
}

void TestLoginPage::opensWithEmptyFieldsAndNoFocus()
{
    QCOMPARE(required(QStringLiteral("loginTitle"))->property("text").toString(),
             QStringLiteral("Log In"));
    QCOMPARE(statusText->property("text").toString(), greyStatus);
    QCOMPARE(statusText->property("color").value<QColor>(), QColor(0x77, 0x77, 0x77));
    QCOMPARE(loginInput->property("text").toString(), QString());
    QCOMPARE(loginInput->property("placeholderText").toString(), QStringLiteral("Vatsim ID"));
    QCOMPARE(passwordInput->property("text").toString(), QString());
    QCOMPARE(passwordInput->property("placeholderText").toString(), QStringLiteral("Password"));
    QCOMPARE(page->state(), QStringLiteral("main"));
    QCOMPARE(blurRadius(), 0.0);

    // The page lies in the stack below the 24 px top bar of the panel.
    QCOMPARE(page->size(), QSizeF(700, 500));
    QCOMPARE(loginInput->position(), QPointF(227, 180));
    QCOMPARE(loginInput->size(), QSizeF(250, 44));
    QCOMPARE(passwordInput->position(), QPointF(227, 260));
    QCOMPARE(loginButton->position(), QPointF(223, 340));
    QCOMPARE(loginButton->width(), 255.0);
    QVERIFY2(loginButton->height() > 0, "The button has the natural height of its text.");

    QQuickItem *focused = ui.window()->activeFocusItem();
    QVERIFY2(!focused || !page->isAncestorOf(focused),
             "Nothing on the page has the keyboard focus at first.");
    ui.pressKey(Qt::Key_Return);
    QCOMPARE(page->state(), QStringLiteral("main"));
    QVERIFY2(UiDriver::requestsTo(QStringLiteral("login.php")).isEmpty(),
             "Return without a focused field sends nothing.");
}

void TestLoginPage::emptyFieldsBlurAndSharpenAtOnce()
{
    QSignalSpy states(page, &QQuickItem::stateChanged);
    ui.click(loginButton);
    // The native side answers an empty field from within the call.
    QCOMPARE(states.count(), 2);
    QCOMPARE(states.at(0).at(0).toString(), QStringLiteral("blurred"));
    QCOMPARE(states.at(1).at(0).toString(), QStringLiteral("main"));
    QCOMPARE(statusText->property("text").toString(), emptyMessage);
    QCOMPARE(statusText->property("color").value<QColor>(), red);
    QVERIFY2(waitUntil([this] { return blurRadius() == 0.0; }), "The page became sharp again.");

    // A VATSIM ID alone is still not enough.
    ui.typeInto(loginInput, DemoAccount::vatsimId);
    ui.pressKey(Qt::Key_Return);
    QCOMPARE(page->state(), QStringLiteral("main"));
    QCOMPARE(statusText->property("text").toString(), emptyMessage);
    QVERIFY2(UiDriver::requestsTo(QStringLiteral("login.php")).isEmpty(),
             "Empty fields send nothing.");
}

void TestLoginPage::keypadEnterDoesNothing()
{
    ui.typeInto(passwordInput, wrongPassword);
    QSignalSpy states(page, &QQuickItem::stateChanged);
    ui.pressKey(Qt::Key_Enter, Qt::KeypadModifier);
    ui.click(loginInput);
    ui.pressKey(Qt::Key_Enter, Qt::KeypadModifier);
    QCOMPARE(states.count(), 0);
    QCOMPARE(statusText->property("text").toString(), emptyMessage);
    QVERIFY2(UiDriver::requestsTo(QStringLiteral("login.php")).isEmpty(),
             "The keypad's Enter sends nothing.");
}

void TestLoginPage::returnSubmitsAndWrongPasswordKeepsFields()
{
    ui.click(passwordInput);
    ui.pressKey(Qt::Key_Return);
    QCOMPARE(page->state(), QStringLiteral("blurred"));
    QVERIFY2(waitUntil([this] { return statusText->property("text").toString() == wrongMessage; }),
             "The rejection was shown.");
    QCOMPARE(statusText->property("color").value<QColor>(), red);
    QCOMPARE(page->state(), QStringLiteral("main"));
    QVERIFY2(waitUntil([this] { return blurRadius() == 0.0; }), "The page became sharp again.");
    QCOMPARE(loginInput->property("text").toString(), DemoAccount::vatsimId);
    QCOMPARE(passwordInput->property("text").toString(), wrongPassword);

    const auto logins = UiDriver::requestsTo(QStringLiteral("login.php"));
    QCOMPARE(logins.size(), 1);
    QCOMPARE(logins.first().value(QStringLiteral("vatsimid")), DemoAccount::vatsimId);
    QCOMPARE(logins.first().value(QStringLiteral("password")), wrongDigest);
}

void TestLoginPage::unansweredLoginStaysBlurredAndCanBeRepeated()
{
    devservice::Fault outage;
    outage.endpoint = "login.php";
    outage.status = 503;
    outage.times = 1;
    testService().addFault(outage);

    ui.click(loginButton);
    QCOMPARE(page->state(), QStringLiteral("blurred"));
    QVERIFY2(waitUntil([] { return UiDriver::requestsTo(QStringLiteral("login.php")).size() == 2; }),
             "The login reached the service.");
    QVERIFY2(waitUntil(noLoginInFlight), "The failed reply was disposed of.");
    QCOMPARE(page->state(), QStringLiteral("blurred"));
    QCOMPARE(statusText->property("text").toString(), wrongMessage);

    // The blur takes no input: the button beneath still works.
    ui.click(loginButton);
    QVERIFY2(waitUntil([] { return UiDriver::requestsTo(QStringLiteral("login.php")).size() == 3; }),
             "A second press sent a second request.");
    QVERIFY2(waitUntil([this] { return page->state() == QLatin1String("main"); }),
             "The answer to the second request was shown.");
    QCOMPARE(statusText->property("text").toString(), wrongMessage);
}

void TestLoginPage::fieldUnderlineFollowsFocus()
{
    QQuickItem *loginLine = required(QStringLiteral("loginInputUnderline"));
    QQuickItem *passwordLine = required(QStringLiteral("passwordInputUnderline"));
    QVERIFY(loginLine && passwordLine);

    ui.click(loginInput);
    QCOMPARE(loginLine->height(), 2.0);
    QCOMPARE(loginLine->property("color").value<QColor>(), QColor(0x3a, 0x95, 0xdb));
    QCOMPARE(passwordLine->height(), 1.0);
    QCOMPARE(passwordLine->property("color").value<QColor>(), QColor(0xb6, 0xba, 0xc1));
    QCOMPARE(loginLine->width(), loginInput->width());
    QCOMPARE(loginLine->mapToItem(loginInput, QPointF(0, loginLine->height())).y(),
             loginInput->height());

    ui.click(passwordInput);
    QCOMPARE(loginLine->height(), 1.0);
    QCOMPARE(passwordLine->height(), 2.0);
    QCOMPARE(passwordLine->property("color").value<QColor>(), QColor(0x3a, 0x95, 0xdb));
}

void TestLoginPage::toolTipsShowOnRestAndHideOnLeave()
{
    QCOMPARE(QQmlProperty::read(loginInput, QStringLiteral("ToolTip.delay"), qmlContext(loginInput))
                 .toInt(),
             1000);
    QCOMPARE(
        QQmlProperty::read(loginInput, QStringLiteral("ToolTip.timeout"), qmlContext(loginInput))
            .toInt(),
        5000);

    ui.moveTo(loginInput);
    QVERIFY2(waitUntil([this] { return ui.visibleText(QStringLiteral("VATSIM ID")); }),
             "Resting on the VATSIM ID field showed its tool tip.");
    ui.moveAway();
    QVERIFY2(waitUntil([this] { return !ui.visibleText(QStringLiteral("VATSIM ID")); }),
             "Leaving the field hid its tool tip.");

    ui.moveTo(passwordInput);
    QVERIFY2(waitUntil([this] { return ui.visibleText(QStringLiteral("Tarn password")); }),
             "Resting on the password field showed its tool tip.");
    // It goes by itself while the pointer stays.
    QVERIFY2(waitUntil([this] { return !ui.visibleText(QStringLiteral("Tarn password")); }, 30000),
             "The tool tip went away while the pointer rested.");
    ui.moveAway();
}

void TestLoginPage::buttonAndLinkReactToPointer()
{
    QObject *background = ui.object(QStringLiteral("loginButtonBackground"));
    QVERIFY(background);
    QCOMPARE(background->property("opacity").toReal(), 1.0);
    ui.moveTo(loginButton);
    QCOMPARE(background->property("opacity").toReal(), 0.7);
    QCOMPARE(ui.cursorShape(), Qt::PointingHandCursor);
    ui.moveAway();
    QCOMPARE(background->property("opacity").toReal(), 1.0);
    QCOMPARE(ui.cursorShape(), Qt::ArrowCursor);

    QQuickItem *link = required(QStringLiteral("registerLink"));
    QVERIFY(link);
    QCOMPARE(link->position(), QPointF(227, 420));
    const QPointF onLink(10, link->height() / 2);
    ui.moveTo(link, onLink);
    QCOMPARE(ui.cursorShape(), Qt::PointingHandCursor);
    ui.moveTo(link, QPointF(link->width() + 20, link->height() / 2));
    QCOMPARE(ui.cursorShape(), Qt::ArrowCursor);

    UrlCatcher browser;
    ui.click(link, onLink);
    QCOMPARE(browser.opened,
             QList<QUrl>{QUrl(QStringLiteral("https://www.tarn-atc.example/#code"))});
    ui.moveAway();
}

void TestLoginPage::successPushesMainLayoutAbovePage()
{
    QVERIFY2(ui.logIn(DemoAccount::vatsimId, DemoAccount::password), "The main layout was pushed.");
    QObject *stack = ui.object(QStringLiteral("rootStackView"));
    QCOMPARE(stack->property("depth").toInt(), 2);
    QCOMPARE(page->state(), QStringLiteral("blurred"));
    QVERIFY2(!page->isVisible(), "The login page lies hidden beneath the main layout.");
    QCOMPARE(UiDriver::requestsTo(QStringLiteral("login.php"))
                 .constLast()
                 .value(QStringLiteral("password")),
             DemoAccount::digest);
}

QTEST_MAIN(TestLoginPage)
#include "tst_loginpage.moc"
