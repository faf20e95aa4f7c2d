#include "FirstFrameProbe.h"

#include "BenchResult.h"
#include "ProcessProbe.h"

#include <QCoreApplication>
#include <QQmlApplicationEngine>
#include <QQuickWindow>
#include <QTimer>

FirstFrameProbe::FirstFrameProbe(QQmlApplicationEngine &engine)
{
    connect(&engine, &QQmlApplicationEngine::objectCreated, this,
            [this](QObject *root) { watch(root); });
    QTimer::singleShot(timeout, QCoreApplication::instance(), &QCoreApplication::quit);
}

void FirstFrameProbe::watch(QObject *root)
{
    auto *window = qobject_cast<QQuickWindow *>(root);
    if (!window || windowCreatedAt != 0)
        return;
    windowCreatedAt = ProcessProbe::now();
    connect(
        window, &QQuickWindow::frameSwapped, this,
        [this] {
            const double processorTime = ProcessProbe::processorTime();
            double none = 0;
            if (!firstFrameAt.compare_exchange_strong(none, ProcessProbe::now()))
                return;
            processorTimeAtFirstFrame = processorTime;
            QMetaObject::invokeMethod(QCoreApplication::instance(), &QCoreApplication::quit,
                                      Qt::QueuedConnection);
        },
        Qt::DirectConnection);
}

int FirstFrameProbe::report(const QString &caseName, double mainEnteredAt) const
{
    if (firstFrameAt == 0)
        return BenchResult::fail(caseName, QStringLiteral("no-frame-shown"));
    const double launchedAt = ProcessProbe::launchedAt();
    BenchResult result(caseName);
    result.addMilliseconds(QStringLiteral("main_ms"), (mainEnteredAt - launchedAt) * 1000);
    result.addMilliseconds(QStringLiteral("window_ms"), (windowCreatedAt - launchedAt) * 1000);
    result.addMilliseconds(QStringLiteral("ms"), (firstFrameAt - launchedAt) * 1000);
    result.addMilliseconds(QStringLiteral("cpu_ms"), processorTimeAtFirstFrame * 1000);
    result.addCount(QStringLiteral("peak_kib"), ProcessProbe::peakResidentKiB());
    return result.print();
}
