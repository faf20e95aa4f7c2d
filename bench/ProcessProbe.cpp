#include "ProcessProbe.h"

#include <QByteArray>
#include <QFile>
#include <QList>

#include <ctime>
#include <unistd.h>

namespace {
const char launchedAtVariable[] = "TARN_BENCH_LAUNCHED_AT";
// Field 22 of /proc/self/stat: the start time in clock ticks since boot.
constexpr int startTimeField = 22;

double clockSeconds(clockid_t clock)
{
    timespec time{};
    clock_gettime(clock, &time);
    return double(time.tv_sec) + double(time.tv_nsec) / 1e9;
}

double kernelStartTime()
{
    QFile stat(QStringLiteral("/proc/self/stat"));
    if (!stat.open(QIODevice::ReadOnly))
        return ProcessProbe::now();
    const QByteArray line = stat.readAll();
    // The command name in parentheses may hold blanks; count fields after it.
    const QList<QByteArray> fields = line.mid(line.lastIndexOf(')') + 2).split(' ');
    const double ticks = fields.value(startTimeField - 3).toDouble();
    const double sinceBoot = ticks / double(sysconf(_SC_CLK_TCK));
    return ProcessProbe::now() - (clockSeconds(CLOCK_BOOTTIME) - sinceBoot);
}

// A "Vm...:   1234 kB" line of /proc/self/status.
qint64 statusKiB(const QByteArray &name)
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    const QByteArray prefix = name + ':';
    for (const QByteArray &line : status.readAll().split('\n')) {
        if (line.startsWith(prefix))
            return line.mid(prefix.size()).trimmed().split(' ').value(0).toLongLong();
    }
    return -1;
}
} // namespace

double ProcessProbe::launchedAt()
{
    const QByteArray given = qgetenv(launchedAtVariable);
    bool ok = false;
    const double launched = given.toDouble(&ok);
    return ok ? launched : kernelStartTime();
}

double ProcessProbe::now()
{
    return clockSeconds(CLOCK_REALTIME);
}

double ProcessProbe::processorTime()
{
    return clockSeconds(CLOCK_PROCESS_CPUTIME_ID);
}

qint64 ProcessProbe::residentKiB()
{
    return statusKiB("VmRSS");
}

qint64 ProcessProbe::peakResidentKiB()
{
    return statusKiB("VmHWM");
}

bool ProcessProbe::resetPeak()
{
    // "5" resets the peak resident size to the present one.
    QFile clearRefs(QStringLiteral("/proc/self/clear_refs"));
    return clearRefs.open(QIODevice::WriteOnly | QIODevice::Unbuffered)
        && clearRefs.write("5") == 1;
}
