#pragma once

#include "app/QmlSingletonType.h"

#include <QObject>

// Brings the program's own folder up to date at start.
class SelfUpdateHandler : public QObject, public QmlSingletonType<SelfUpdateHandler>
{
    Q_OBJECT
public:
    SelfUpdateHandler();

Q_SIGNALS:
    void errorFound();
    void selfUpdated();
};
