#include "ApplicationHandler.h"

#include "SelfUpdateHandler.h"
#include "SettingsHandler.h"
#include "UpdateHandler.h"
#include "UserHandler.h"
#include "app/Startup.h"

#include <QQmlEngine>

namespace {
constexpr int buildNumber = TARN_BUILD_NUMBER;
} // namespace

ApplicationHandler::ApplicationHandler(QObject *parent)
    : QObject(parent)
{
    new UserHandler;
    new SettingsHandler;
    new UpdateHandler;
    new SelfUpdateHandler;
    qmlRegisterSingletonType<SelfUpdateHandler>(Startup::qmlModule, 1, 0, "SelfUpdateHandler",
                                                &QmlSingletonType<SelfUpdateHandler>::create);
}

QString ApplicationHandler::buildNumberString() const
{
    return QStringLiteral("Build ") + QString::number(buildNumber);
}

void ApplicationHandler::startEuroscope()
{
}

void ApplicationHandler::startDiscord()
{
}
