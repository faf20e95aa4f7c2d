#include "FailureReason.h"

#include "RequestSender.h"

#include <QNetworkReply>

namespace {
constexpr int okStatus = 200;
} // namespace

QString FailureReason::of(const QNetworkReply *reply)
{
    const QVariant status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute);
    if (status.isValid() && status.toInt() != okStatus)
        return QStringLiteral("the service answered %1").arg(status.toInt());
    switch (reply->error()) {
    case QNetworkReply::SslHandshakeFailedError:
        return QStringLiteral("the service's certificate is not trusted");
    // Only the transfer timeout aborts a request.
    case QNetworkReply::OperationCanceledError:
        return QStringLiteral("the service did not answer for %1 seconds")
            .arg(RequestSender::transferTimeout / 1000);
    default:
        // The headers came, so the connection broke during the body.
        return status.isValid() ? cutShort() : QStringLiteral("the service could not be reached");
    }
}

QString FailureReason::cutShort()
{
    return QStringLiteral("the download was cut short");
}

QString FailureReason::noFile()
{
    return QStringLiteral("the service sent no file");
}

QString FailureReason::hashMismatch()
{
    return QStringLiteral("the download does not match its listed hash");
}

QString FailureReason::unreadableList()
{
    return QStringLiteral("the service sent no readable file list");
}
