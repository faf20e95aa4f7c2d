// The start-up reference: a minimal Qt Quick window, timed from process start
// to its first frame exactly as tarn-bench times Tarn's splash.
#include "BenchResult.h"
#include "FirstFrameProbe.h"
#include "ProcessProbe.h"

#include <QGuiApplication>
#include <QQmlApplicationEngine>
#include <QUrl>

int main(int argc, char *argv[])
{
    const double mainEnteredAt = ProcessProbe::now();
    QGuiApplication application(argc, argv);
    QQmlApplicationEngine engine;
    FirstFrameProbe probe(engine);
    engine.load(QUrl(QStringLiteral("qrc:/reference.qml")));
    QGuiApplication::exec();
    return probe.report(QStringLiteral("start-reference"), mainEnteredAt);
}
