#include "app/Startup.h"

#include <QGuiApplication>
#include <QQmlApplicationEngine>

#include <memory>

int main(int argc, char *argv[])
{
    // Declared first, so it goes last: after the engine and the application.
    const QSslConfiguration tlsConfiguration = Startup::prepareProcess();
    Q_UNUSED(tlsConfiguration)

    QGuiApplication application(argc, argv);
    auto engine = std::make_unique<QQmlApplicationEngine>();

    Startup::createNativeObjects();
    Startup::loadMainWindow(*engine);

    const int result = QGuiApplication::exec();
    engine.reset();
    return result;
}
