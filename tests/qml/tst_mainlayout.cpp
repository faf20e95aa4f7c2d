#include "TestService.h"
#include "UiDriver.h"

#include "handlers/SettingsHandler.h"

#include <QColor>
#include <QFile>
#include <QQuickItem>
#include <QQuickWindow>
#include <QTemporaryDir>

namespace {
const QStringList tabs
    = {QStringLiteral("dashboardPlaceholder"), QStringLiteral("updatePlaceholder"),
       QStringLiteral("settingsPlaceholder"), QStringLiteral("aboutPlaceholder")};
const QStringList pages = {QStringLiteral("dashboardPage"), QStringLiteral("updatePage"),
                           QStringLiteral("settingsPage"), QStringLiteral("aboutPage")};
const QColor currentColour(0x4f, 0x4f, 0x50);
const QColor otherIconColour(0x92, 0x92, 0x94);
const QColor otherLabelColour(0x65, 0x64, 0x64);
} // namespace

// The frame around the four pages: the information bar, the page area and
// the tab bar, after a login against the service.
class TestMainLayout : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void cleanupTestCase();

    void infoBarShowsIdentityInFourCells();
    void dashboardIsCurrentAfterLogin();
    void tabsSwitchPagesAndMoveTheMarker();
    void clickingTheCurrentTabChangesNothing();
    void swipingNeverChangesThePage();
    void pagesFillThePageArea();

private:
    void verifyCurrentTab(int index);
    int currentIndex() const;
    qreal contentX() const;

    QTemporaryDir content;
    UiDriver ui;
    QQuickItem *swipeView = nullptr;
};

void TestMainLayout::initTestCase()
{
    if (!ui.startLoggedIn(content))
        return;
    swipeView = ui.item(QStringLiteral("mainSwipeView"));
    QVERIFY(swipeView);
}

void TestMainLayout::cleanupTestCase()
{
    QFile::remove(SettingsHandler::settingsFilePath());
}

int TestMainLayout::currentIndex() const
{
    return swipeView->property("currentIndex").toInt();
}

qreal TestMainLayout::contentX() const
{
    return swipeView->property("contentItem").value<QQuickItem *>()->property("contentX").toReal();
}

void TestMainLayout::verifyCurrentTab(int index)
{
    QCOMPARE(currentIndex(), index);
    for (int i = 0; i < tabs.size(); ++i) {
        const bool current = i == index;
        QQuickItem *marker = ui.item(tabs.at(i) + QStringLiteral("Marker"));
        QObject *icon = ui.object(tabs.at(i) + QStringLiteral("Icon"));
        QObject *label = ui.object(tabs.at(i) + QStringLiteral("Label"));
        QVERIFY(marker && icon && label);
        QVERIFY2(marker->isVisible() == current,
                 qPrintable(tabs.at(i) + QStringLiteral(": marker shown only on the current tab")));
        QCOMPARE(icon->property("color").value<QColor>(), current ? currentColour : otherIconColour);
        QCOMPARE(label->property("color").value<QColor>(),
                 current ? currentColour : otherLabelColour);
    }
    QQuickItem *page = ui.item(pages.at(index));
    QVERIFY(page);
    QCOMPARE(page->mapToItem(swipeView, QPointF(0, 0)), QPointF(0, 0));
}

void TestMainLayout::infoBarShowsIdentityInFourCells()
{
    const struct
    {
        const char *name;
        const char *label;
        qreal x;
        int valueSize;
    } cells[] = {
        {"vatsimIdPlaceholder", "VATSIM ID", 0, 15},
        {"ratingPlaceholder", "RATING", 175, 16},
        {"utcTimePlaceholder", "UTC TIME", 350, 15},
        {"localTimePlaceholder", "LOCAL TIME", 525, 15},
    };
    QQuickItem *bar = ui.item(QStringLiteral("topBarMain"));
    QVERIFY(bar);
    QCOMPARE(bar->size(), QSizeF(700, 71));
    for (const auto &cell : cells) {
        const QString name = QLatin1String(cell.name);
        QQuickItem *item = ui.item(name);
        QObject *label = ui.object(name + QStringLiteral("Label"));
        QObject *value = ui.object(name + QStringLiteral("Value"));
        QQuickItem *divider = ui.item(name + QStringLiteral("Divider"));
        QVERIFY(item && label && value && divider);
        QCOMPARE(item->x(), cell.x);
        // Centred in the bar; anchors round the half pixel.
        QVERIFY2(qAbs(item->y() - (71 - 40) / 2.0) <= 0.5,
                 qPrintable(name + QStringLiteral(" is centred vertically.")));
        QCOMPARE(item->size(), QSizeF(175, 40));
        QCOMPARE(label->property("text").toString(), QLatin1String(cell.label));
        QCOMPARE(value->property("font").value<QFont>().pixelSize(), cell.valueSize);
        QCOMPARE(divider->isVisible(), cell.x > 0);
    }
    QCOMPARE(ui.object(QStringLiteral("vatsimIdPlaceholderValue"))->property("text").toString(),
             DemoAccount::vatsimId);
    QCOMPARE(ui.object(QStringLiteral("ratingPlaceholderValue"))->property("text").toString(),
             QStringLiteral("CTR1"));
}

void TestMainLayout::dashboardIsCurrentAfterLogin()
{
    verifyCurrentTab(0);
    QCOMPARE(swipeView->size(), QSizeF(700, 359));
    QCOMPARE(swipeView->y(), 71.0);
    QCOMPARE(ui.item(QStringLiteral("bottomBarMain"))->y(), 430.0);
}

void TestMainLayout::tabsSwitchPagesAndMoveTheMarker()
{
    for (const int index : {3, 1, 2, 0}) {
        QVERIFY2(ui.showPage(tabs.at(index)),
                 qPrintable(tabs.at(index) + QStringLiteral(" slid its page in")));
        verifyCurrentTab(index);
    }
}

void TestMainLayout::clickingTheCurrentTabChangesNothing()
{
    QVERIFY(ui.showPage(QStringLiteral("aboutPlaceholder")));
    const qreal before = contentX();
    ui.click(ui.item(QStringLiteral("aboutPlaceholder")), QPointF(5, 40));
    verifyCurrentTab(3);
    QCOMPARE(contentX(), before);
}

void TestMainLayout::swipingNeverChangesThePage()
{
    QVERIFY(ui.showPage(QStringLiteral("updatePlaceholder")));
    const qreal before = contentX();
    QQuickWindow *window = ui.window();
    for (const int direction : {-1, 1}) {
        const QPoint start = UiDriver::windowPoint(swipeView, QPointF(350 - direction * 250, 200));
        QTest::mousePress(window, Qt::LeftButton, Qt::NoModifier, start);
        for (int step = 1; step <= 10; ++step)
            QTest::mouseMove(window, start + QPoint(direction * step * 50, 0));
        QTest::mouseRelease(window, Qt::LeftButton, Qt::NoModifier,
                            start + QPoint(direction * 500, 0));
        QCOMPARE(contentX(), before);
        verifyCurrentTab(1);
    }
}

void TestMainLayout::pagesFillThePageArea()
{
    for (const QString &name : pages) {
        QQuickItem *page = ui.item(name);
        QVERIFY(page);
        QCOMPARE(page->size(), QSizeF(700, 359));
    }
}

QTEST_MAIN(TestMainLayout)
#include "tst_mainlayout.moc"
