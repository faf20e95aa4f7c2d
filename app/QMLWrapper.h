#pragma once

#include <QObject>

// Re-emits SelfUpdateHandler::selfUpdated() as a signal of its own for QML.
class QMLWrapper : public QObject
{
    Q_OBJECT
public:
    explicit QMLWrapper(QObject *parent = nullptr);

Q_SIGNALS:
    void selfUpdated();
};
