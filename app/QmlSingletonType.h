#pragma once

class QObject;
class QQmlEngine;
class QJSEngine;

// Second base class of every handler: keeps the one object of T and hands it
// to the QML engine as a singleton.
template<typename T>
class QmlSingletonType
{
public:
    // Singleton factory for qmlRegisterSingletonType: creates nothing and
    // returns the object that start-up made.
    static QObject *create(QQmlEngine *, QJSEngine *) { return instance; }

    static inline T *instance = nullptr;

protected:
    // Runs after the QObject base is built and before T's own members, so
    // the object can be looked up while T's constructor runs. T passes its
    // own this: casting down from this base before T exists would be
    // undefined behaviour.
    explicit QmlSingletonType(T *self) { instance = self; }
    ~QmlSingletonType() = default;
};
