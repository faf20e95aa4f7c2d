#include "UiDriver.h"

#include "TestService.h"

#include "app/Startup.h"
#include "handlers/SettingsHandler.h"

#include <QFile>
#include <QQmlApplicationEngine>
#include <QQuickItem>
#include <QQuickWindow>
#include <QTemporaryDir>
#include <QTest>

#include <QSet>

// QVERIFY2 for a function that reports its success: a failed check fails the
// test at this check and makes the function return false.
#define VERIFY_OR_RETURN_FALSE(statement, description)                                             \
    do {                                                                                           \
        if (!QTest::qVerify(static_cast<bool>(statement), #statement, description, __FILE__,       \
                            __LINE__))                                                             \
            return false;                                                                          \
    } while (false)

namespace {
constexpr int splashTimeoutMs = 30000;
constexpr int loginTimeoutMs = 20000;
constexpr int slideTimeoutMs = 10000;

QObject *findObject(QObject *object, const QString &objectName, QSet<QObject *> &seen)
{
    if (!object || seen.contains(object))
        return nullptr;
    seen.insert(object);
    if (object->objectName() == objectName)
        return object;
    if (auto *item = qobject_cast<QQuickItem *>(object)) {
        const QList<QQuickItem *> childItems = item->childItems();
        for (QQuickItem *child : childItems) {
            if (QObject *found = findObject(child, objectName, seen))
                return found;
        }
    }
    const QObjectList children = object->children();
    for (QObject *child : children) {
        if (QObject *found = findObject(child, objectName, seen))
            return found;
    }
    return nullptr;
}

QQuickItem *findVisibleText(QQuickItem *item, const QString &text)
{
    if (!item->isVisible())
        return nullptr;
    if (item->inherits("QQuickText") && item->property("text").toString() == text)
        return item;
    const QList<QQuickItem *> childItems = item->childItems();
    for (QQuickItem *child : childItems) {
        if (QQuickItem *found = findVisibleText(child, text))
            return found;
    }
    return nullptr;
}
} // namespace

UiDriver::UiDriver() = default;

UiDriver::~UiDriver() = default;

bool UiDriver::start()
{
    Startup::createNativeObjects();
    engine = std::make_unique<QQmlApplicationEngine>();
    Startup::loadMainWindow(*engine);
    return window() && QTest::qWaitForWindowExposed(window());
}

QQuickWindow *UiDriver::window() const
{
    if (!engine || engine->rootObjects().isEmpty())
        return nullptr;
    return qobject_cast<QQuickWindow *>(engine->rootObjects().constFirst());
}

QObject *UiDriver::object(const QString &objectName) const
{
    QSet<QObject *> seen;
    QQuickWindow *shown = window();
    if (!shown)
        return nullptr;
    if (QObject *found = findObject(shown->contentItem(), objectName, seen))
        return found;
    return findObject(shown, objectName, seen);
}

QQuickItem *UiDriver::item(const QString &objectName) const
{
    return qobject_cast<QQuickItem *>(object(objectName));
}

QQuickItem *UiDriver::visibleText(const QString &text) const
{
    return window() ? findVisibleText(window()->contentItem(), text) : nullptr;
}

QPoint UiDriver::windowPoint(const QQuickItem *item, const QPointF &local)
{
    return item->mapToScene(local).toPoint();
}

QPoint UiDriver::centreOf(const QQuickItem *item)
{
    return windowPoint(item, QPointF(item->width() / 2, item->height() / 2));
}

void UiDriver::click(const QQuickItem *item) const
{
    QTest::mouseClick(window(), Qt::LeftButton, Qt::NoModifier, centreOf(item));
}

void UiDriver::click(const QQuickItem *item, const QPointF &local) const
{
    QTest::mouseClick(window(), Qt::LeftButton, Qt::NoModifier, windowPoint(item, local));
}

void UiDriver::moveTo(const QQuickItem *item) const
{
    QTest::mouseMove(window(), centreOf(item));
}

void UiDriver::moveTo(const QQuickItem *item, const QPointF &local) const
{
    QTest::mouseMove(window(), windowPoint(item, local));
}

void UiDriver::moveAway() const
{
    QTest::mouseMove(window(), QPoint(5, 5));
}

void UiDriver::pressKey(Qt::Key key, Qt::KeyboardModifiers modifiers) const
{
    QTest::keyClick(window(), key, modifiers);
}

void UiDriver::typeText(const QString &text) const
{
    // QTest types whole strings into widgets only; a window gets one key at a time.
    for (const QChar character : text)
        QTest::keyClick(window(), character.toLatin1());
}

void UiDriver::typeInto(const QQuickItem *field, const QString &text) const
{
    click(field);
    QTest::keySequence(window(), QKeySequence::SelectAll);
    if (text.isEmpty())
        pressKey(Qt::Key_Delete);
    else
        typeText(text);
}

Qt::CursorShape UiDriver::cursorShape() const
{
    return window()->cursor().shape();
}

QList<QHash<QString, QString>> UiDriver::requestsTo(const QString &endpoint)
{
    return requestFields(endpoint);
}

bool UiDriver::startFresh(const QTemporaryDir &content)
{
    VERIFY_OR_RETURN_FALSE(content.isValid(), "A temporary content folder could be made.");
    VERIFY_OR_RETURN_FALSE(
        writeFile(content.filePath(QStringLiteral("accounts.json")), DemoAccount::accountsJson),
        "The demo account could be written.");
    testService().setContentRoot(content.path().toStdString());
    QFile::remove(SettingsHandler::settingsFilePath());

    VERIFY_OR_RETURN_FALSE(start(), "The main window appeared.");
    VERIFY_OR_RETURN_FALSE(waitForSplashGone(), "The splash faded out after the self-update.");
    return true;
}

bool UiDriver::startLoggedIn(const QTemporaryDir &content)
{
    if (!startFresh(content))
        return false;
    VERIFY_OR_RETURN_FALSE(logIn(DemoAccount::vatsimId, DemoAccount::password),
                           "The login succeeded.");
    return true;
}

bool UiDriver::waitForSplashGone() const
{
    QQuickItem *splash = item(QStringLiteral("splashScreen"));
    return splash && waitUntil([splash] { return !splash->isVisible(); }, splashTimeoutMs);
}

bool UiDriver::logIn(const QString &vatsimId, const QString &password) const
{
    QQuickItem *loginInput = item(QStringLiteral("loginInput"));
    QQuickItem *passwordInput = item(QStringLiteral("passwordInput"));
    QQuickItem *loginButton = item(QStringLiteral("loginButton"));
    QObject *stack = object(QStringLiteral("rootStackView"));
    if (!loginInput || !passwordInput || !loginButton || !stack)
        return false;
    typeInto(loginInput, vatsimId);
    typeInto(passwordInput, password);
    click(loginButton);
    return waitUntil(
        [stack] {
            const auto *current = stack->property("currentItem").value<QQuickItem *>();
            return current && current->objectName() == QLatin1String("mainLayout")
                && !stack->property("busy").toBool();
        },
        loginTimeoutMs);
}

bool UiDriver::showPage(const QString &tabName) const
{
    QQuickItem *tab = item(tabName);
    QQuickItem *view = item(QStringLiteral("mainSwipeView"));
    if (!tab || !view)
        return false;
    click(tab);
    auto *list = view->property("contentItem").value<QQuickItem *>();
    return list
        && waitUntil(
               [view, list] {
                   const int index = view->property("currentIndex").toInt();
                   return qFuzzyCompare(list->property("contentX").toReal() + 1,
                                        index * view->width() + 1);
               },
               slideTimeoutMs);
}
