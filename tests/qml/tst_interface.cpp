#include "TestService.h"

#include "app/QMLWrapper.h"
#include "app/Startup.h"
#include "handlers/SelfUpdateHandler.h"
#include "handlers/SettingsHandler.h"
#include "handlers/UpdateHandler.h"
#include "handlers/UserHandler.h"
#include "net/RequestSender.h"

#include <QDataStream>
#include <QDesktopServices>
#include <QDir>
#include <QGuiApplication>
#include <QPointer>
#include <QQmlApplicationEngine>
#include <QQmlComponent>
#include <QQuickItem>
#include <QQuickWindow>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTimeZone>
#include <QTimer>

#include <ctime>
#include <memory>
#include <optional>

namespace {
// The sample service's account the tests log in with; the digest is written
// by sha1sum, not by the code under test, and its rating 5 reads "CTR1".
const QString demoId = QStringLiteral("1234567");
const QString demoDigest = QStringLiteral("fd92d2d6ef08152f1527ff45e2ebc006bb25e2c4");
bool preparedBeforeApplication = false;
QStringList qmlWarnings;
QtMessageHandler defaultHandler = nullptr;
const QString readyText = QStringLiteral("Ready to Update. Files to update: ");
const QString upToDateText = QStringLiteral("Up-to-date");
const QStringList sectorFiles
    = {QStringLiteral("Brenmar.sct"), QStringLiteral("Brenmar.ese"),
       QStringLiteral("Airports/BRM1.txt"), QStringLiteral("Data/fixes.txt")};
const QStringList tabs
    = {QStringLiteral("dashboardPlaceholder"), QStringLiteral("updatePlaceholder"),
       QStringLiteral("settingsPlaceholder"), QStringLiteral("aboutPlaceholder")};

// A time zone file (TZif version 1) of a zone one hour ahead of UTC that went
// over to summer time, two hours ahead, half an hour ago: exactly the hour in
// which shifting the local time by the zone offset shows a wrong UTC time.
QByteArray zoneThatJustChanged()
{
    const qint32 now = qint32(QDateTime::currentSecsSinceEpoch());
    QByteArray zone = QByteArray("TZif") + QByteArray(16, '\0');
    QDataStream out(&zone, QIODevice::Append);
    out << 0 << 0 << 0 << 2 << 2 << 8 << now - 24 * 3600 << now - 30 * 60 << qint8(0) << qint8(1)
        << 3600 << qint8(0) << qint8(0) << 7200 << qint8(1) << qint8(4);
    return zone.append("XST\0XDT\0", 8);
}

bool noRequestInFlight()
{
    return QmlSingletonType<UpdateHandler>::instance->findChildren<RequestSender *>().isEmpty()
        && QmlSingletonType<UserHandler>::instance->findChildren<RequestSender *>().isEmpty();
}

// Requests to this endpoint wait until the service releases them, then get
// their answer, or this HTTP status.
devservice::Fault held(const char *endpoint, int status = 0)
{
    devservice::Fault fault = faultOn(endpoint);
    fault.hold = true;
    fault.status = status;
    return fault;
}

// The next request to this endpoint (of this file) is answered 503.
devservice::Fault unavailable(const char *endpoint, const std::string &file = {})
{
    devservice::Fault fault = faultOn(endpoint, file);
    fault.status = 503;
    fault.times = 1;
    return fault;
}
} // namespace

