#pragma once

#include <QString>
#include <QStringList>

// One line of measurements for scripts/bench:
// "RESULT case=NAME key=value ...", values without blanks.
class BenchResult
{
public:
    explicit BenchResult(const QString &caseName);

    // Milliseconds, printed with three decimals.
    void addMilliseconds(const QString &key, double milliseconds);
    void addCount(const QString &key, qint64 count);
    void addText(const QString &key, const QString &text);

    // Prints the line and returns the exit code for it: 0, or 1 with an
    // "error" entry.
    int print() const;
    // Prints a line that only reports why the case failed; returns 1.
    static int fail(const QString &caseName, const QString &reason);

private:
    QStringList entries;
};
