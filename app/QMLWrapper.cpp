#include "QMLWrapper.h"

#include "handlers/SelfUpdateHandler.h"

QMLWrapper::QMLWrapper(QObject *parent)
    : QObject(parent)
{
    SelfUpdateHandler *handler = QmlSingletonType<SelfUpdateHandler>::instance;
    // The handler is the context object: the relay lasts exactly as long as it.
    connect(
        handler, &SelfUpdateHandler::selfUpdated, handler, [this] { Q_EMIT selfUpdated(); },
        Qt::DirectConnection);
}