// main()'s start and every page after it, on a start after a successful login
// (settings.dat holds the VATSIM ID and the digest sent then), in a zone that
// has just gone over to summer time. Any QML warning fails the test it shows in.
class TestInterface : public QObject
{
    Q_OBJECT

public Q_SLOTS:
    // Takes the place of the browser.
    void open(const QUrl &url) { opened.append(url); }

private Q_SLOTS:
    void initTestCase()
    {
        defaultHandler = qInstallMessageHandler(
            [](QtMsgType type, const QMessageLogContext &context, const QString &message) {
                if (type != QtDebugMsg && message.contains(QLatin1String("qrc:/")))
                    qmlWarnings.append(message);
                defaultHandler(type, context, message);
            });
        QVERIFY2(preparedBeforeApplication,
                 "High-DPI scaling was off or enhanced mouse input on before the "
                 "application existed.");
        const QDateTime now = QDateTime::currentDateTimeUtc();
        QVERIFY2(QTimeZone::systemTimeZone().offsetFromUtc(now) == 7200
                     && QTimeZone::systemTimeZone().offsetFromUtc(now.addSecs(-3600)) == 3600,
                 "The zone that went over to summer time half an hour ago is not in effect.");
        for (const char *scheme : {"http", "https"})
            QDesktopServices::setUrlHandler(QLatin1String(scheme), this, "open");
        // No voice client and no Discord are installed in the test locations.
        QStandardPaths::setTestModeEnabled(true);
        QVERIFY(
            QFile::copy(QStringLiteral(TARN_TEST_DATA_DIR "/../../samples/service/accounts.json"),
                        content.filePath(QStringLiteral("accounts.json"))));
        for (const QString &file : sectorFiles)
            QVERIFY(writeFile(content.filePath(QStringLiteral("sector/") + file), file.toUtf8()));
        QVERIFY(placeStandIn(euroscope));
        QVERIFY(QDir().mkpath(sectorFolder));
        resetTestService(content.path());
        testService().addFault(held("checkClient.php", 503));
        QVERIFY(writeSettingsFile({{QStringLiteral("username"), demoId},
                                   {QStringLiteral("hashedPassword"), demoDigest}}));
        // The native objects, the engine and the main window, in main()'s order.
        Startup::createNativeObjects();
        engine = std::make_unique<QQmlApplicationEngine>();
        Startup::loadMainWindow(*engine);
        QVERIFY2(window() && QTest::qWaitForWindowExposed(window()),
                 "The main window did not appear.");
        page = item(QStringLiteral("loginPage"));
    }

    void cleanup()
    {
        QVERIFY2(qmlWarnings.isEmpty(), qPrintable(qmlWarnings.join(QLatin1Char('\n'))));
    }

    void cleanupTestCase()
    {
        QQmlComponent probe(engine.get());
        probe.setData("import QtQml 2.0; import org.kelpix.qml 1.0; QtObject { "
                      "property QtObject relay: QMLWrapper }",
                      QUrl());
        QCOMPARE(std::unique_ptr<QObject>(probe.create())->property("relay").value<QObject *>(),
                 Startup::wrapper());
        QPointer<QMLWrapper> wrapper = Startup::wrapper();
        QPointer<UserHandler> user = QmlSingletonType<UserHandler>::instance;
        engine.reset();
        QVERIFY2(wrapper && !user,
                 "The engine kept a handler QML used, or deleted the program's relay it saw.");
        removeSettingsFile();
    }

    void splashWaitsForTheSelfUpdate()
    {
        QQuickItem *splash = item(QStringLiteral("splashScreen"));
        rendered(QStringLiteral("splash"));
        click(QStringLiteral("loginButton"));
        QVERIFY2(splash->isVisible() && page->state() == QLatin1String("main")
                     && requestFields(QStringLiteral("login.php")).isEmpty(),
                 "The login button beneath the splash took a click.");

        // A list the service refuses is an error at once, with its reason
        // below; the splash's own close button then ends the program.
        testService().releaseHeld();
        QVERIFY2(waitUntil([&] { return !text(QStringLiteral("text2")).isEmpty(); }),
                 "The failed self-update was not reported.");
        QCOMPARE(text(QStringLiteral("text2")), QStringLiteral("Error occurred during update."));
        QCOMPARE(text(QStringLiteral("errorReasonText")),
                 QStringLiteral("Could not get the program's file list: the service answered 503"));
        rendered(QStringLiteral("failure-splash"));
        QSignalSpy quit(engine.get(), &QQmlEngine::quit);
        QTimer::singleShot(0, this, [&] {
            click(QStringLiteral("closeButtonUpd"));
            // A click on a disabled button would reach the one beneath it.
            if (quit.isEmpty() || !item(QStringLiteral("closeButtonUpd"))->isEnabled())
                QCoreApplication::exit(1);
        });
        QCOMPARE(QGuiApplication::exec(), 0);

        // The relay passes the outcome on within its emission, and the splash
        // fades after an error as well.
        QSignalSpy relayed(Startup::wrapper(), &QMLWrapper::selfUpdated);
        Q_EMIT QmlSingletonType<SelfUpdateHandler>::instance->selfUpdated();
        QCOMPARE(relayed.count(), 1);
        QVERIFY2(waitUntil([splash] { return !splash->isVisible(); }),
                 "The splash did not fade out.");
        testService().clearFaults();

        // The remembered login, shown masked; nothing has the focus, so Return does nothing.
        QCOMPARE(text(QStringLiteral("loginInput")), demoId);
        QCOMPARE(text(QStringLiteral("passwordInput")), demoDigest);
        QVERIFY2(!text(QStringLiteral("passwordInput"), "displayText").contains(demoDigest.left(1)),
                 "The remembered password was not masked.");
        QTest::keyClick(window(), Qt::Key_Return);
        QVERIFY(waitUntil(noRequestInFlight)
                && requestFields(QStringLiteral("login.php")).isEmpty());
    }

