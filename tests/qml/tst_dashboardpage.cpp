#include "TestService.h"
#include "UiDriver.h"
#include "UrlCatcher.h"

#include "handlers/SettingsHandler.h"

#include <QColor>
#include <QFile>
#include <QQuickItem>
#include <QQuickWindow>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QUrl>

namespace {
} // namespace

// The two launch buttons and the voice client's failure line. EuroScope is a
// shell script that notes each start; the voice client is not installed.
class TestDashboardPage : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void cleanupTestCase();

    void buttonsSitInTheirBlock();
    void buttonsReactToPointer();
    void eachClickStartsEuroscopeOnceAndReportsTheMissingVoiceClient();
    void voiceClientFailureSurvivesPageSwitches();
    void discordWithoutUpdaterOpensTheInvitation();

private:
    QStringList euroscopeStarts() const;

    QTemporaryDir content;
    QTemporaryDir programs;
    UiDriver ui;
    QQuickItem *euroscopeButton = nullptr;
    QQuickItem *discordButton = nullptr;
    QQuickItem *statusText1 = nullptr;
};

QStringList TestDashboardPage::euroscopeStarts() const
{
    return QString::fromUtf8(readFile(programs.filePath(QStringLiteral("starts.log"))))
        .split(QLatin1Char('\n'), Qt::SkipEmptyParts);
}

void TestDashboardPage::initTestCase()
{
    // The registry stand-in and the user's data folder go to test locations:
    // no voice client is installed there, and no Discord.
    QStandardPaths::setTestModeEnabled(true);
    QVERIFY2(content.isValid() && programs.isValid(), "Temporary folders could be made.");
    const QString euroscope = programs.filePath(QStringLiteral("EuroScope.exe"));
    QVERIFY(writeFile(euroscope,
                      "#!/bin/sh\necho started >> '"
                          + QFile::encodeName(programs.filePath(QStringLiteral("starts.log")))
                          + "'\n"));
    QVERIFY(
        QFile::setPermissions(euroscope, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner));

    if (!ui.startFresh(content))
        return;
    settings()->setEuroscopePath(QUrl::fromLocalFile(euroscope).toString());
    QVERIFY2(ui.logIn(DemoAccount::vatsimId, DemoAccount::password), "The login succeeded.");
    euroscopeButton = ui.item(QStringLiteral("launchEuroscopeButton"));
    discordButton = ui.item(QStringLiteral("launchDiscordButton"));
    statusText1 = ui.item(QStringLiteral("statusText1"));
    QVERIFY(euroscopeButton && discordButton && statusText1);
}

void TestDashboardPage::cleanupTestCase()
{
    QFile::remove(SettingsHandler::settingsFilePath());
}

void TestDashboardPage::buttonsSitInTheirBlock()
{
    QQuickItem *page = ui.item(QStringLiteral("dashboardPage"));
    QQuickItem *block = ui.item(QStringLiteral("buttonBlock"));
    QVERIFY(page && block);
    QCOMPARE(block->size(), QSizeF(200, 120));
    // Centred; anchors round the half pixel of the 359 px page area.
    QVERIFY2(qAbs(block->x() + 100 - page->width() / 2) <= 0.5
                 && qAbs(block->y() + 60 - page->height() / 2) <= 0.5,
             "The button block is centred in the page.");
    QCOMPARE(euroscopeButton->size(), QSizeF(255, 50));
    // Overhangs the block by 27.5 px on each side, rounded by the anchors.
    QVERIFY2(qAbs(euroscopeButton->x() + 27.5) <= 0.5 && euroscopeButton->y() == 0,
             "\"Launch Euroscope\" sits centred at the top of the block.");
    QCOMPARE(discordButton->size(), QSizeF(190, 42));
    QCOMPARE(discordButton->position(), QPointF(5, 78));
    QCOMPARE(statusText1->position(), QPointF(55, 171));
    QCOMPARE(statusText1->property("text").toString(), QString());

    QQuickItem *euroscopeText = ui.item(QStringLiteral("launchEuroscopeButtonText"));
    QQuickItem *discordText = ui.item(QStringLiteral("launchDiscordButtonText"));
    QVERIFY(euroscopeText && discordText);
    QCOMPARE(euroscopeText->property("text").toString(), QStringLiteral("Launch Euroscope"));
    QCOMPARE(discordText->property("text").toString(), QStringLiteral("Launch Discord"));
    // The texts are centred between the icon and the right margin.
    QCOMPARE(euroscopeText->mapToItem(euroscopeButton, QPointF(0, 0)).x(), 24.0 + 23 + 11);
    QCOMPARE(euroscopeText->width(), 255.0 - (24 + 23 + 11) - 24);
    QCOMPARE(discordText->mapToItem(discordButton, QPointF(0, 0)).x(), 18.0 + 21 + 8);
    QCOMPARE(discordText->width(), 190.0 - (18 + 21 + 8) - 18);
}

void TestDashboardPage::buttonsReactToPointer()
{
    for (const QString &name :
         {QStringLiteral("launchEuroscopeButton"), QStringLiteral("launchDiscordButton")}) {
        QObject *background = ui.object(name + QStringLiteral("Background"));
        QVERIFY(background);
        ui.moveTo(ui.item(name));
        QCOMPARE(background->property("opacity").toReal(), 0.7);
        QCOMPARE(ui.cursorShape(), Qt::PointingHandCursor);
        ui.moveAway();
        QCOMPARE(background->property("opacity").toReal(), 1.0);
        QCOMPARE(ui.cursorShape(), Qt::ArrowCursor);
    }
}

void TestDashboardPage::eachClickStartsEuroscopeOnceAndReportsTheMissingVoiceClient()
{
    ui.click(euroscopeButton);
    QCOMPARE(statusText1->property("text").toString(), QStringLiteral("AFV not found"));
    QCOMPARE(statusText1->property("color").value<QColor>(), QColor(0xff, 0, 0));
    ui.click(euroscopeButton);
    QVERIFY2(waitUntil([this] { return euroscopeStarts().size() >= 2; }),
             "EuroScope was started twice.");
    QCOMPARE(euroscopeStarts().size(), 2);
}

void TestDashboardPage::voiceClientFailureSurvivesPageSwitches()
{
    QVERIFY(ui.showPage(QStringLiteral("aboutPlaceholder")));
    QVERIFY(ui.showPage(QStringLiteral("dashboardPlaceholder")));
    QCOMPARE(statusText1->property("text").toString(), QStringLiteral("AFV not found"));
    QCOMPARE(statusText1->property("color").value<QColor>(), QColor(0xff, 0, 0));
}

void TestDashboardPage::discordWithoutUpdaterOpensTheInvitation()
{
    UrlCatcher browser;
    ui.click(discordButton);
    QCOMPARE(browser.opened.size(), 1);
    QCOMPARE(browser.opened.first().host(), QStringLiteral("chat.tarn-atc.example"));
}

QTEST_MAIN(TestDashboardPage)
#include "tst_dashboardpage.moc"
