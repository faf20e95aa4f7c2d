#pragma once

#include <QString>

class QNetworkReply;

// Why a request to the service failed, as a short phrase a controller
// understands; the pages put it after their own words ("Could not log in: ").
class FailureReason
{
public:
    // The reason of a reply that finished with an error: no connection, an
    // untrusted certificate, an HTTP status other than 200, a body cut short
    // or no answer in time.
    static QString of(const QNetworkReply *reply);

    // A body shorter than its Content-Length announced.
    static QString cutShort();
    // A download answered without the service's Content-Disposition header.
    static QString noFile();
    // A program file whose content does not match its listed hash.
    static QString hashMismatch();
    // A list that is not a JSON array of entries.
    static QString unreadableList();
};