    void loginAnswers_data()
    {
        QTest::addColumn<QString>("vatsimId");
        QTest::addColumn<QString>("password");
        QTest::addColumn<int>("key"); // 0: the button is clicked
        QTest::addColumn<QString>("sentDigest");
        QTest::addColumn<QString>("message");
        const QString wrong = QStringLiteral("wrong");
        const QString empty = QStringLiteral("Login and password can't be empty");
        // Written by sha1sum.
        const QString wrongDigest = QStringLiteral("a4b48a81cdab1e1a5dd37907d6c85ca1c61ddc7c");
        QTest::newRow("empty fields") << QString() << QString() << 0 << QString() << empty;
        QTest::newRow("ID alone") << demoId << QString() << int(Qt::Key_Return) << QString()
                                  << empty;
        QTest::newRow("keypad Enter")
            << demoId << wrong << int(Qt::Key_Enter) << QString() << empty;
        // The remembered login stays after a failure, and goes after a refusal.
        QTest::newRow("service unavailable")
            << demoId << wrong << int(Qt::Key_Return) << wrongDigest
            << QStringLiteral("Could not log in: the service answered 503");
        QTest::newRow("wrong password") << demoId << wrong << int(Qt::Key_Return) << wrongDigest
                                        << QStringLiteral("Wrong username or password");
    }

    void loginAnswers()
    {
        QFETCH(QString, vatsimId);
        QFETCH(QString, password);
        QFETCH(int, key);
        QFETCH(QString, sentDigest);
        QFETCH(QString, message);
        testService().clearRequests();
        if (message.endsWith(QLatin1String("503")))
            testService().addFault(unavailable("login.php"));
        typeInto(QStringLiteral("loginInput"), vatsimId);
        typeInto(QStringLiteral("passwordInput"), password);
        QSignalSpy states(page, &QQuickItem::stateChanged);
        if (key)
            QTest::keyClick(window(), Qt::Key(key),
                            key == Qt::Key_Enter ? Qt::KeypadModifier : Qt::NoModifier);
        else
            click(QStringLiteral("loginButton"));
        // A refusal from within the call blurs the page and sharpens it again
        // at once; the keypad's Enter does nothing.
        if (sentDigest.isEmpty())
            QCOMPARE(states.count(), key == Qt::Key_Enter ? 0 : 2);
        QVERIFY(waitUntil(
            [&] { return text(QStringLiteral("statusText")) == message && noRequestInFlight(); }));
        QCOMPARE(page->state(), QStringLiteral("main"));
        using Fields = QHash<QString, QString>;
        const Fields sent{{QStringLiteral("vatsimid"), vatsimId},
                          {QStringLiteral("password"), sentDigest}};
        QCOMPARE(requestFields(QStringLiteral("login.php")),
                 sentDigest.isEmpty() ? QList<Fields>() : QList<Fields>{sent});
        if (message.endsWith(QLatin1String("503"))) {
            rendered(QStringLiteral("failure-login"));
            QCOMPARE(settings()->value(QStringLiteral("hashedPassword")).toString(), demoDigest);
        }
    }

