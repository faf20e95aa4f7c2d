#include "UiDriver.h"

#include "app/QMLWrapper.h"
#include "handlers/SelfUpdateHandler.h"
#include "handlers/SettingsHandler.h"
#include "handlers/UpdateHandler.h"
#include "handlers/UserHandler.h"
#include "net/RequestSender.h"

#include <QColor>
#include <QDataStream>
#include <QDesktopServices>
#include <QDir>
#include <QFontMetricsF>
#include <QGuiApplication>
#include <QPointer>
#include <QQmlComponent>
#include <QQmlProperty>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTimeZone>
#include <QTimer>

#include <ctime>

namespace {
bool preparedBeforeApplication = false;
QStringList qmlWarnings;
QtMessageHandler defaultHandler = nullptr;
const QString emptyMessage = QStringLiteral("Login and password can't be empty");
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

// Requests to this endpoint wait until the service releases them.
devservice::Fault held(const char *endpoint)
{
    devservice::Fault made;
    made.endpoint = endpoint;
    made.hold = true;
    return made;
}
} // namespace

// main()'s start and every page after it, on a start after a successful login
// (settings.dat holds the VATSIM ID and the digest sent then), in a zone that
// has just gone over to summer time. Any QML warning fails the test it shows in.
class TestInterface : public QObject
{
    Q_OBJECT

public Q_SLOTS:
    // Takes the place of the browser and the mail program.
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
                 "High-DPI scaling was on and enhanced mouse input "
                 "off before the application existed.");
        const QDateTime now = QDateTime::currentDateTimeUtc();
        QVERIFY2(QTimeZone::systemTimeZone().offsetFromUtc(now) == 7200
                     && QTimeZone::systemTimeZone().offsetFromUtc(now.addSecs(-3600)) == 3600,
                 "The zone that went over to summer time half an hour ago is in effect.");
        for (const char *scheme : {"http", "https", "mailto"})
            QDesktopServices::setUrlHandler(QLatin1String(scheme), this, "open");
        // No voice client and no Discord are installed in the test locations.
        QStandardPaths::setTestModeEnabled(true);
        QVERIFY(writeFile(content.filePath(QStringLiteral("accounts.json")),
                          DemoAccount::accountsJson));
        for (const QString &file : sectorFiles)
            QVERIFY(writeFile(content.filePath(QStringLiteral("sector/") + file), file.toUtf8()));
        // EuroScope is a shell script that notes each start.
        QVERIFY(writeFile(
            euroscope, "#!/bin/sh\necho started >> '" + QFile::encodeName(euroscope) + ".log'\n"));
        QVERIFY(QFile::setPermissions(euroscope, QFile::ReadOwner | QFile::ExeOwner));
        QVERIFY(QDir().mkpath(sectorFolder));
        resetTestService(content.path());
        testService().addFault(held("checkClient.php"));
        QVERIFY(writeSettingsFile({{QStringLiteral("username"), DemoAccount::vatsimId},
                                   {QStringLiteral("hashedPassword"), DemoAccount::digest}}));
        QVERIFY2(ui.start(), "The main window appeared.");
        page = ui.item(QStringLiteral("loginPage"));
    }

    void cleanup()
    {
        QVERIFY2(qmlWarnings.isEmpty(), qPrintable(qmlWarnings.join(QLatin1Char('\n'))));
    }

    void cleanupTestCase()
    {
        QQmlComponent probe(ui.engine.get());
        probe.setData("import QtQml 2.0; import org.kelpix.qml 1.0; QtObject { "
                      "property QtObject relay: QMLWrapper }",
                      QUrl());
        std::unique_ptr<QObject> made(probe.create());
        QCOMPARE(made->property("relay").value<QObject *>(), Startup::wrapper());
        made.reset();
        QPointer<QMLWrapper> wrapper = Startup::wrapper();
        QPointer<UserHandler> user = QmlSingletonType<UserHandler>::instance;
        ui.engine.reset();
        QVERIFY2(wrapper && !user,
                 "The engine deleted the handlers QML used, not the program's relay it saw.");
        removeSettingsFile();
    }

    void splashWaitsForTheSelfUpdate()
    {
        QQuickItem *splash = ui.item(QStringLiteral("splashScreen"));
        QVERIFY(splash->isVisible());
        rendered(QStringLiteral("splash"));
        ui.click(ui.item(QStringLiteral("loginButton")));
        QVERIFY2(page->state() == QLatin1String("main")
                     && requestFields(QStringLiteral("login.php")).isEmpty(),
                 "The login button beneath the splash took no click.");

        QQuickWindow *window = ui.window();
        const QPoint start(100, 100);
        window->setPosition(start);
        QVERIFY(waitUntil([&] { return window->position() == start; }));
        const QPoint grip = UiDriver::at(ui.item(QStringLiteral("topBar")), QPointF(300, 12));
        QTest::mousePress(window, Qt::LeftButton, Qt::NoModifier, grip);
        QTest::mouseMove(window, grip + QPoint(30, 10));
        QVERIFY2(waitUntil([&] { return window->position() == start + QPoint(30, 10); }),
                 "Dragging the top bar moved the window by the pointer's way.");
        // The pressed point is under the pointer again: releasing there moves nothing more.
        QTest::mouseRelease(window, Qt::LeftButton, Qt::NoModifier, grip);
        QCOMPARE(window->position(), start + QPoint(30, 10));

        Q_EMIT QmlSingletonType<SelfUpdateHandler>::instance->errorFound();
        QCOMPARE(ui.text(QStringLiteral("text2")), QStringLiteral("Error occurred during update."));
        QVERIFY2(ui.item(QStringLiteral("closeButtonUpd"))->isEnabled(),
                 "The splash offers its own close button after the error.");
        QSignalSpy quit(ui.engine.get(), &QQmlEngine::quit);
        QTimer::singleShot(0, this, [&] {
            ui.click(ui.item(QStringLiteral("closeButtonUpd")));
            if (quit.isEmpty())
                QCoreApplication::exit(1);
        });
        QCOMPARE(QGuiApplication::exec(), 0);

        // The relay passes the outcome on within its emission, and the splash
        // fades after an error as well.
        QSignalSpy relayed(Startup::wrapper(), &QMLWrapper::selfUpdated);
        Q_EMIT QmlSingletonType<SelfUpdateHandler>::instance->selfUpdated();
        QCOMPARE(relayed.count(), 1);
        QVERIFY2(waitUntil([splash] { return !splash->isVisible(); }), "The splash faded out.");
        // A held answer must have gone out before the faults are dropped.
        QSignalSpy answered(QmlSingletonType<SelfUpdateHandler>::instance,
                            &SelfUpdateHandler::selfUpdated);
        testService().releaseHeld();
        QVERIFY(waitForSignals(answered));
        testService().clearFaults();

        // The remembered login, shown masked; nothing has the focus, so Return does nothing.
        QCOMPARE(ui.text(QStringLiteral("loginInput")), DemoAccount::vatsimId);
        QCOMPARE(ui.text(QStringLiteral("passwordInput")), DemoAccount::digest);
        const QString masked
            = ui.object(QStringLiteral("passwordInput"))->property("displayText").toString();
        QVERIFY2(!masked.contains(DemoAccount::digest.left(1)),
                 "The remembered password is masked.");
        ui.pressKey(Qt::Key_Return);
        QVERIFY(waitUntil(noRequestInFlight)
                && requestFields(QStringLiteral("login.php")).isEmpty());
    }

    void loginAnswers_data()
    {
        QTest::addColumn<QString>("vatsimId");
        QTest::addColumn<QString>("password");
        QTest::addColumn<int>("key"); // 0: the button is clicked
        QTest::addColumn<QString>("message");
        QTest::addColumn<QString>("sentDigest");
        const QString id = DemoAccount::vatsimId;
        const QString wrong = QStringLiteral("wrong");
        QTest::newRow("empty fields") << QString() << QString() << 0 << emptyMessage << QString();
        QTest::newRow("ID alone") << id << QString() << int(Qt::Key_Return) << emptyMessage
                                  << QString();
        QTest::newRow("keypad Enter")
            << id << wrong << int(Qt::Key_Enter) << emptyMessage << QString();
        // Written by sha1sum.
        QTest::newRow("wrong password")
            << id << wrong << int(Qt::Key_Return) << QStringLiteral("Wrong username or password")
            << QStringLiteral("a4b48a81cdab1e1a5dd37907d6c85ca1c61ddc7c");
    }

    void loginAnswers()
    {
        QFETCH(QString, vatsimId);
        QFETCH(QString, password);
        QFETCH(int, key);
        QFETCH(QString, message);
        QFETCH(QString, sentDigest);
        ui.typeInto(QStringLiteral("loginInput"), vatsimId);
        ui.typeInto(QStringLiteral("passwordInput"), password);
        QSignalSpy states(page, &QQuickItem::stateChanged);
        if (key)
            ui.pressKey(Qt::Key(key), key == Qt::Key_Enter ? Qt::KeypadModifier : Qt::NoModifier);
        else
            ui.click(ui.item(QStringLiteral("loginButton")));
        // A refusal from within the call blurs the page and sharpens it again at once.
        QCOMPARE(states.count(), key ? states.count() : 2);
        QVERIFY(waitUntil([&] {
            return ui.text(QStringLiteral("statusText")) == message && noRequestInFlight();
        }));
        QCOMPARE(page->state(), QStringLiteral("main"));
        QCOMPARE(ui.text(QStringLiteral("loginInput")), vatsimId);
        QCOMPARE(ui.text(QStringLiteral("passwordInput")), password);
        const auto sent = requestFields(QStringLiteral("login.php"));
        QCOMPARE(sent.size(), sentDigest.isEmpty() ? 0 : 1);
        QCOMPARE(sent.value(0).value(QStringLiteral("vatsimid")),
                 sentDigest.isEmpty() ? QString() : vatsimId);
        QCOMPARE(sent.value(0).value(QStringLiteral("password")), sentDigest);
    }

    void loginHelp()
    {
        QVERIFY(showsToolTip(QStringLiteral("loginInput"), QStringLiteral("VATSIM ID")));
        QVERIFY(showsToolTip(QStringLiteral("passwordInput"), QStringLiteral("Tarn password")));
        QQuickItem *link = ui.item(QStringLiteral("registerLink"));
        ui.click(link, QPointF(10, link->height() / 2));
        QCOMPARE(opened, {QUrl(QStringLiteral("https://www.tarn-atc.example/#code"))});
        rendered(QStringLiteral("login"));
    }

    void loginShowsIdentityAndClocks()
    {
        const QStringList clocks = {QStringLiteral("utcTimePlaceholderValue"),
                                    QStringLiteral("localTimePlaceholderValue")};
        // Read right after the main window has pushed the layout, before any
        // timer could have fired.
        QStringList atCreation;
        const auto probe = connect(
            QmlSingletonType<UserHandler>::instance, &UserHandler::loginCompleted, this, [&] {
                atCreation = QStringList{ui.text(clocks[0]), ui.text(clocks[1])};
            });
        QVERIFY2(ui.logIn(DemoAccount::vatsimId, DemoAccount::password), "The login succeeded.");
        disconnect(probe);
        QCOMPARE(ui.text(QStringLiteral("vatsimIdPlaceholderValue")), DemoAccount::vatsimId);
        QCOMPARE(ui.text(QStringLiteral("ratingPlaceholderValue")), QStringLiteral("CTR1"));
        const QString format = QStringLiteral("hh:mm:ss");
        QVERIFY2(QTime::fromString(atCreation.value(0), format).isValid()
                     && QTime::fromString(atCreation.value(1), format).isValid(),
                 "The clocks were set when the layout was made.");

        const QDateTime before = QDateTime::currentDateTimeUtc();
        QVERIFY(QMetaObject::invokeMethod(ui.object(QStringLiteral("topBarMain")), "updateTime"));
        const QDateTime after = QDateTime::currentDateTimeUtc();
        const auto shows = [&](int clock, const QDateTime &utc) {
            return ui.text(clocks[clock]) == (clock ? utc.toLocalTime() : utc).toString(format);
        };
        for (const int clock : {0, 1})
            QVERIFY2(shows(clock, before) || shows(clock, after),
                     qPrintable(ui.text(clocks[clock]) + QStringLiteral(" is the time it shows.")));
        const QStringList shown = {ui.text(clocks[0]), ui.text(clocks[1])};
        QVERIFY2(waitUntil([&] {
                     return ui.text(clocks[0]) != shown[0] && ui.text(clocks[1]) != shown[1];
                 }),
                 "Both clocks moved on by themselves.");
    }

    void tabsSwitchPagesAndSwipesDoNot_data()
    {
        QTest::addColumn<int>("index");
        for (const int index : {3, 1, 2, 0})
            QTest::newRow(qPrintable(tabs[index])) << index;
    }

    void tabsSwitchPagesAndSwipesDoNot()
    {
        QFETCH(int, index);
        const QString pageName = tabs[index].chopped(11);
        QQuickItem *view = ui.item(QStringLiteral("mainSwipeView"));
        QVERIFY2(ui.showPage(tabs.at(index)), "The page slid in.");
        const auto shown = [&] {
            for (int i = 0; i < tabs.size(); ++i) {
                if (ui.item(tabs.at(i) + QStringLiteral("Marker"))->isVisible() != (i == index))
                    return false;
            }
            return ui.item(pageName + QStringLiteral("Page"))->mapToItem(view, QPointF())
                == QPointF();
        };
        QVERIFY2(shown(), "The page is shown and only its tab is marked.");
        // Dragged towards the next page.
        const QPoint from = UiDriver::at(view, QPointF(600, 200));
        QTest::mousePress(ui.window(), Qt::LeftButton, Qt::NoModifier, from);
        for (int step = 1; step <= 10; ++step)
            QTest::mouseMove(ui.window(), from - QPoint(step * 50, 0));
        QTest::mouseRelease(ui.window(), Qt::LeftButton, Qt::NoModifier, from - QPoint(500, 0));
        QVERIFY2(shown(), "A swipe changed nothing.");
        rendered(pageName);
    }

    void dialogsStoreChosenPaths()
    {
        QVERIFY(ui.showPage(tabs[2]));
        QVERIFY(showsToolTip(QStringLiteral("sectorRowContainer"), QStringLiteral("Sector folder")));
        for (const QString &row : {QStringLiteral("es"), QStringLiteral("sector")}) {
            const QString chosen = row == QLatin1String("es") ? euroscope : sectorFolder;
            QObject *dialog = ui.object(row + QStringLiteral("PathDialog"));
            QCOMPARE(ui.text(row + QStringLiteral("PathText")), QStringLiteral("Empty"));
            // Chosen, then opened and cancelled, which changes nothing.
            for (const bool accept : {true, false}) {
                ui.click(ui.item(row + QStringLiteral("OpenButton")));
                QVERIFY2(dialog->property("visible").toBool(), "\"Open\" showed the dialog.");
                bool added = false;
                QMetaObject::invokeMethod(dialog, "clearSelection");
                if (accept)
                    QMetaObject::invokeMethod(dialog, "addSelection", Q_RETURN_ARG(bool, added),
                                              Q_ARG(QUrl, QUrl::fromLocalFile(chosen)));
                QVERIFY2(added || !accept, "The dialog took the existing path.");
                QMetaObject::invokeMethod(dialog, accept ? "accept" : "reject");
                QCOMPARE(ui.text(row + QStringLiteral("PathText")),
                         QDir::toNativeSeparators(chosen));
            }
        }
        QCOMPARE(settings()->euroscopePath(), fileUrl(euroscope));
        QCOMPARE(settings()->sectorPath(), fileUrl(sectorFolder));

        // A short word, then one far longer than the row: breaking at words only
        // would end the first line after the short word.
        const QString longPath = QStringLiteral("/srv/Brenmar ") + QString(300, QLatin1Char('y'));
        settings()->setSectorPath(fileUrl(longPath));
        QQuickItem *shown = ui.item(QStringLiteral("sectorPathText"));
        const qreal used = shown->property("contentWidth").toReal();
        QVERIFY2(shown->property("text").toString() == longPath
                     && shown->property("lineCount").toInt() == 1 && used > shown->width() - 16
                     && used <= shown->width(),
                 "A long path fills one line of the row, without an ellipsis.");
    }

    void dashboardStartsEuroscopeAndOpensDiscord()
    {
        QVERIFY(ui.showPage(tabs[0]));
        opened.clear();
        ui.click(ui.item(QStringLiteral("launchEuroscopeButton")));
        QCOMPARE(ui.text(QStringLiteral("statusText1")), QStringLiteral("AFV not found"));
        QVERIFY2(
            waitUntil([&] { return readFile(euroscope + QStringLiteral(".log")) == "started\n"; }),
            "EuroScope was started.");
        ui.click(ui.item(QStringLiteral("launchDiscordButton")));
        QCOMPARE(opened.size(), 1);
        QCOMPARE(opened.first().host(), QStringLiteral("chat.tarn-atc.example"));
    }

    void updateRunsFromCheckToTheEnd()
    {
        QVERIFY(ui.showPage(tabs[1]));
        progressBar = ui.item(QStringLiteral("progressBar"));
        QCOMPARE(status(), QStringLiteral("Press 'Check' to check update"));
        QVERIFY(usable(true, false));
        // No sector folder, then one that does not exist: both are answered
        // before the click returns, and "Check" stays usable.
        for (const QString &path : {QString(), fileUrl(files.filePath(QStringLiteral("missing")))}) {
            settings()->setSectorPath(path);
            ui.click(ui.item(QStringLiteral("checkButton")));
            QCOMPARE(status(),
                     QStringLiteral("Sector folder error! Check sector path in the Settings!"));
            QVERIFY(usable(true, false));
        }
        settings()->setSectorPath(fileUrl(sectorFolder));

        testService().addFault(held("getfilelist.php"));
        ui.click(ui.item(QStringLiteral("checkButton")));
        QCOMPARE(status(), QStringLiteral("Checking for update..."));
        QVERIFY2(usable(false, false), "Neither button is usable while the list is awaited.");
        releaseService(readyText + QStringLiteral("4"));
        QVERIFY(usable(true, true) && !progressBar->isVisible());
        QVERIFY(ui.showPage(tabs[2]) && ui.showPage(tabs[1]));
        QCOMPARE(status(), readyText + QStringLiteral("4"));

        testService().addFault(held("downloadSectorFile.php"));
        ui.click(ui.item(QStringLiteral("updateButton")));
        QCOMPARE(status(), QStringLiteral("Updating..."));
        QVERIFY2(progressBar->isVisible() && usable(false, false),
                 "The progress bar shows and neither button is usable while the update runs.");
        releaseService(upToDateText);
        QVERIFY(usable(true, false) && !progressBar->isVisible());
        for (const QString &file : sectorFiles)
            QCOMPARE(readFile(sectorFolder + QLatin1Char('/') + file), file.toUtf8());
        QVERIFY2(checkFinds(0), "A check right after the update finds nothing to do.");
        QVERIFY(usable(true, false));
    }

    void writeFailureIsReportedInRedUntilTheNextCheck()
    {
        // A folder where the file belongs: the new version cannot be put there.
        const QString blocked = sectorFolder + QStringLiteral("/Airports/BRM1.txt");
        QVERIFY(setModificationTime(content.filePath(QStringLiteral("sector/Airports/BRM1.txt")),
                                    QDateTime::currentDateTime().addDays(1)));
        QVERIFY(QFile::remove(blocked) && QDir().mkpath(blocked));
        const auto colour = [this] {
            return ui.object(QStringLiteral("textDebug"))->property("color").value<QColor>();
        };
        const QColor grey = colour();

        QVERIFY(checkFinds(1));
        ui.click(ui.item(QStringLiteral("updateButton")));
        QVERIFY(waitForStatus(QStringLiteral("Update finished, but 1 file could not be written.")));
        QCOMPARE(colour(), QColor(0xff, 0, 0));
        QVERIFY(usable(true, false) && !progressBar->isVisible());
        QVERIFY(checkFinds(1));
        QCOMPARE(colour(), grey);
        QVERIFY(QDir(blocked).removeRecursively());
    }

    void updatePressedDuringACheckRunsToTheEnd()
    {
        // "Update" stays offered while a new check is under way. Pressed then, the
        // check's answer comes in while the download is held back.
        devservice::Fault slowList;
        slowList.endpoint = "getfilelist.php";
        slowList.times = 1;
        slowList.delay = std::chrono::seconds(2);
        testService().addFault(slowList);
        testService().addFault(held("downloadSectorFile.php"));
        ui.click(ui.item(QStringLiteral("checkButton")));
        ui.click(ui.item(QStringLiteral("updateButton")));
        QCOMPARE(status(), QStringLiteral("Updating..."));
        QVERIFY(waitUntil([this] { return status().startsWith(readyText); }));
        QVERIFY2(progressBar->isVisible() && usable(true, true),
                 "The bar stays while the download runs.");
        releaseService(upToDateText);
        QVERIFY(!progressBar->isVisible() && usable(true, true));

        // Nothing is pending any more: the update completes within the click.
        ui.click(ui.item(QStringLiteral("updateButton")));
        QCOMPARE(status(), upToDateText);
        QVERIFY(usable(true, false) && !progressBar->isVisible());
    }

    void aboutLinksOpenTheirTargets()
    {
        QVERIFY(ui.showPage(tabs[3]));
        QCOMPARE(ui.text(QStringLiteral("buildLabel")), QStringLiteral("Build 101"));
        QQuickItem *block = ui.item(QStringLiteral("informationBlock"));
        const qreal lineHeight
            = QFontMetricsF(block->property("font").value<QFont>()).lineSpacing();
        opened.clear();
        // Plain text on line 8 opens nothing; the links sit at the ends of lines
        // 1, 3 and 7, where on a line depends on the face's metrics.
        const QList<QPair<int, QString>> links
            = {{8, QString()},
               {1, QStringLiteral("https://www.tarn-atc.example/")},
               {3, QStringLiteral("https://chat.tarn-atc.example/invite/tarn")},
               {7, QStringLiteral("mailto:feedback@tarn-atc.example")}};
        for (const auto &link : links) {
            const qreal y = (link.first - 0.5) * lineHeight;
            QString found;
            qreal x = 0;
            for (; x < block->width() && found != link.second; x += 4)
                QMetaObject::invokeMethod(block, "linkAt", Q_RETURN_ARG(QString, found),
                                          Q_ARG(qreal, x), Q_ARG(qreal, y));
            ui.click(block, QPointF(x - 2, y));
            QCOMPARE(opened.value(opened.size() - 1), QUrl(link.second));
        }
        QCOMPARE(opened.size(), 3);
    }

