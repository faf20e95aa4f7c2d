#pragma once

#include <QtQml/qqml.h>

// The QML module that serves every native singleton of the program.
inline constexpr char qmlModule[] = "org.kelpix.qml";

// Second base class of every handler: keeps the one object of T and hands it
// to the QML engine as a singleton.
template<typename T>
class QmlSingletonType
{
public:
    // Singleton factory for qmlRegisterSingletonType: creates nothing and
    // returns the object that start-up made.
    static QObject *create(QQmlEngine *, QJSEngine *) { return instance; }

    // Registers the object as the singleton name of qmlModule 1.0.
    static void registerSingleton(const char *name)
    {
        qmlRegisterSingletonType<T>(qmlModule, 1, 0, name, &create);
    }

    static inline T *instance = nullptr;

protected:
    // Runs after the QObject base is built and before T's own members, so
    // the object can be looked up while T's constructor runs. T passes its
    // own this: casting down from this base before T exists would be
    // undefined behaviour.
    explicit QmlSingletonType(T *self) { instance = self; }
    ~QmlSingletonType() = default;
};
