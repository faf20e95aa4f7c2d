#pragma once

#include "app/QmlSingletonType.h"

#include <QObject>

// Brings the user's sector folder up to date for the update page.
class UpdateHandler : public QObject, public QmlSingletonType<UpdateHandler>
{
    Q_OBJECT
public:
    explicit UpdateHandler(QObject *parent = nullptr);
};
