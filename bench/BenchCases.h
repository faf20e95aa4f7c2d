#pragma once

#include <QString>

// The benchmark cases that tarn-bench runs, one per process. Each prints one
// result line (see BenchResult) and returns the process exit code.
namespace BenchCases {

// main()'s own start-up steps, from process start to the splash's first frame.
int start(int argc, char *argv[]);

// The self-update of the program's folder (the folder of this executable),
// from the list request to selfUpdated().
int selfUpdateCheck(int argc, char *argv[]);

// A sector check of sectorFolder, from checkUpdate() to the last
// checkoutComplete(); every listed file must be current.
int sectorCheck(int argc, char *argv[], const QString &sectorFolder);

// A sector check that must find expectedFiles outdated, then the update,
// from startUpdate() to updateCompleted().
int sectorUpdate(int argc, char *argv[], const QString &sectorFolder, int expectedFiles);

// The whole program started and logged in, its resident memory when idle,
// then a sector update and its peak resident memory.
int memory(int argc, char *argv[], const QString &sectorFolder, int expectedFiles,
           const QString &vatsimId, const QString &password);

// The whole program started and logged in, left alone: the processor time it
// uses in 10 s, after 2 s of settling; then, with the Update page shown, a
// sector update and the processor time of its update phase.
int idleWindow(int argc, char *argv[], const QString &sectorFolder, int expectedFiles,
               const QString &vatsimId, const QString &password);

} // namespace BenchCases
