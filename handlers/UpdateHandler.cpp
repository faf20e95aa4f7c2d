#include "UpdateHandler.h"

UpdateHandler::UpdateHandler(QObject *parent)
    : QObject(parent)
{
}
