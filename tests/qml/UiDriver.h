#pragma once

#include <QCursor>
#include <QHash>
#include <QList>
#include <QPointF>
#include <QString>
#include <QVariant>

#include <memory>

class QQmlApplicationEngine;
class QQuickItem;
class QQuickWindow;
class QTemporaryDir;

// The account of the development service that the interface tests log in with.
namespace DemoAccount {
inline const QString vatsimId = QStringLiteral("1234567");
inline const QString password = QStringLiteral("tarn-demo");
// Written by sha1sum, not by the code under test.
inline const QString digest = QStringLiteral("fd92d2d6ef08152f1527ff45e2ebc006bb25e2c4");
// Rating 5 reads "CTR1".
inline const QByteArray accountsJson
    = "[{\"cid\": \"1234567\", \"sha1\": "
      "\"fd92d2d6ef08152f1527ff45e2ebc006bb25e2c4\", \"rating\": 5}]";
} // namespace DemoAccount

// Runs the program's interface as main() does and works it the way a user
// would: clicks, key presses and pointer moves on the real window.
class UiDriver
{
public:
    UiDriver();
    ~UiDriver();

    // The native objects, the engine and the main window, in main()'s order.
    // False when the window did not appear.
    bool start();

    QQuickWindow *window() const;

    // The object with this objectName anywhere in the window's scene,
    // non-visual objects (timers, dialogs) included; null when there is none.
    QObject *object(const QString &objectName) const;
    QQuickItem *item(const QString &objectName) const;
    // A visible text item showing exactly this text (tool tips, popups).
    QQuickItem *visibleText(const QString &text) const;

    // A point of the item, in its own coordinates, as a window position.
    static QPoint windowPoint(const QQuickItem *item, const QPointF &local);
    static QPoint centreOf(const QQuickItem *item);

    void click(const QQuickItem *item) const;
    void click(const QQuickItem *item, const QPointF &local) const;
    void moveTo(const QQuickItem *item) const;
    void moveTo(const QQuickItem *item, const QPointF &local) const;
    // Moves the pointer to a corner of the window where nothing reacts to it.
    void moveAway() const;
    void pressKey(Qt::Key key, Qt::KeyboardModifiers modifiers = Qt::NoModifier) const;
    // Types Latin-1 text, one key press per character.
    void typeText(const QString &text) const;
    // Clicks into the field, selects what it holds and types over it.
    void typeInto(const QQuickItem *field, const QString &text) const;

    Qt::CursorShape cursorShape() const;

    // The form fields of every request the service has seen at this endpoint
    // (for example "login.php"), in order.
    static QList<QHash<QString, QString>> requestsTo(const QString &endpoint);

    // A first start: serves the demo account from the content folder, forgets
    // the stored settings, starts the interface and waits out the splash.
    // False, with the test failed at the step that failed, otherwise.
    bool startFresh(const QTemporaryDir &content);
    // startFresh, then the demo account's login up to the main layout.
    bool startLoggedIn(const QTemporaryDir &content);

    // Waits until the splash screen has faded out after the self-update.
    bool waitForSplashGone() const;
    // Logs in through the login page and waits until the main layout is shown.
    bool logIn(const QString &vatsimId, const QString &password) const;
    // Clicks a tab of the main layout and waits until its page has slid in.
    bool showPage(const QString &tabName) const;

private:
    std::unique_ptr<QQmlApplicationEngine> engine;
};
