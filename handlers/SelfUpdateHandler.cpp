#include "SelfUpdateHandler.h"

#include "SettingsHandler.h"

SelfUpdateHandler::SelfUpdateHandler()
{
    QmlSingletonType<SettingsHandler>::instance->loadSettings();
}
