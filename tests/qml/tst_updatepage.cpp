#include "PropertyRecorder.h"
#include "TestService.h"
#include "UiDriver.h"

#include "handlers/SettingsHandler.h"
#include "handlers/UpdateHandler.h"
#include "net/RequestSender.h"

#include <QColor>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QQuickItem>
#include <QQuickWindow>
#include <QScopeGuard>
#include <QTemporaryDir>
#include <QUrl>

namespace {
const QString idleText = QStringLiteral("Press 'Check' to check update");
const QString checkingText = QStringLiteral("Checking for update...");
const QString readyText = QStringLiteral("Ready to Update. Files to update: ");
const QString updatingText = QStringLiteral("Updating...");
const QString upToDateText = QStringLiteral("Up-to-date");
const QString folderErrorText
    = QStringLiteral("Sector folder error! Check sector path in the Settings!");
const QColor statusGrey(0x6d, 0x6d, 0x6d);
const QColor red(0xff, 0, 0);

// Twelve files the service publishes below its sector folder.
const QStringList sectorFiles = {
    QStringLiteral("Brenmar.sct"),       QStringLiteral("Brenmar.ese"),
    QStringLiteral("Brenmar.rwy"),       QStringLiteral("Airports/BRM1.txt"),
    QStringLiteral("Airports/BRM2.txt"), QStringLiteral("Airports/BRM3.txt"),
    QStringLiteral("Data/fixes.txt"),    QStringLiteral("Data/frequencies.txt"),
    QStringLiteral("Data/navaids.txt"),  QStringLiteral("Data/airways.txt"),
    QStringLiteral("Sounds/alert.wav"),  QStringLiteral("Sounds/contact.wav"),
};
const QString blockedFile = QStringLiteral("Airports/BRM2.txt");

bool noRequestInFlight()
{
    return QmlSingletonType<UpdateHandler>::instance->findChildren<RequestSender *>().isEmpty();
}

// The service publishes a new version of the file: its time moves ahead.
bool publishNewer(const QString &path, int days)
{
    return setModificationTime(path, QDateTime::currentDateTime().addDays(days));
}

// Answers what the service holds back and drops the faults, also when a check
// fails half-way, so the tests after it start from a quiet service.
auto releasingTheService()
{
    return qScopeGuard([] {
        testService().releaseHeld();
        waitUntil(noRequestInFlight);
        testService().clearFaults();
    });
}

// How a row takes the page on from a check that found files.
enum class Step { CheckAgain, CheckMissingFolder, StartUpdate, UpdateToTheEnd };
} // namespace

Q_DECLARE_METATYPE(Step)

// The update page's states, driven by real checks and downloads against the
// service's sector tree into a sector folder of its own.
class TestUpdatePage : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void cleanupTestCase();

    void opensIdleWithUpdateDimmed();
    void missingSectorFolderIsReportedWithinTheCall();
    void checkFindsEveryMissingFile();
    void statusSurvivesPageSwitches();
    void updateRunsWithProgressToTheEnd();
    void checkFindingNothingDimsUpdate();
    void updateButtonFollowsThePage_data();
    void updateButtonFollowsThePage();
    void writeFailureIsReportedInRedUntilTheNextCheck();
    void updatePressedDuringACheckRunsToTheEnd();
    void failedDownloadsHoldTheProgressBar();

private:
    QString status() const;
    bool waitForStatus(const QString &text) const;
    qreal updateOpacity() const;
    bool checkFindsFiles();

    QTemporaryDir content;
    QTemporaryDir sector;
    UiDriver ui;
    QQuickItem *textDebug = nullptr;
    QQuickItem *progressBar = nullptr;
    QQuickItem *checkButton = nullptr;
    QQuickItem *updateButton = nullptr;
};

QString TestUpdatePage::status() const
{
    return textDebug->property("text").toString();
}

bool TestUpdatePage::waitForStatus(const QString &text) const
{
    const bool shown = waitUntil([&] { return status() == text && noRequestInFlight(); });
    if (!shown)
        qWarning("The status line reads \"%s\".", qPrintable(status()));
    return shown;
}

qreal TestUpdatePage::updateOpacity() const
{
    return ui.object(QStringLiteral("updateButtonBackground"))->property("opacity").toReal();
}

// The first listed file goes missing locally, and a check finds it with
// whatever else is outdated.
bool TestUpdatePage::checkFindsFiles()
{
    QFile::remove(sector.filePath(sectorFiles.first()));
    ui.click(checkButton);
    return waitUntil([this] { return status().startsWith(readyText) && noRequestInFlight(); });
}

