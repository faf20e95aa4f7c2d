#include "EventLoopMonitor.h"

#include <algorithm>

EventLoopMonitor::EventLoopMonitor(QObject *parent)
    : QObject(parent)
{
    ticker.setTimerType(Qt::PreciseTimer);
    ticker.setInterval(tickInterval);
    connect(&ticker, &QTimer::timeout, this, &EventLoopMonitor::tick);
}

void EventLoopMonitor::restart()
{
    longestNanoseconds = 0;
    sinceTick.start();
    ticker.start();
}

double EventLoopMonitor::longestGap()
{
    longestNanoseconds = std::max(longestNanoseconds, sinceTick.nsecsElapsed());
    return double(longestNanoseconds) / 1e6;
}

void EventLoopMonitor::tick()
{
    longestNanoseconds = std::max(longestNanoseconds, sinceTick.nsecsElapsed());
    sinceTick.start();
}
