#pragma once

#include <QDateTime>
#include <QString>

// The service's modification times: "dd-MM-yyyy hh:mm:ss", read as local time.
class ServiceTime
{
public:
    // Invalid unless the text has exactly that form and names a valid date
    // and time of day. Reads the fixed layout directly: a sector check parses
    // one text per listed file, and QDateTime::fromString() costs far more.
    static QDateTime parse(const QString &text);
};
