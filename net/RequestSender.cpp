#include "RequestSender.h"

#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QUrl>
#include <QUrlQuery>

RequestSender::RequestSender(QObject *parent)
    : QObject(parent)
    , manager(sharedManager())
{
}

RequestSender::~RequestSender()
{
    disconnect(connection);
}

QNetworkAccessManager *RequestSender::sharedManager()
{
    // Torn down with the process's static objects, after main() has returned.
    static QNetworkAccessManager manager;
    return &manager;
}

bool RequestSender::isCutShort(const QNetworkReply *reply, qint64 receivedBytes)
{
    // A decoded body has another length, so only a body sent as it is can be
    // checked.
    bool known = false;
    const qint64 length = reply->header(QNetworkRequest::ContentLengthHeader).toLongLong(&known);
    const QByteArray encoding = reply->rawHeader(QByteArrayLiteral("Content-Encoding"));
    const bool asSent = encoding.isEmpty() || encoding.compare("identity", Qt::CaseInsensitive) == 0;
    return known && asSent && receivedBytes != length;
}

QByteArray RequestSender::encodeFields(const QHash<QString, QString> &fields)
{
    QUrlQuery query;
    for (auto it = fields.cbegin(); it != fields.cend(); ++it)
        query.addQueryItem(it.key(), it.value());
    // A query leaves "+" as it is, but form decoders read it as a space.
    return query.toString(QUrl::FullyEncoded).toUtf8().replace('+', "%2B");
}

void RequestSender::sendRequest(const QString &url, const QHash<QString, QString> &fields)
{
    QNetworkRequest request(QUrl(url, QUrl::TolerantMode));
    request.setOriginatingObject(this);
    request.setHeader(QNetworkRequest::ContentTypeHeader,
                      QStringLiteral("application/x-www-form-urlencoded"));
    // Listening to its own reply, rather than to every reply the manager
    // finishes, keeps the cost per reply constant with many in flight.
    QNetworkReply *reply = manager->post(request, encodeFields(fields));
    connection = connect(reply, &QNetworkReply::finished, this, [this, reply] { endRequest(reply); });
    Q_EMIT replyStarted(reply);
}

void RequestSender::endRequest(QNetworkReply *reply)
{
    if (reply->request().originatingObject() != this)
        return;
    const QNetworkReply::NetworkError error = reply->error();
    if (error == QNetworkReply::NoError || error == QNetworkReply::AuthenticationRequiredError)
        Q_EMIT onResponse(reply);
    // An undelivered failure is disposed of too, so failed requests do not
    // pile up senders and replies for the rest of the run.
    reply->deleteLater();
    deleteLater();
}
