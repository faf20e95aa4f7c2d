#pragma once

#include <QElapsedTimer>
#include <QObject>
#include <QTimer>

// Measures how long the event loop goes without running: a timer ticks every
// few milliseconds, and the longest gap between two ticks is the longest
// stretch in which nothing else (input, painting, replies) could run either.
class EventLoopMonitor : public QObject
{
    Q_OBJECT
public:
    static constexpr int tickInterval = 10;

    explicit EventLoopMonitor(QObject *parent = nullptr);

    // Starts a new measurement from now.
    void restart();
    // The longest gap in milliseconds since restart(), the gap still open
    // at this moment included.
    double longestGap();

private:
    void tick();

    QTimer ticker;
    QElapsedTimer sinceTick;
    qint64 longestNanoseconds = 0;
};
