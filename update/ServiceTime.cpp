#include "ServiceTime.h"

namespace {
// "dd-MM-yyyy hh:mm:ss"
constexpr int textLength = 19;

// The number held by the digits at [position, position + count), or -1.
int digitsAt(const QString &text, int position, int count)
{
    int value = 0;
    for (int i = position; i < position + count; ++i) {
        const QChar c = text.at(i);
        if (c < QLatin1Char('0') || c > QLatin1Char('9'))
            return -1;
        value = value * 10 + (c.unicode() - '0');
    }
    return value;
}

bool hasSeparators(const QString &text)
{
    return text.at(2) == QLatin1Char('-') && text.at(5) == QLatin1Char('-')
        && text.at(10) == QLatin1Char(' ') && text.at(13) == QLatin1Char(':')
        && text.at(16) == QLatin1Char(':');
}
} // namespace

QDateTime ServiceTime::parse(const QString &text)
{
    if (text.size() != textLength || !hasSeparators(text))
        return {};
    const QDate date(digitsAt(text, 6, 4), digitsAt(text, 3, 2), digitsAt(text, 0, 2));
    const QTime time(digitsAt(text, 11, 2), digitsAt(text, 14, 2), digitsAt(text, 17, 2));
    if (!date.isValid() || !time.isValid())
        return {};
    return QDateTime(date, time, Qt::LocalTime);
}
