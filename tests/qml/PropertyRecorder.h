#pragma once

#include <QList>
#include <QMetaMethod>
#include <QMetaProperty>
#include <QObject>
#include <QVariant>

// Records every value a property takes, as its change signal announces it.
class PropertyRecorder : public QObject
{
    Q_OBJECT
public:
    PropertyRecorder(QObject *object, const char *name)
        : property(object->metaObject()->property(object->metaObject()->indexOfProperty(name)))
        , object(object)
    {
        const int slot = metaObject()->indexOfSlot("record()");
        connect(object, property.notifySignal(), this, metaObject()->method(slot));
    }

    QList<QVariant> values;

private Q_SLOTS:
    void record() { values.append(property.read(object)); }

private:
    QMetaProperty property;
    QObject *object;
};
