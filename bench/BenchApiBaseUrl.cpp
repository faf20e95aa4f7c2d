#include "net/ApiBaseUrl.h"

// scripts/bench starts the development service on a free loopback port and
// passes its address here; the shipped program compiles its address in.
const QString apiBaseUrl = qEnvironmentVariable("TARN_BENCH_API_BASE_URL");
