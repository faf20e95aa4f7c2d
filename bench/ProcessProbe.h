#pragma once

#include <QtGlobal>

// Clock and memory readings of the running process (Linux).
class ProcessProbe
{
public:
    // The wall-clock time at which the process was started, in seconds since
    // the epoch: TARN_BENCH_LAUNCHED_AT when set (scripts/bench sets it just
    // before exec, with microseconds), otherwise the kernel's start time of
    // the process, which has a resolution of one clock tick.
    static double launchedAt();
    // The wall clock now, in seconds since the epoch.
    static double now();
    // The processor time that all threads of the process have used so far,
    // in seconds: less disturbed by other load on the machine than the wall clock.
    static double processorTime();

    // Resident memory now, in KiB; -1 when it cannot be read.
    static qint64 residentKiB();
    // The highest resident memory since the start or the last resetPeak(), in KiB.
    static qint64 peakResidentKiB();
    // Starts a new peak at the present resident size; false when refused.
    static bool resetPeak();
};
