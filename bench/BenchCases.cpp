#include "BenchCases.h"

#include "BenchResult.h"
#include "EventLoopMonitor.h"
#include "FirstFrameProbe.h"
#include "ProcessProbe.h"
#include "SignalWait.h"
#include "app/Startup.h"
#include "handlers/ApplicationHandler.h"
#include "handlers/SelfUpdateHandler.h"
#include "handlers/SettingsHandler.h"
#include "handlers/UpdateHandler.h"
#include "handlers/UserHandler.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QGuiApplication>
#include <QQmlApplicationEngine>
#include <QQuickItem>
#include <QQuickWindow>
#include <QTimer>
#include <QUrl>

#include <atomic>
#include <functional>
#include <memory>

namespace {
constexpr int checkTimeout = 120000;
constexpr int updateTimeout = 600000;
constexpr int selfUpdateTimeout = SelfUpdateHandler::watchdogInterval;
constexpr int loginTimeout = 30000;
// Long enough for the pushed main layout to settle and the caches to fill.
constexpr int idleAfterLogin = 2000;

double millisecondsOf(const QElapsedTimer &clock)
{
    return double(clock.nsecsElapsed()) / 1e6;
}

// What the checks of one checkUpdate() reported. A list of several folders
// gives several checkoutComplete(); the last one holds the total.
struct CheckOutcome
{
    bool answered = false;
    QString filesToUpdate;
    double lastAt = 0;
};

// Runs checkUpdate() and times it up to its last checkoutComplete(): all of
// them come from the handling of one reply, so the wait ends after that.
CheckOutcome runCheck(UpdateHandler *updates, const QElapsedTimer &clock)
{
    CheckOutcome outcome;
    const QMetaObject::Connection recorder = QObject::connect(
        updates, &UpdateHandler::checkoutComplete, updates, [&](bool, const QString &Updated) {
            outcome.filesToUpdate = Updated;
            outcome.lastAt = millisecondsOf(clock);
        });
    outcome.answered = waitForSignal(
        updates, &UpdateHandler::checkoutComplete, [updates] { updates->checkUpdate(); },
        checkTimeout);
    QObject::disconnect(recorder);
    return outcome;
}

struct UpdateOutcome
{
    bool completed = false;
    uint failures = 0;
    double milliseconds = 0;
};

UpdateOutcome runUpdate(UpdateHandler *updates)
{
    UpdateOutcome outcome;
    const QMetaObject::Connection failures
        = QObject::connect(updates, &UpdateHandler::updateFailures, updates,
                           [&](uint failed) { outcome.failures = failed; });
    QElapsedTimer clock;
    clock.start();
    outcome.completed = waitForSignal(
        updates, &UpdateHandler::updateCompleted, [updates] { updates->startUpdate(); },
        updateTimeout);
    outcome.milliseconds = millisecondsOf(clock);
    QObject::disconnect(failures);
    return outcome;
}

void pointAtSectorFolder(const QString &sectorFolder)
{
    QmlSingletonType<SettingsHandler>::instance->setSectorPath(
        QUrl::fromLocalFile(sectorFolder).toString());
}

// Checks, expecting expectedFiles outdated, and updates them; adds the figures
// to result. Returns false (with the reason in result) when anything is off.
bool checkAndUpdate(
    BenchResult &result, EventLoopMonitor &monitor, int expectedFiles,
    const std::function<void()> &beforeUpdate = [] {})
{
    UpdateHandler *updates = QmlSingletonType<UpdateHandler>::instance;
    QElapsedTimer clock;
    monitor.restart();
    clock.start();
    const CheckOutcome check = runCheck(updates, clock);
    result.addMilliseconds(QStringLiteral("check_ms"), check.lastAt);
    result.addMilliseconds(QStringLiteral("check_block_ms"), monitor.longestGap());
    if (!check.answered || check.filesToUpdate != QString::number(expectedFiles)) {
        result.addText(QStringLiteral("error"),
                       QStringLiteral("check-found-") + check.filesToUpdate);
        return false;
    }
    beforeUpdate();
    monitor.restart();
    const UpdateOutcome update = runUpdate(updates);
    result.addMilliseconds(QStringLiteral("update_block_ms"), monitor.longestGap());
    result.addMilliseconds(QStringLiteral("ms"), update.milliseconds);
    result.addMilliseconds(QStringLiteral("per_file_ms"), update.milliseconds / expectedFiles);
    if (!update.completed || update.failures > 0) {
        result.addText(QStringLiteral("error"),
                       update.completed
                           ? QStringLiteral("write-failures-") + QString::number(update.failures)
                           : QStringLiteral("update-not-completed"));
        return false;
    }
    return true;
}

// The sector cases need only the settings store and the update controller:
// the self-update would compare this program's folder as well.
void createSectorHandlers(const QString &sectorFolder)
{
    new SettingsHandler;
    new UpdateHandler;
    pointAtSectorFolder(sectorFolder);
}

// What the idle window case measures: the window left alone for this long.
constexpr int idleMeasured = 10000;
constexpr int updatePageIndex = 1;
// Longer than the page's slide (250 ms), which should not fall into the update.
constexpr int pageSettle = 1000;

// The item with this objectName below root, pages of the main layout included.
QQuickItem *findItem(QQuickItem *root, const QString &objectName)
{
    if (root->objectName() == objectName)
        return root;
    const QList<QQuickItem *> children = root->childItems();
    for (QQuickItem *child : children) {
        if (QQuickItem *found = findItem(child, objectName))
            return found;
    }
    return nullptr;
}

// Starts the program as main() does, waits for its self-update and logs in
// through UserHandler::logIn. Returns the window, or null with the reason.
QQuickWindow *startLoggedIn(QQmlApplicationEngine &engine, const QString &vatsimId,
                            const QString &password, QString &failure)
{
    Startup::createNativeObjects();
    Startup::loadMainWindow(engine);
    if (!waitForSignal(
            QmlSingletonType<SelfUpdateHandler>::instance, &SelfUpdateHandler::selfUpdated, [] {},
            selfUpdateTimeout)) {
        failure = QStringLiteral("no-selfUpdated");
        return nullptr;
    }
    UserHandler *user = QmlSingletonType<UserHandler>::instance;
    if (!waitForSignal(
            user, &UserHandler::loginCompleted, [&] { user->logIn(vatsimId, password); },
            loginTimeout)) {
        failure = QStringLiteral("no-loginCompleted");
        return nullptr;
    }
    auto *window = qobject_cast<QQuickWindow *>(engine.rootObjects().value(0));
    if (!window)
        failure = QStringLiteral("no-window");
    return window;
}

// Runs the event loop for exactly this long (a coarse timer may end 5 % early).
void idlePreciselyFor(int milliseconds)
{
    QEventLoop loop;
    QTimer::singleShot(milliseconds, Qt::PreciseTimer, &loop, &QEventLoop::quit);
    loop.exec();
}
} // namespace