void TestUpdatePage::initTestCase()
{
    QVERIFY2(content.isValid() && sector.isValid(), "Temporary folders could be made.");
    for (const QString &file : sectorFiles)
        QVERIFY(writeFile(content.filePath(QStringLiteral("sector/") + file),
                          "content of " + file.toUtf8() + '\n'));

    if (!ui.startLoggedIn(content))
        return;
    QVERIFY2(ui.showPage(QStringLiteral("updatePlaceholder")), "The update page slid in.");
    textDebug = ui.item(QStringLiteral("textDebug"));
    progressBar = ui.item(QStringLiteral("progressBar"));
    checkButton = ui.item(QStringLiteral("checkButton"));
    updateButton = ui.item(QStringLiteral("updateButton"));
    QVERIFY(textDebug && progressBar && checkButton && updateButton);
}

void TestUpdatePage::cleanupTestCase()
{
    QFile::remove(SettingsHandler::settingsFilePath());
}

void TestUpdatePage::opensIdleWithUpdateDimmed()
{
    QCOMPARE(status(), idleText);
    QCOMPARE(textDebug->property("color").value<QColor>(), statusGrey);
    QCOMPARE(UiDriver::windowPoint(textDebug, QPointF(0, 0)),
             UiDriver::windowPoint(ui.item(QStringLiteral("updatePage")), QPointF(80, 64)));
    QVERIFY2(!progressBar->isVisible(), "The progress bar is hidden at first.");
    QCOMPARE(progressBar->property("value").toReal(), 0.0);
    QCOMPARE(progressBar->position(), QPointF(79, 147));
    QCOMPARE(progressBar->size(), QSizeF(562, 77));
    QCOMPARE(checkButton->size(), QSizeF(174, 50));
    QCOMPARE(checkButton->x(), 80.0);
    QCOMPARE(updateButton->x(), 465.0);
    // Anchors round the half pixel of the 359 px page area.
    QVERIFY2(
        qAbs(checkButton->y() + 25 - (ui.item(QStringLiteral("updatePage"))->height() / 2 + 119))
            <= 0.5,
        "The buttons are centred 119 px below the page's centre.");
    QCOMPARE(updateButton->y(), checkButton->y());

    QVERIFY(checkButton->isEnabled());
    QVERIFY(!updateButton->isEnabled());
    QCOMPARE(updateOpacity(), 0.3);

    ui.moveTo(updateButton);
    QCOMPARE(ui.cursorShape(), Qt::ArrowCursor);
    QCOMPARE(updateOpacity(), 0.3);
    ui.click(updateButton);
    QCOMPARE(status(), idleText);
    QVERIFY2(UiDriver::requestsTo(QStringLiteral("downloadSectorFile.php")).isEmpty(),
             "A disabled \"Update\" starts nothing.");

    ui.moveTo(checkButton);
    QCOMPARE(ui.cursorShape(), Qt::PointingHandCursor);
    QCOMPARE(ui.object(QStringLiteral("checkButtonBackground"))->property("opacity").toReal(), 0.7);
    ui.moveAway();
    QCOMPARE(ui.object(QStringLiteral("checkButtonBackground"))->property("opacity").toReal(), 1.0);
}

void TestUpdatePage::missingSectorFolderIsReportedWithinTheCall()
{
    // No sector folder set, then one that does not exist: both are answered
    // before the click returns, and "Check" stays usable.
    for (const QString &path :
         {QString(), QUrl::fromLocalFile(sector.filePath(QStringLiteral("missing"))).toString()}) {
        settings()->setSectorPath(path);
        ui.click(checkButton);
        QCOMPARE(status(), folderErrorText);
        QVERIFY2(checkButton->isEnabled(), "\"Check\" is usable again after the folder error.");
        QVERIFY(!updateButton->isEnabled());
    }
    QVERIFY2(UiDriver::requestsTo(QStringLiteral("getfilelist.php")).isEmpty(),
             "No list was asked for.");
}

