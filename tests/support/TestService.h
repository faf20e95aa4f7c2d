#pragma once

#include "DevService.h"

#include <QSignalSpy>
#include <QString>
#include <QTest>

#include <functional>

// The development service this test program talks to; apiBaseUrl points at it.
devservice::DevService &testService();

// Trusts the test certificate authority in the default TLS configuration
// (only meaningful for a TLS test program).
void trustTestAuthority();

// Runs the event loop until the condition holds or the time is up.
bool waitUntil(const std::function<bool()> &condition, int timeoutMs = 10000);

// Waits until the spy holds at least count signals.
bool waitForSignals(QSignalSpy &spy, int count = 1, int timeoutMs = 10000);

// Reads a whole file; empty when it cannot be opened.
QByteArray readFile(const QString &path);
// Writes a whole file, creating its folder; false when that fails.
bool writeFile(const QString &path, const QByteArray &data);