private:
    QString status() const { return ui.text(QStringLiteral("textDebug")); }

    // Saves the window as a PNG file when TARN_SCREENSHOT_DIR names a folder
    // (scripts/screenshots, for the README).
    void rendered(const QString &name)
    {
        const QString folder = qEnvironmentVariable("TARN_SCREENSHOT_DIR");
        ui.moveAway();
        QVERIFY(folder.isEmpty()
                || ui.window()->grabWindow().save(
                    QDir(folder).filePath(name + QStringLiteral(".png"))));
    }

    bool showsToolTip(const QString &itemName, const QString &tip)
    {
        QQuickItem *item = ui.item(itemName);
        const auto read = [item](const QString &name) {
            return QQmlProperty::read(item, QStringLiteral("ToolTip.") + name, qmlContext(item));
        };
        QTest::mouseMove(ui.window(), UiDriver::at(item));
        const bool shown = waitUntil([&] { return read(QStringLiteral("visible")).toBool(); });
        ui.moveAway();
        return shown && read(QStringLiteral("text")) == tip;
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
        ui.click(ui.item(QStringLiteral("checkButton")));
        return waitForStatus(files ? readyText + QString::number(files) : upToDateText);
    }

    // Which of "Check" and "Update" take a click; a disabled "Update" is dimmed.
    bool usable(bool check, bool update) const
    {
        QObject *background = ui.object(QStringLiteral("updateButtonBackground"));
        return ui.item(QStringLiteral("checkButton"))->isEnabled() == check
            && ui.item(QStringLiteral("updateButton"))->isEnabled() == update
            && (update || background->property("opacity").toReal() == 0.3);
    }

    QTemporaryDir content;
    QTemporaryDir files;
    const QString euroscope = files.filePath(QStringLiteral("EuroScope.exe"));
    const QString sectorFolder = files.filePath(QStringLiteral("Sector"));
    UiDriver ui;
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
