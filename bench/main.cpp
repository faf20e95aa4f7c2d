// tarn-bench: runs one benchmark case of scripts/bench against the service
// at TARN_BENCH_API_BASE_URL and prints its result line.
#include "BenchCases.h"
#include "BenchResult.h"

#include <QSslConfiguration>
#include <QString>

#include <cstring>

namespace {
const char usage[] = "usage: tarn-bench start\n"
                     "       tarn-bench selfupdate-check\n"
                     "       tarn-bench sector-check SECTOR_FOLDER\n"
                     "       tarn-bench sector-update SECTOR_FOLDER FILES\n"
                     "       tarn-bench memory SECTOR_FOLDER FILES VATSIM_ID PASSWORD\n"
                     "       tarn-bench idle-window SECTOR_FOLDER FILES VATSIM_ID PASSWORD\n";

QString argument(char *argv[], int index)
{
    return QString::fromLocal8Bit(argv[index]);
}

// scripts/bench serves some cases through a TLS front whose certificate the
// test authority signed; the shipped program trusts the system's authorities.
void trustBenchAuthority()
{
    const QString authorityFile = qEnvironmentVariable("TARN_BENCH_CA_FILE");
    if (authorityFile.isEmpty())
        return;
    QSslConfiguration configuration = QSslConfiguration::defaultConfiguration();
    configuration.addCaCertificates(authorityFile);
    QSslConfiguration::setDefaultConfiguration(configuration);
}

bool isCase(int argc, char *argv[], const char *name, int arguments)
{
    return argc == arguments + 2 && std::strcmp(argv[1], name) == 0;
}
} // namespace

int main(int argc, char *argv[])
{
    // The application objects take argv[0] only.
    int programArgc = 1;
    trustBenchAuthority();
    if (isCase(argc, argv, "start", 0))
        return BenchCases::start(programArgc, argv);
    if (isCase(argc, argv, "selfupdate-check", 0))
        return BenchCases::selfUpdateCheck(programArgc, argv);
    if (isCase(argc, argv, "sector-check", 1))
        return BenchCases::sectorCheck(programArgc, argv, argument(argv, 2));
    if (isCase(argc, argv, "sector-update", 2))
        return BenchCases::sectorUpdate(programArgc, argv, argument(argv, 2),
                                        argument(argv, 3).toInt());
    if (isCase(argc, argv, "memory", 4))
        return BenchCases::memory(programArgc, argv, argument(argv, 2), argument(argv, 3).toInt(),
                                  argument(argv, 4), argument(argv, 5));
    if (isCase(argc, argv, "idle-window", 4))
        return BenchCases::idleWindow(programArgc, argv, argument(argv, 2),
                                      argument(argv, 3).toInt(), argument(argv, 4),
                                      argument(argv, 5));
    fputs(usage, stderr);
    return 2;
}
