#pragma once

#include <QString>

// The base address of the community's web service, without a trailing slash.
// The program defines it from its build configuration; every test program
// defines its own, pointing at a development service on loopback.
extern const QString apiBaseUrl;