    // The help link opens the page that tells how to get a code; the login
    // then shows the identity and both clocks.
    void loginShowsIdentityAndClocks()
    {
        QQuickItem *link = item(QStringLiteral("registerLink"));
        click(link, QPointF(10, link->height() / 2));
        QCOMPARE(opened, {QUrl(QStringLiteral("https://www.tarn-atc.example/#code"))});
        rendered(QStringLiteral("login"));
        const QStringList clocks = {QStringLiteral("utcTimePlaceholderValue"),
                                    QStringLiteral("localTimePlaceholderValue")};
        const auto shownTimes = [&]() -> QString { return text(clocks[0]) + text(clocks[1]); };
        QObject *stack = object(QStringLiteral("rootStackView"));
        typeInto(QStringLiteral("loginInput"), demoId);
        typeInto(QStringLiteral("passwordInput"), QStringLiteral("tarn-demo"));
        click(QStringLiteral("loginButton"));
        const auto laidOut = [stack] {
            return stack->property("depth").toInt() == 2 && !stack->property("busy").toBool();
        };
        QVERIFY2(waitUntil(laidOut, 20000), "The login did not bring in the main layout.");
        QCOMPARE(text(QStringLiteral("vatsimIdPlaceholderValue")), demoId);
        QCOMPARE(text(QStringLiteral("ratingPlaceholderValue")), QStringLiteral("CTR1"));

        const QDateTime before = QDateTime::currentDateTimeUtc();
        QVERIFY(QMetaObject::invokeMethod(object(QStringLiteral("topBarMain")), "updateTime"));
        const QDateTime after = QDateTime::currentDateTimeUtc();
        const auto shows = [&](int clock, const QDateTime &utc) {
            return text(clocks[clock])
                == (clock ? utc.toLocalTime() : utc).toString(QStringLiteral("hh:mm:ss"));
        };
        for (const int clock : {0, 1})
            QVERIFY2(shows(clock, before) || shows(clock, after),
                     qPrintable(text(clocks[clock]) + QStringLiteral(" is the time it shows.")));
        const QString shown = shownTimes();
        QVERIFY2(waitUntil([&] {
                     const QString now = shownTimes();
                     return now.left(8) != shown.left(8) && now.mid(8) != shown.mid(8);
                 }),
                 "Both clocks moved on by themselves.");
    }

    void tabsSwitchPages_data()
    {
        QTest::addColumn<int>("index");
        for (const int index : {3, 1, 2, 0})
            QTest::newRow(qPrintable(tabs[index])) << index;
    }

    void tabsSwitchPages()
    {
        QFETCH(int, index);
        QQuickItem *view = item(QStringLiteral("mainSwipeView"));
        QVERIFY2(showPage(tabs.at(index)), "The page did not slide in.");
        for (int i = 0; i < tabs.size(); ++i)
            QVERIFY2(item(tabs[i] + QStringLiteral("Marker"))->isVisible() == (i == index),
                     "Another tab than the shown page's was marked, or none.");
        QCOMPARE(item(tabs[index].chopped(11) + QStringLiteral("Page"))->mapToItem(view, QPointF()),
                 QPointF());
        rendered(tabs[index].chopped(11));
    }

