#include "BenchResult.h"

#include <QTextStream>

#include <algorithm>

namespace {
const QString errorKey = QStringLiteral("error");
}

BenchResult::BenchResult(const QString &caseName)
{
    addText(QStringLiteral("case"), caseName);
}

void BenchResult::addMilliseconds(const QString &key, double milliseconds)
{
    addText(key, QString::number(milliseconds, 'f', 3));
}

void BenchResult::addCount(const QString &key, qint64 count)
{
    addText(key, QString::number(count));
}

void BenchResult::addText(const QString &key, const QString &text)
{
    QString value = text;
    entries.append(key + QLatin1Char('=') + value.replace(QLatin1Char(' '), QLatin1Char('_')));
}

int BenchResult::print() const
{
    QTextStream out(stdout);
    out << QStringLiteral("RESULT ") << entries.join(QLatin1Char(' ')) << '\n';
    out.flush();
    const bool failed = std::any_of(entries.cbegin(), entries.cend(), [](const QString &entry) {
        return entry.startsWith(errorKey + QLatin1Char('='));
    });
    return failed ? 1 : 0;
}

int BenchResult::fail(const QString &caseName, const QString &reason)
{
    BenchResult result(caseName);
    result.addText(errorKey, reason);
    return result.print();
}
