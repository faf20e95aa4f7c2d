#pragma once

// What every fuzz target shares: the application the program's classes need,
// and the stop on a broken invariant, which makes libFuzzer keep the input.

#include <QCoreApplication>
#include <QLoggingCategory>
#include <QString>

#include <cstdio>
#include <cstdlib>

// Makes the application, with the program's own log quiet: warnings about
// the inputs it refuses would flood the output.
inline void startFuzzTarget(int *argc, char ***argv)
{
    new QCoreApplication(*argc, *argv);
    QLoggingCategory::setFilterRules(QStringLiteral("tarn.*=false"));
}

[[noreturn]] inline void broken(const char *invariant, const QString &detail = QString())
{
    fprintf(stderr, "Broken invariant: %s %s\n", invariant, qUtf8Printable(detail));
    abort();
}