    void dialogsStoreChosenPaths()
    {
        QVERIFY(showPage(tabs[2]));
        for (const QString &row : {QStringLiteral("es"), QStringLiteral("sector")}) {
            const QString chosen = row == QLatin1String("es") ? euroscope : sectorFolder;
            QObject *dialog = object(row + QStringLiteral("PathDialog"));
            QCOMPARE(text(row + QStringLiteral("PathText")), QStringLiteral("Empty"));
            // Chosen, then opened and cancelled, which changes nothing.
            for (const bool accept : {true, false}) {
                click(row + QStringLiteral("OpenButton"));
                QVERIFY2(dialog->property("visible").toBool(), "\"Open\" did not show the dialog.");
                if (accept)
                    QMetaObject::invokeMethod(dialog, "addSelection",
                                              Q_ARG(QUrl, QUrl::fromLocalFile(chosen)));
                QMetaObject::invokeMethod(dialog, accept ? "accept" : "reject");
                QCOMPARE(text(row + QStringLiteral("PathText")), QDir::toNativeSeparators(chosen));
            }
        }
        QCOMPARE(settings()->euroscopePath(), fileUrl(euroscope));
        QCOMPARE(settings()->sectorPath(), fileUrl(sectorFolder));
    }

    void dashboardStartsEuroscopeAndOpensDiscord()
    {
        QVERIFY(showPage(tabs[0]));
        opened.clear();
        const QString chosen = settings()->euroscopePath();
        settings()->setEuroscopePath(fileUrl(files.filePath(QStringLiteral("gone.exe"))));
        click(QStringLiteral("launchEuroscopeButton"));
        QCOMPARE(text(QStringLiteral("statusText1")), QStringLiteral("Euroscope not found"));
        QCOMPARE(text(QStringLiteral("statusText1"), "color"), loginErrorColour());
        rendered(QStringLiteral("failure-dashboard"));
        settings()->setEuroscopePath(chosen);
        click(QStringLiteral("launchEuroscopeButton"));
        QCOMPARE(text(QStringLiteral("statusText1")), QStringLiteral("AFV not found"));
        QVERIFY2(!waitForRecord(euroscope).isEmpty(), "EuroScope was not started.");
        click(QStringLiteral("launchDiscordButton"));
        QCOMPARE(opened.size(), 1);
        QCOMPARE(opened.first().host(), QStringLiteral("chat.tarn-atc.example"));
    }

    void updateRunsFromCheckToTheEnd()
    {
        QVERIFY(showPage(tabs[1]));
        progressBar = item(QStringLiteral("progressBar"));
        QVERIFY(usable(true, false));
        // No sector folder, then one that does not exist: both are answered
        // before the click returns, and "Check" stays usable.
        for (const QString &path : {QString(), fileUrl(files.filePath(QStringLiteral("missing")))}) {
            settings()->setSectorPath(path);
            click(QStringLiteral("checkButton"));
            QCOMPARE(status(),
                     QStringLiteral("Sector folder error! Check sector path in the Settings!"));
            QVERIFY(usable(true, false));
        }
        settings()->setSectorPath(fileUrl(sectorFolder));
        // A list the service refuses: the reason in red, "Check" usable again.
        testService().addFault(unavailable("getfilelist.php"));
        click(QStringLiteral("checkButton"));
        QVERIFY(
            waitForStatus(QStringLiteral("Could not get the file list: the service answered 503")));
        QVERIFY(usable(true, false));
        rendered(QStringLiteral("failure-check"));

        testService().addFault(held("getfilelist.php"));
        click(QStringLiteral("checkButton"));
        QCOMPARE(status(), QStringLiteral("Checking for update..."));
        QVERIFY2(usable(false, false), "A button was usable while the list was awaited.");
        releaseService(readyText + QStringLiteral("4"));
        QVERIFY(usable(true, true) && !progressBar->isVisible());

        testService().addFault(held("downloadSectorFile.php"));
        click(QStringLiteral("updateButton"));
        QCOMPARE(status(), QStringLiteral("Updating..."));
        QVERIFY2(progressBar->isVisible() && usable(false, false),
                 "The progress bar was hidden or a button usable while the update ran.");
        releaseService(upToDateText);
        QVERIFY(usable(true, false) && !progressBar->isVisible());
        for (const QString &file : sectorFiles)
            QCOMPARE(readFile(sectorFolder + QLatin1Char('/') + file), file.toUtf8());
        QVERIFY2(checkFinds(0) && usable(true, false),
                 "A check right after the update found something to do.");
    }

