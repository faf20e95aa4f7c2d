#include "TestService.h"

#include "app/Startup.h"
#include "handlers/SelfUpdateHandler.h"

#include <QColor>
#include <QGuiApplication>
#include <QQmlApplicationEngine>
#include <QQuickItem>
#include <QQuickWindow>
#include <QTemporaryDir>

#include <memory>

// The main window document with the real singletons: geometry, splash states,
// top bar.
class TestMainWindow : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void windowAndPanelGeometry();
    void splashCoversPanelAtStart();
    void splashTakesNoClicksBelowTheTopBar();
    void dragMovesWindowByPointerDelta();
    void errorShowsRedLineAndCloseButton();
    void selfUpdatedFadesSplashAway();
    void closeButtonQuits();

private:
    QQuickItem *item(const char *name) const;
    std::unique_ptr<QSignalSpy> quitSpy;

    QTemporaryDir content;
    std::unique_ptr<QQmlApplicationEngine> engine;
    QQuickWindow *window = nullptr;
};

QQuickItem *TestMainWindow::item(const char *name) const
{
    return window->findChild<QQuickItem *>(QLatin1String(name));
}

void TestMainWindow::initTestCase()
{
    // A failing list keeps the self-update from reporting, so the splash stays
    // until a test sends the handler's signals itself.
    devservice::Fault failing;
    failing.endpoint = "checkClient.php";
    failing.status = 500;
    testService().addFault(failing);
    testService().setContentRoot(content.path().toStdString());

    Startup::createNativeObjects();
    engine = std::make_unique<QQmlApplicationEngine>();
    quitSpy = std::make_unique<QSignalSpy>(engine.get(), &QQmlEngine::quit);
    Startup::loadMainWindow(*engine);
    QCOMPARE(engine->rootObjects().size(), 1);
    window = qobject_cast<QQuickWindow *>(engine->rootObjects().first());
    QVERIFY(window);
    QVERIFY(QTest::qWaitForWindowExposed(window));
}

void TestMainWindow::windowAndPanelGeometry()
{
    QCOMPARE(window->size(), QSize(800, 600));
    QCOMPARE(window->title(), QStringLiteral("Tarn"));
    QVERIFY2(window->flags().testFlag(Qt::FramelessWindowHint), "The window has no frame.");
    QCOMPARE(window->color(), QColor(0, 0, 0, 0));
    QCOMPARE(window->minimumSize(), window->maximumSize());

    QQuickItem *panel = item("stackView");
    QCOMPARE(QRectF(panel->position(), panel->size()), QRectF(50, 50, 700, 500));
    QQuickItem *topBar = item("topBar");
    QCOMPARE(topBar->size(), QSizeF(700, 24));
    QCOMPARE(topBar->property("color").value<QColor>(), QColor(QStringLiteral("#37373a")));
    QQuickItem *pages = item("rootStackView");
    QCOMPARE(QRectF(pages->position(), pages->size()), QRectF(0, 24, 700, 476));
    QVERIFY2(pages->clip(), "The page stack clips its pages.");

    QQuickItem *close = item("closeButton");
    QQuickItem *minimize = item("minimizeButton");
    QCOMPARE(close->mapToItem(panel, QPointF()), QPointF(676, 0));
    QCOMPARE(minimize->mapToItem(panel, QPointF()), QPointF(652, 0));
    QCOMPARE(close->size(), QSizeF(24, 24));
}

void TestMainWindow::splashCoversPanelAtStart()
{
    QQuickItem *splash = item("splashScreen");
    QVERIFY(splash->isVisible());
    QCOMPARE(splash->opacity(), 1.0);
    QCOMPARE(splash->size(), QSizeF(700, 500));
    QCOMPARE(splash->property("color").value<QColor>(), QColor(QStringLiteral("#37373a")));
    QCOMPARE(item("splashHeadline")->property("text").toString(),
             QStringLiteral("Self-Update in progress"));
    QCOMPARE(item("text2")->property("text").toString(), QString());
    QVERIFY2(!item("closeButtonUpd")->isVisible(), "The splash close button is hidden at start.");
    QVERIFY2(!item("closeButtonUpd")->isEnabled(), "The splash close button is disabled at start.");
    QQuickItem *logo = item("splashLogo");
    QCOMPARE(QRectF(logo->position(), logo->size()), QRectF(175, 80, 350, 150));
}

void TestMainWindow::splashTakesNoClicksBelowTheTopBar()
{
    QQuickItem *splash = item("splashScreen");
    QQuickItem *blocker = item("splashInputBlocker");
    QCOMPARE(blocker->mapToItem(splash, QPointF()), QPointF(0, 24));
    QCOMPARE(blocker->size(), QSizeF(700, 476));
    QVERIFY2(blocker->isEnabled() && blocker->isVisible(),
             "The splash catches clicks meant for the page beneath.");
}

void TestMainWindow::dragMovesWindowByPointerDelta()
{
    window->setPosition(100, 100);
    const QPoint start = window->position();
    const QPoint grip = item("topBar")->mapToScene(QPointF(300, 12)).toPoint();
    QTest::mousePress(window, Qt::LeftButton, Qt::NoModifier, grip);
    QTest::mouseMove(window, grip + QPoint(30, 10));
    QCOMPARE(window->position() - start, QPoint(30, 10));
    // The window followed the pointer: the pressed point is under it again,
    // so releasing there moves nothing more.
    QCOMPARE(window->mapToGlobal(grip), start + grip + QPoint(30, 10));
    QTest::mouseRelease(window, Qt::LeftButton, Qt::NoModifier, grip);
    QCOMPARE(window->position() - start, QPoint(30, 10));
}

void TestMainWindow::errorShowsRedLineAndCloseButton()
{
    Q_EMIT QmlSingletonType<SelfUpdateHandler>::instance->errorFound();
    QQuickItem *line = item("text2");
    QCOMPARE(line->property("text").toString(), QStringLiteral("Error occurred during update."));
    QCOMPARE(line->property("color").value<QColor>(), QColor(QStringLiteral("#ff0000")));
    QQuickItem *closeUpd = item("closeButtonUpd");
    QVERIFY(closeUpd->isVisible());
    QVERIFY(closeUpd->isEnabled());
    QCOMPARE(closeUpd->mapToScene(QPointF()), item("closeButton")->mapToScene(QPointF()));
    QCOMPARE(closeUpd->size(), QSizeF(24, 24));
}

void TestMainWindow::selfUpdatedFadesSplashAway()
{
    QQuickItem *splash = item("splashScreen");
    QObject *animator = window->findChild<QObject *>(QStringLiteral("opacityAnimator"));
    QCOMPARE(animator->property("duration").toInt(), 500);
    QCOMPARE(animator->property("from").toReal(), 1.0);
    QCOMPARE(animator->property("to").toReal(), 0.0);

    // The error state came first: the fade still runs.
    Q_EMIT QmlSingletonType<SelfUpdateHandler>::instance->selfUpdated();
    QVERIFY2(animator->property("running").toBool(), "selfUpdated starts the fade.");
    QVERIFY2(waitUntil([splash] { return !splash->isVisible(); }),
             "The splash is hidden after its fade.");
    QCOMPARE(splash->opacity(), 0.0);
}

void TestMainWindow::closeButtonQuits()
{
    QQuickItem *close = item("closeButton");
    QTest::mouseClick(window, Qt::LeftButton, Qt::NoModifier,
                      close->mapToScene(QPointF(12, 12)).toPoint());
    QCOMPARE(quitSpy->count(), 1);
}

QTEST_MAIN(TestMainWindow)
#include "tst_mainwindow.moc"
