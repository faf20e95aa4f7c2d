#pragma once

#include <QEventLoop>
#include <QObject>
#include <QTimer>

// Calls start(), then runs the event loop until sender emits signal or the
// time is up. Returns whether the signal came; one emitted inside start()
// counts too.
template<typename Sender, typename Signal, typename Start>
bool waitForSignal(Sender *sender, Signal signal, Start start, int timeoutMs)
{
    QEventLoop loop;
    bool arrived = false;
    const QMetaObject::Connection connection = QObject::connect(sender, signal, &loop, [&] {
        arrived = true;
        loop.quit();
    });
    QTimer::singleShot(timeoutMs, &loop, &QEventLoop::quit);
    start();
    if (!arrived)
        loop.exec();
    QObject::disconnect(connection);
    return arrived;
}

// Runs the event loop for this long.
inline void idleFor(int milliseconds)
{
    QEventLoop loop;
    QTimer::singleShot(milliseconds, &loop, &QEventLoop::quit);
    loop.exec();
}