    // A file that cannot be written and one the service does not send: both
    // counted in red; "Update" then fetches only the one that failed to come,
    // and the file that cannot be written fails alone at the next update.
    void failuresAreReportedInRedUntilTheNextCheck()
    {
        // A folder where the file belongs: the new version cannot be put there.
        const QString blocked = sectorFolder + QStringLiteral("/Airports/BRM1.txt");
        for (const QString &file : {sectorFiles[2], sectorFiles[3]})
            QVERIFY(writeFile(content.filePath(QStringLiteral("sector/") + file), file.toUtf8(),
                              QDateTime::currentDateTime().addDays(1)));
        QVERIFY(QFile::remove(blocked) && QDir().mkpath(blocked));
        const auto colour = [this] { return text(QStringLiteral("textDebug"), "color"); };
        const QString grey = colour();

        QVERIFY(checkFinds(2));
        testService().addFault(unavailable("downloadSectorFile.php", "//Data/fixes.txt"));
        click(QStringLiteral("updateButton"));
        QVERIFY(
            waitForStatus(QStringLiteral("Update finished, but 2 files could not be downloaded.")));
        QCOMPARE(colour(), loginErrorColour());
        QVERIFY(usable(true, true) && !progressBar->isVisible());
        rendered(QStringLiteral("failure-update"));
        testService().clearRequests();
        click(QStringLiteral("updateButton"));
        QVERIFY(waitForStatus(upToDateText));
        QCOMPARE(requestFields(QStringLiteral("downloadSectorFile.php")),
                 (QList<QHash<QString, QString>>{
                     {{QStringLiteral("file"), QStringLiteral("//Data/fixes.txt")}}}));
        QVERIFY(checkFinds(1));
        QCOMPARE(colour(), grey);
        click(QStringLiteral("updateButton"));
        QVERIFY(
            waitForStatus(QStringLiteral("Update finished, but 1 file could not be downloaded.")));
        QVERIFY(QDir(blocked).removeRecursively() && checkFinds(1));
    }

    void updatePressedDuringACheckRunsToTheEnd()
    {
        // "Update" stays offered while a new check is under way. Pressed then, the
        // check's answer comes in while the download is held back.
        testService().addFault(held("getfilelist.php"));
        testService().addFault(held("downloadSectorFile.php"));
        click(QStringLiteral("checkButton"));
        click(QStringLiteral("updateButton"));
        QCOMPARE(status(), QStringLiteral("Updating..."));
        testService().releaseHeld("getfilelist.php");
        QVERIFY(waitUntil([this] { return status().startsWith(readyText); }));
        QVERIFY2(progressBar->isVisible() && usable(true, true),
                 "The progress bar or a button was gone while the download ran.");
        releaseService(upToDateText);
        QVERIFY(!progressBar->isVisible() && usable(true, true));

        // Nothing is pending any more: the update completes within the click.
        click(QStringLiteral("updateButton"));
        QCOMPARE(status(), upToDateText);
        QVERIFY(usable(true, false) && !progressBar->isVisible());
    }

private:
    // Works the interface the way a user would: clicks, key presses and
    // pointer moves on the real window.
    QQuickWindow *window() const
    {
        return qobject_cast<QQuickWindow *>(engine->rootObjects().value(0));
    }

    // The object with this objectName anywhere in the window's scene,
    // non-visual objects (timers, dialogs) included; null when there is none.
    QObject *object(const QString &objectName) const
    {
        return window()->findChild<QObject *>(objectName);
    }
    QQuickItem *item(const QString &objectName) const
    {
        return qobject_cast<QQuickItem *>(object(objectName));
    }
    QString text(const QString &objectName, const char *property = "text") const
    {
        return object(objectName)->property(property).toString();
    }

