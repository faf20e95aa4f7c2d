#pragma once

#include "TestService.h"

#include "app/Startup.h"

#include <QQmlApplicationEngine>
#include <QQuickItem>
#include <QQuickWindow>
#include <QSet>

#include <memory>
#include <optional>

// The account of the development service that the interface tests log in with.
namespace DemoAccount {
inline const QString vatsimId = QStringLiteral("1234567");
inline const QString password = QStringLiteral("tarn-demo");
// Written by sha1sum, not by the code under test.
inline const QString digest = QStringLiteral("fd92d2d6ef08152f1527ff45e2ebc006bb25e2c4");
// Rating 5 reads "CTR1".
inline const QByteArray accountsJson
    = "[{\"cid\": \"1234567\", \"sha1\": \"fd92d2d6ef08152f1527ff45e2ebc006bb25e2c4\", \"rating\": "
      "5}]";
} // namespace DemoAccount

// Runs the program's interface as main() does and works it the way a user
// would: clicks, key presses and pointer moves on the real window.
class UiDriver
{
public:
    // The native objects, the engine and the main window, in main()'s order.
    bool start()
    {
        Startup::createNativeObjects();
        engine = std::make_unique<QQmlApplicationEngine>();
        Startup::loadMainWindow(*engine);
        return window() && QTest::qWaitForWindowExposed(window());
    }

    QQuickWindow *window() const
    {
        return qobject_cast<QQuickWindow *>(engine->rootObjects().value(0));
    }

    // The object with this objectName anywhere in the window's scene,
    // non-visual objects (timers, dialogs) included; null when there is none.
    QObject *object(const QString &objectName) const
    {
        QSet<QObject *> seen;
        QObjectList pending{window()};
        while (!pending.isEmpty()) {
            QObject *next = pending.takeFirst();
            if (!next || seen.contains(next))
                continue;
            if (next->objectName() == objectName)
                return next;
            seen.insert(next);
            pending.append(next->children());
            if (auto *item = qobject_cast<QQuickItem *>(next)) {
                for (QQuickItem *child : item->childItems())
                    pending.append(child);
            }
        }
        return nullptr;
    }
    QQuickItem *item(const QString &objectName) const
    {
        return qobject_cast<QQuickItem *>(object(objectName));
    }
    QString text(const QString &objectName) const
    {
        return object(objectName)->property("text").toString();
    }

    // At a point of the item in its own coordinates, or at its centre.
    static QPoint at(const QQuickItem *item, std::optional<QPointF> local = {})
    {
        return item->mapToScene(local.value_or(QPointF(item->width() / 2, item->height() / 2)))
            .toPoint();
    }
    void click(const QQuickItem *item, std::optional<QPointF> local = {}) const
    {
        QTest::mouseClick(window(), Qt::LeftButton, Qt::NoModifier, at(item, local));
    }
    // To a corner of the window where nothing reacts to the pointer.
    void moveAway() const { QTest::mouseMove(window(), QPoint(5, 5)); }
    void pressKey(Qt::Key key, Qt::KeyboardModifiers modifiers = Qt::NoModifier) const
    {
        QTest::keyClick(window(), key, modifiers);
    }
    // Clicks into the field, selects what it holds and types Latin-1 text over
    // it, one key at a time: QTest types whole strings into widgets only.
    void typeInto(const QString &field, const QString &text) const
    {
        click(item(field));
        QTest::keySequence(window(), QKeySequence::SelectAll);
        pressKey(Qt::Key_Delete);
        for (const QChar character : text)
            QTest::keyClick(window(), character.toLatin1());
    }

    // Logs in through the login page and waits until the main layout is shown.
    bool logIn(const QString &vatsimId, const QString &password) const
    {
        QObject *stack = object(QStringLiteral("rootStackView"));
        typeInto(QStringLiteral("loginInput"), vatsimId);
        typeInto(QStringLiteral("passwordInput"), password);
        click(item(QStringLiteral("loginButton")));
        return waitUntil(
            [stack] {
                return stack->property("depth").toInt() == 2 && !stack->property("busy").toBool();
            },
            20000);
    }
    // Clicks a tab of the main layout and waits until its page has slid in.
    bool showPage(const QString &tabName) const
    {
        QQuickItem *view = item(QStringLiteral("mainSwipeView"));
        click(item(tabName));
        auto *list = view->property("contentItem").value<QQuickItem *>();
        return waitUntil([view, list] {
            return qFuzzyCompare(list->property("contentX").toReal() + 1,
                                 view->property("currentIndex").toInt() * view->width() + 1);
        });
    }

    std::unique_ptr<QQmlApplicationEngine> engine;
};
