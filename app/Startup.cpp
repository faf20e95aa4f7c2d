#include "Startup.h"

#include "QMLWrapper.h"
#include "QmlSingletonType.h"
#include "handlers/ApplicationHandler.h"
#include "handlers/SettingsHandler.h"
#include "handlers/UpdateHandler.h"
#include "handlers/UserHandler.h"

#include <QCoreApplication>
#include <QFontDatabase>
#include <QQmlApplicationEngine>
#include <QUrl>

namespace {
QMLWrapper *s_wrapper = nullptr;

QObject *wrapperFactory(QQmlEngine *, QJSEngine *)
{
    return s_wrapper;
}
} // namespace

QSslConfiguration Startup::prepareProcess()
{
    QCoreApplication::setAttribute(Qt::AA_EnableHighDpiScaling, true);
    QSslConfiguration tlsConfiguration = QSslConfiguration::defaultConfiguration();
    qputenv("QT_QPA_DISABLE_ENHANCED_MOUSE", "1");
    return tlsConfiguration;
}

QMLWrapper *Startup::createNativeObjects()
{
    new ApplicationHandler;
    s_wrapper = new QMLWrapper;

    QmlSingletonType<ApplicationHandler>::registerSingleton("ApplicationHandler");
    QmlSingletonType<UserHandler>::registerSingleton("UserHandler");
    QmlSingletonType<SettingsHandler>::registerSingleton("SettingsHandler");
    QmlSingletonType<UpdateHandler>::registerSingleton("UpdateHandler");

    // A face that cannot be added only means text falls back to other fonts.
    QFontDatabase::addApplicationFont(QStringLiteral(":/fonts/Roboto-Light.ttf"));
    QFontDatabase::addApplicationFont(QStringLiteral(":/fonts/Roboto-Medium.ttf"));
    QFontDatabase::addApplicationFont(QStringLiteral(":/fonts/Roboto-Regular.ttf"));

    QQmlEngine::setObjectOwnership(s_wrapper, QQmlEngine::CppOwnership);
    qmlRegisterSingletonType<QMLWrapper>(qmlModule, 1, 0, "QMLWrapper", &wrapperFactory);
    return s_wrapper;
}

void Startup::loadMainWindow(QQmlApplicationEngine &engine)
{
    engine.load(QUrl(QStringLiteral("qrc:/QML/main.qml"), QUrl::TolerantMode));
}

QMLWrapper *Startup::wrapper()
{
    return s_wrapper;
}