    // At a point of the item in its own coordinates, or at its centre.
    void click(const QQuickItem *item, std::optional<QPointF> local = {}) const
    {
        const QPointF point = local.value_or(QPointF(item->width() / 2, item->height() / 2));
        QTest::mouseClick(window(), Qt::LeftButton, Qt::NoModifier,
                          item->mapToScene(point).toPoint());
    }
    void click(const QString &objectName) const { click(item(objectName)); }
    // Clicks into the field, selects what it holds and types Latin-1 text over
    // it, one key at a time: QTest types whole strings into widgets only.
    void typeInto(const QString &field, const QString &text) const
    {
        click(field);
        QTest::keySequence(window(), QKeySequence::SelectAll);
        QTest::keyClick(window(), Qt::Key_Delete);
        for (const QChar character : text)
            QTest::keyClick(window(), character.toLatin1());
    }

    // Clicks a tab of the main layout and waits until its page has slid in.
    bool showPage(const QString &tabName) const
    {
        QQuickItem *view = item(QStringLiteral("mainSwipeView"));
        click(tabName);
        auto *list = view->property("contentItem").value<QQuickItem *>();
        return waitUntil([view, list] {
            return qFuzzyCompare(list->property("contentX").toReal() + 1,
                                 view->property("currentIndex").toInt() * view->width() + 1);
        });
    }

    QString status() const { return text(QStringLiteral("textDebug")); }
    // The red of the login page's messages, which every page's errors share.
    QString loginErrorColour() const { return text(QStringLiteral("statusText"), "color"); }

    // Saves the window as a PNG file when TARN_SCREENSHOT_DIR names a folder
    // (scripts/screenshots, for the README).
    void rendered(const QString &name)
    {
        const QString folder = qEnvironmentVariable("TARN_SCREENSHOT_DIR");
        // To a corner of the window where nothing reacts to the pointer.
        QTest::mouseMove(window(), QPoint(5, 5));
        QVERIFY(
            folder.isEmpty()
            || window()->grabWindow().save(QDir(folder).filePath(name + QStringLiteral(".png"))));
    }

    bool waitForStatus(const QString &text) const
    {
        const bool shown = waitUntil([&] { return status() == text && noRequestInFlight(); });
        if (!shown)
            qWarning("The status line reads \"%s\".", qPrintable(status()));
        return shown;
    }

    // Answers what the service holds back; the faults go only once nothing waits.
    void releaseService(const QString &shown)
    {
        testService().releaseHeld();
        QVERIFY(waitForStatus(shown));
        testService().clearFaults();
    }

    bool checkFinds(int files)
    {
        click(QStringLiteral("checkButton"));
        return waitForStatus(files ? readyText + QString::number(files) : upToDateText);
    }

    // Which of "Check" and "Update" take a click; a disabled "Update" is dimmed.
    bool usable(bool check, bool update) const
    {
        QObject *background = object(QStringLiteral("updateButtonBackground"));
        return item(QStringLiteral("checkButton"))->isEnabled() == check
            && item(QStringLiteral("updateButton"))->isEnabled() == update
            && (update || background->property("opacity").toReal() < 1);
    }

    QTemporaryDir content;
    QTemporaryDir files;
    const QString euroscope = files.filePath(QStringLiteral("EuroScope.exe"));
    const QString sectorFolder = files.filePath(QStringLiteral("Sector"));
    std::unique_ptr<QQmlApplicationEngine> engine;
    QQuickItem *page = nullptr;
    QQuickItem *progressBar = nullptr;
    QList<QUrl> opened;
};

int main(int argc, char *argv[])
{
    // Both the C library and Qt look a relative zone name up below the
    // system's zone folder; the zone must be in place before anything reads it.
    const QTemporaryDir zoneFolder;
    const QString zone = zoneFolder.filePath(QStringLiteral("XST"));
    if (!writeFile(zone, zoneThatJustChanged()))
        return 1;
    qputenv("TZ",
            QFile::encodeName(QDir(QStringLiteral("/usr/share/zoneinfo")).relativeFilePath(zone)));
    tzset();
    const QSslConfiguration tls = Startup::prepareProcess();
    preparedBeforeApplication = qgetenv("QT_QPA_DISABLE_ENHANCED_MOUSE") == "1"
        && QCoreApplication::testAttribute(Qt::AA_EnableHighDpiScaling);
    QGuiApplication application(argc, argv);
    TestInterface test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_interface.moc"