namespace BenchCases {

int start(int argc, char *argv[])
{
    const double mainEnteredAt = ProcessProbe::now();
    // The steps of main(), in its order.
    const QSslConfiguration tlsConfiguration = Startup::prepareProcess();
    Q_UNUSED(tlsConfiguration)
    QGuiApplication application(argc, argv);
    auto engine = std::make_unique<QQmlApplicationEngine>();
    Startup::createNativeObjects();
    FirstFrameProbe probe(*engine);
    Startup::loadMainWindow(*engine);
    QGuiApplication::exec();
    const int exitCode = probe.report(QStringLiteral("start"), mainEnteredAt);
    engine.reset();
    return exitCode;
}

int selfUpdateCheck(int argc, char *argv[])
{
    const QString caseName = QStringLiteral("selfupdate-check");
    QCoreApplication application(argc, argv);
    EventLoopMonitor monitor;
    QElapsedTimer clock;
    monitor.restart();
    clock.start();
    // The self-update handler, made by the application handler as at start,
    // sends the list request from its constructor.
    new ApplicationHandler;
    SelfUpdateHandler *selfUpdate = QmlSingletonType<SelfUpdateHandler>::instance;
    QString outcome = QStringLiteral("no-answer");
    double milliseconds = 0;
    QEventLoop loop;
    QObject::connect(selfUpdate, &SelfUpdateHandler::selfUpdated, &loop, [&] {
        milliseconds = millisecondsOf(clock);
        outcome = QStringLiteral("selfUpdated");
        loop.quit();
    });
    QObject::connect(selfUpdate, &SelfUpdateHandler::errorFound, &loop, [&] {
        outcome = QStringLiteral("errorFound");
        loop.quit();
    });
    loop.exec();
    const double longestBlock = monitor.longestGap();
    if (outcome != QStringLiteral("selfUpdated"))
        return BenchResult::fail(caseName, outcome);
    BenchResult result(caseName);
    result.addMilliseconds(QStringLiteral("ms"), milliseconds);
    result.addMilliseconds(QStringLiteral("block_ms"), longestBlock);
    result.addCount(QStringLiteral("peak_kib"), ProcessProbe::peakResidentKiB());
    return result.print();
}

int sectorCheck(int argc, char *argv[], const QString &sectorFolder)
{
    QCoreApplication application(argc, argv);
    createSectorHandlers(sectorFolder);
    EventLoopMonitor monitor;
    QElapsedTimer clock;
    monitor.restart();
    clock.start();
    const CheckOutcome check = runCheck(QmlSingletonType<UpdateHandler>::instance, clock);
    BenchResult result(QStringLiteral("sector-check"));
    result.addMilliseconds(QStringLiteral("ms"), check.lastAt);
    result.addMilliseconds(QStringLiteral("block_ms"), monitor.longestGap());
    result.addCount(QStringLiteral("peak_kib"), ProcessProbe::peakResidentKiB());
    if (!check.answered || check.filesToUpdate != QStringLiteral("0"))
        result.addText(QStringLiteral("error"),
                       QStringLiteral("check-found-") + check.filesToUpdate);
    return result.print();
}

int sectorUpdate(int argc, char *argv[], const QString &sectorFolder, int expectedFiles)
{
    QCoreApplication application(argc, argv);
    createSectorHandlers(sectorFolder);
    EventLoopMonitor monitor;
    BenchResult result(QStringLiteral("sector-update"));
    result.addCount(QStringLiteral("files"), expectedFiles);
    checkAndUpdate(result, monitor, expectedFiles);
    result.addCount(QStringLiteral("peak_kib"), ProcessProbe::peakResidentKiB());
    return result.print();
}

int memory(int argc, char *argv[], const QString &sectorFolder, int expectedFiles,
           const QString &vatsimId, const QString &password)
{
    const QString caseName = QStringLiteral("memory");
    const QSslConfiguration tlsConfiguration = Startup::prepareProcess();
    Q_UNUSED(tlsConfiguration)
    QGuiApplication application(argc, argv);
    auto engine = std::make_unique<QQmlApplicationEngine>();
    Startup::createNativeObjects();
    Startup::loadMainWindow(*engine);

    if (!waitForSignal(
            QmlSingletonType<SelfUpdateHandler>::instance, &SelfUpdateHandler::selfUpdated, [] {},
            selfUpdateTimeout))
        return BenchResult::fail(caseName, QStringLiteral("no-selfUpdated"));
    UserHandler *user = QmlSingletonType<UserHandler>::instance;
    if (!waitForSignal(
            user, &UserHandler::loginCompleted, [&] { user->logIn(vatsimId, password); },
            loginTimeout))
        return BenchResult::fail(caseName, QStringLiteral("no-loginCompleted"));
    idleFor(idleAfterLogin);
    const qint64 idle = ProcessProbe::residentKiB();

    pointAtSectorFolder(sectorFolder);
    EventLoopMonitor monitor;
    BenchResult result(caseName);
    result.addCount(QStringLiteral("files"), expectedFiles);
    result.addCount(QStringLiteral("idle_kib"), idle);
    bool peakReset = false;
    const bool updated = checkAndUpdate(result, monitor, expectedFiles,
                                        [&] { peakReset = ProcessProbe::resetPeak(); });
    if (updated && !peakReset)
        result.addText(QStringLiteral("error"), QStringLiteral("peak-not-resettable"));
    const qint64 peak = ProcessProbe::peakResidentKiB();
    result.addCount(QStringLiteral("peak_kib"), peak);
    result.addCount(QStringLiteral("growth_kib"), peak - idle);
    const int exitCode = result.print();
    engine.reset();
    return exitCode;
}

int idleWindow(int argc, char *argv[], const QString &sectorFolder, int expectedFiles,
               const QString &vatsimId, const QString &password)
{
    const QString caseName = QStringLiteral("idle-window");
    const QSslConfiguration tlsConfiguration = Startup::prepareProcess();
    Q_UNUSED(tlsConfiguration)
    QGuiApplication application(argc, argv);
    // Counted on the render thread, which swaps the frames, until the window is gone.
    std::atomic<int> frames{0};
    auto engine = std::make_unique<QQmlApplicationEngine>();
    QString failure;
    QQuickWindow *window = startLoggedIn(*engine, vatsimId, password, failure);
    if (!window)
        return BenchResult::fail(caseName, failure);
    QObject::connect(window, &QQuickWindow::frameSwapped, [&frames] { ++frames; });
    idleFor(idleAfterLogin);

    frames = 0;
    QElapsedTimer idleClock;
    const double idleStart = ProcessProbe::processorTime();
    idleClock.start();
    idlePreciselyFor(idleMeasured);
    const double idleProcessorMs = (ProcessProbe::processorTime() - idleStart) * 1000;
    const double idleWallMs = millisecondsOf(idleClock);

    BenchResult result(caseName);
    result.addMilliseconds(QStringLiteral("idle_cpu_ms"), idleProcessorMs);
    result.addMilliseconds(QStringLiteral("idle_wall_ms"), idleWallMs);
    result.addCount(QStringLiteral("idle_frames"), frames);
    result.addCount(QStringLiteral("idle_kib"), ProcessProbe::residentKiB());

    // The update as the user runs it, with the Update page on screen.
    QQuickItem *pages = findItem(window->contentItem(), QStringLiteral("mainSwipeView"));
    if (!pages) {
        result.addText(QStringLiteral("error"), QStringLiteral("no-mainSwipeView"));
        return result.print();
    }
    pages->setProperty("currentIndex", updatePageIndex);
    idleFor(pageSettle);
    pointAtSectorFolder(sectorFolder);
    result.addCount(QStringLiteral("files"), expectedFiles);
    EventLoopMonitor monitor;
    double updateStart = 0;
    const bool updated = checkAndUpdate(result, monitor, expectedFiles, [&] {
        frames = 0;
        updateStart = ProcessProbe::processorTime();
    });
    if (updated) {
        result.addMilliseconds(QStringLiteral("update_cpu_ms"),
                               (ProcessProbe::processorTime() - updateStart) * 1000);
        result.addCount(QStringLiteral("update_frames"), frames);
    }
    result.addCount(QStringLiteral("peak_kib"), ProcessProbe::peakResidentKiB());
    const int exitCode = result.print();
    engine.reset();
    return exitCode;
}

} // namespace BenchCases