void TestUpdatePage::checkFindsEveryMissingFile()
{
    settings()->setSectorPath(QUrl::fromLocalFile(sector.path()).toString());
    devservice::Fault slowList;
    slowList.endpoint = "getfilelist.php";
    slowList.delay = std::chrono::seconds(5);
    slowList.times = 1;
    testService().addFault(slowList);

    ui.click(checkButton);
    QCOMPARE(status(), checkingText);
    QVERIFY2(!checkButton->isEnabled(), "\"Check\" is disabled while the list is awaited.");
    QVERIFY(!updateButton->isEnabled());

    QVERIFY(waitForStatus(readyText + QString::number(sectorFiles.size())));
    QVERIFY(checkButton->isEnabled());
    QVERIFY(updateButton->isEnabled());
    QCOMPARE(updateOpacity(), 1.0);
    QVERIFY(!progressBar->isVisible());

    ui.moveTo(updateButton);
    QCOMPARE(updateOpacity(), 0.7);
    QCOMPARE(ui.cursorShape(), Qt::PointingHandCursor);
    ui.moveAway();
    QCOMPARE(updateOpacity(), 1.0);
}

void TestUpdatePage::statusSurvivesPageSwitches()
{
    const QString before = status();
    QVERIFY(ui.showPage(QStringLiteral("settingsPlaceholder")));
    QVERIFY(ui.showPage(QStringLiteral("updatePlaceholder")));
    QCOMPARE(status(), before);
    QVERIFY(updateButton->isEnabled());
    QCOMPARE(updateOpacity(), 1.0);
}

void TestUpdatePage::updateRunsWithProgressToTheEnd()
{
    PropertyRecorder progress(progressBar, "value");
    ui.click(updateButton);
    QCOMPARE(status(), updatingText);
    QVERIFY2(progressBar->isVisible(), "The progress bar is shown during the update.");
    QVERIFY(!checkButton->isEnabled());
    QVERIFY(!updateButton->isEnabled());

    QVERIFY(waitForStatus(upToDateText));
    QVERIFY2(!progressBar->isVisible(), "The progress bar vanished at the end.");
    QVERIFY(checkButton->isEnabled());
    QVERIFY(!updateButton->isEnabled());

    QList<QVariant> expected;
    for (int done = 1; done <= sectorFiles.size(); ++done)
        expected.append(qreal(done) / sectorFiles.size());
    QCOMPARE(progress.values, expected);
    for (const QString &file : sectorFiles)
        QVERIFY2(QFile::exists(sector.filePath(file)),
                 qPrintable(file + QStringLiteral(" landed in the sector folder.")));
}

void TestUpdatePage::checkFindingNothingDimsUpdate()
{
    ui.click(checkButton);
    QCOMPARE(status(), checkingText);
    QVERIFY(waitForStatus(upToDateText));
    QVERIFY(checkButton->isEnabled());
    QVERIFY(!updateButton->isEnabled());
    QCOMPARE(updateOpacity(), 0.3);
}

void TestUpdatePage::updateButtonFollowsThePage_data()
{
    QTest::addColumn<Step>("step");
    QTest::addColumn<QString>("shown");
    QTest::addColumn<bool>("offered");

    // A new check, or a folder error, leaves the files of the last check offered.
    QTest::newRow("checking again") << Step::CheckAgain << checkingText << true;
    QTest::newRow("folder error") << Step::CheckMissingFolder << folderErrorText << true;
    QTest::newRow("updating") << Step::StartUpdate << updatingText << false;
    QTest::newRow("up-to-date after the update") << Step::UpdateToTheEnd << upToDateText << false;
}

void TestUpdatePage::updateButtonFollowsThePage()
{
    QFETCH(Step, step);
    QFETCH(QString, shown);
    QFETCH(bool, offered);
    QVERIFY(checkFindsFiles());

    const QString sectorUrl = settings()->sectorPath();
    const auto restoreFolder = qScopeGuard([&] { settings()->setSectorPath(sectorUrl); });
    const auto release = releasingTheService();
    devservice::Fault held;
    held.hold = true;
    switch (step) {
    case Step::CheckAgain:
        held.endpoint = "getfilelist.php";
        testService().addFault(held);
        ui.click(checkButton);
        break;
    case Step::CheckMissingFolder:
        settings()->setSectorPath(
            QUrl::fromLocalFile(sector.filePath(QStringLiteral("missing"))).toString());
        ui.click(checkButton);
        break;
    case Step::StartUpdate:
        held.endpoint = "downloadSectorFile.php";
        testService().addFault(held);
        ui.click(updateButton);
        break;
    case Step::UpdateToTheEnd:
        ui.click(updateButton);
        QVERIFY(waitForStatus(upToDateText));
        break;
    }
    QCOMPARE(status(), shown);

    // The pointer was on a button: away from both, then on "Update".
    ui.moveAway();
    QCOMPARE(updateButton->isEnabled(), offered);
    QCOMPARE(updateOpacity(), offered ? 1.0 : 0.3);
    ui.moveTo(updateButton);
    QCOMPARE(updateOpacity(), offered ? 0.7 : 0.3);
    QCOMPARE(ui.cursorShape(), offered ? Qt::PointingHandCursor : Qt::ArrowCursor);
    ui.moveAway();
}

