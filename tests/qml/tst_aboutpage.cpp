#include "TestService.h"
#include "UiDriver.h"
#include "UrlCatcher.h"

#include "handlers/SettingsHandler.h"

#include <QColor>
#include <QFile>
#include <QFontMetricsF>
#include <QQuickItem>
#include <QTemporaryDir>
#include <QUrl>

namespace {
constexpr int noWrap = 0; // Text.NoWrap
constexpr int preserveAspectFit = 1; // Image.PreserveAspectFit
} // namespace

// The About page: product name, build label and the contact block with links.
class TestAboutPage : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void cleanupTestCase();

    void headerShowsNameAndBuild();
    void informationBlockRunsPastItsEdgeRatherThanWrap();
    void linksOpenTheirTargetsAndPlainTextDoesNothing();

private:
    QTemporaryDir content;
    UiDriver ui;
    QQuickItem *page = nullptr;
    QQuickItem *block = nullptr;
};

void TestAboutPage::initTestCase()
{
    if (!ui.startLoggedIn(content))
        return;
    QVERIFY2(ui.showPage(QStringLiteral("aboutPlaceholder")), "The About page slid in.");
    page = ui.item(QStringLiteral("aboutPage"));
    block = ui.item(QStringLiteral("informationBlock"));
    QVERIFY(page && block);
}

void TestAboutPage::cleanupTestCase()
{
    QFile::remove(SettingsHandler::settingsFilePath());
}

void TestAboutPage::headerShowsNameAndBuild()
{
    QCOMPARE(page->property("color").value<QColor>(), QColor(0x37, 0x37, 0x3a));
    QQuickItem *title = ui.item(QStringLiteral("aboutTitle"));
    QQuickItem *build = ui.item(QStringLiteral("buildLabel"));
    QQuickItem *logo = ui.item(QStringLiteral("aboutLogo"));
    QVERIFY(title && build && logo);
    QCOMPARE(title->property("text").toString(), QStringLiteral("Tarn Beta 3"));
    QCOMPARE(title->position(), QPointF(260, 21));
    QCOMPARE(build->property("text").toString(), QStringLiteral("Build 101"));
    QCOMPARE(build->y(), 30.0);
    QCOMPARE(build->x() + build->width(), page->width() - 19);
    QCOMPARE(logo->position(), QPointF(20, 10));
    QCOMPARE(logo->size(), QSizeF(139, 63));
    QCOMPARE(logo->property("fillMode").toInt(), preserveAspectFit);
}

void TestAboutPage::informationBlockRunsPastItsEdgeRatherThanWrap()
{
    QCOMPARE(block->position(), QPointF(40, 100));
    QCOMPARE(block->width(), page->width() - 80);
    QCOMPARE(block->height(), page->height() - 100 - 26);
    QCOMPARE(block->property("wrapMode").toInt(), noWrap);
    // Ten lines, blank ones included, and not one more.
    const qreal lineSpacing = QFontMetricsF(block->property("font").value<QFont>()).lineSpacing();
    QCOMPARE(qRound(block->property("contentHeight").toReal() / lineSpacing), 10);
}

void TestAboutPage::linksOpenTheirTargetsAndPlainTextDoesNothing()
{
    const qreal lineHeight = QFontMetricsF(block->property("font").value<QFont>()).lineSpacing();
    const auto onLine = [&](int line, qreal x) { return QPointF(x, (line - 0.5) * lineHeight); };
    UrlCatcher handler;

    ui.moveTo(block, onLine(8, 5));
    QCOMPARE(ui.cursorShape(), Qt::ArrowCursor);
    ui.click(block, onLine(8, 5));
    QVERIFY2(handler.opened.isEmpty(), "A click on plain text opened nothing.");

    // The links sit at the ends of lines 1, 3 and 7.
    const struct
    {
        int line;
        const char *target;
    } links[] = {
        {1, "https://www.tarn-atc.example/"},
        {3, "https://chat.tarn-atc.example/invite/tarn"},
        {7, "mailto:feedback@tarn-atc.example"},
    };
    for (const auto &link : links) {
        // Where on its line the link is depends on the face's metrics.
        QPointF point;
        for (qreal x = 0; x < block->width() && point.isNull(); x += 4) {
            QString found;
            QVERIFY(QMetaObject::invokeMethod(block, "linkAt", Q_RETURN_ARG(QString, found),
                                              Q_ARG(qreal, x),
                                              Q_ARG(qreal, onLine(link.line, x).y())));
            if (found == QLatin1String(link.target))
                point = onLine(link.line, x + 2);
        }
        QVERIFY2(!point.isNull(), link.target);
        ui.moveTo(block, point);
        QCOMPARE(ui.cursorShape(), Qt::PointingHandCursor);
        ui.click(block, point);
        QCOMPARE(handler.opened.constLast(), QUrl(QLatin1String(link.target)));
    }
    QCOMPARE(handler.opened.size(), 3);
    ui.moveAway();
}

QTEST_MAIN(TestAboutPage)
#include "tst_aboutpage.moc"