void TestUpdatePage::writeFailureIsReportedInRedUntilTheNextCheck()
{
    // A folder where the file belongs: the new version cannot be put there.
    QVERIFY(publishNewer(content.filePath(QStringLiteral("sector/") + blockedFile), 1));
    QVERIFY(QFile::remove(sector.filePath(blockedFile)));
    QVERIFY(QDir(sector.path()).mkpath(blockedFile));

    ui.click(checkButton);
    QVERIFY(waitForStatus(readyText + QStringLiteral("1")));
    ui.click(updateButton);
    QVERIFY(waitForStatus(QStringLiteral("Update finished, but 1 file could not be written.")));
    QCOMPARE(textDebug->property("color").value<QColor>(), red);
    QVERIFY(checkButton->isEnabled());
    QVERIFY(!progressBar->isVisible());
    QVERIFY(!updateButton->isEnabled());
    QCOMPARE(updateOpacity(), 0.3);

    ui.click(checkButton);
    QCOMPARE(status(), checkingText);
    QCOMPARE(textDebug->property("color").value<QColor>(), statusGrey);
    QVERIFY(waitForStatus(readyText + QStringLiteral("1")));
    QCOMPARE(textDebug->property("color").value<QColor>(), statusGrey);
    QVERIFY(QDir(sector.filePath(blockedFile)).removeRecursively());
}

void TestUpdatePage::updatePressedDuringACheckRunsToTheEnd()
{
    // "Update" stays offered while a new check is under way. Pressed then, the
    // check's answer comes in while the download is held back.
    QVERIFY(checkFindsFiles());
    const auto release = releasingTheService();
    devservice::Fault slowList;
    slowList.endpoint = "getfilelist.php";
    slowList.delay = std::chrono::seconds(2);
    slowList.times = 1;
    testService().addFault(slowList);
    devservice::Fault heldDownload;
    heldDownload.endpoint = "downloadSectorFile.php";
    heldDownload.hold = true;
    testService().addFault(heldDownload);
    ui.click(checkButton);
    ui.click(updateButton);
    QCOMPARE(status(), updatingText);

    QVERIFY(waitUntil([this] { return status().startsWith(readyText); }));
    QVERIFY2(progressBar->isVisible(), "The bar stays while the download runs.");
    QVERIFY(checkButton->isEnabled());
    QVERIFY(updateButton->isEnabled());

    testService().releaseHeld();
    QVERIFY(waitForStatus(upToDateText));
    QVERIFY(!progressBar->isVisible());
    QVERIFY(checkButton->isEnabled());

    // Nothing is pending any more: the update completes within the click.
    ui.click(updateButton);
    QCOMPARE(status(), upToDateText);
    QVERIFY2(checkButton->isEnabled(), "\"Check\" is usable after an update with nothing to do.");
    QVERIFY(!updateButton->isEnabled());
    QVERIFY(!progressBar->isVisible());
}

void TestUpdatePage::failedDownloadsHoldTheProgressBar()
{
    for (const QString &file : sectorFiles)
        QVERIFY(publishNewer(content.filePath(QStringLiteral("sector/") + file), 2));
    ui.click(checkButton);
    QVERIFY(waitForStatus(readyText + QString::number(sectorFiles.size())));

    // Nine of the twelve downloads fail: those files stay pending, so the
    // update never completes and the bar stays at three of twelve.
    devservice::Fault outage;
    outage.endpoint = "downloadSectorFile.php";
    outage.status = 500;
    outage.times = 9;
    testService().addFault(outage);
    const int downloadsBefore
        = UiDriver::requestsTo(QStringLiteral("downloadSectorFile.php")).size();

    ui.click(updateButton);
    QVERIFY2(waitUntil([&] {
                 return UiDriver::requestsTo(QStringLiteral("downloadSectorFile.php")).size()
                         - downloadsBefore
                     == sectorFiles.size()
                     && noRequestInFlight();
             }),
             "Every download was answered.");
    QCOMPARE(progressBar->property("value").toReal(), 0.25);
    QVERIFY2(progressBar->isVisible(), "The bar stays shown while files are pending.");
    QCOMPARE(status(), updatingText);
    QVERIFY(!checkButton->isEnabled());
    QVERIFY(!updateButton->isEnabled());
}

QTEST_MAIN(TestUpdatePage)
#include "tst_updatepage.moc"
