#include "RequestSender.h"

#include "FailureReason.h"

#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QUrl>
#include <QUrlQuery>

namespace {
const QByteArray expectHeader = QByteArrayLiteral("Expect");
const QByteArray continueExpectation = QByteArrayLiteral("100-continue");
const QByteArray acceptEncodingHeader = QByteArrayLiteral("Accept-Encoding");
const QByteArray identityEncoding = QByteArrayLiteral("identity");
constexpr int expectationFailedStatus = 417;
} // namespace

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
    const bool asSent
        = encoding.isEmpty() || encoding.compare("identity", Qt::CaseInsensitive) == 0;
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
    // Negotiated through ALPN: a service that offers HTTP/2 carries every
    // request on one connection, any other goes on with HTTP/1.1.
    request.setAttribute(QNetworkRequest::Http2AllowedAttribute, true);
    // A connection that goes silent (a server that stops answering, a
    // network that drops packets) would otherwise hold the request for ever.
    request.setTransferTimeout(transferTimeout);
    body = encodeFields(fields);
    post(request, !body.isEmpty() && askToContinue());
}

bool &RequestSender::askToContinue()
{
    static bool ask = true;
    return ask;
}

void RequestSender::post(QNetworkRequest request, bool expectContinue)
{
    // Qt writes a request's head and its body in two writes, without
    // TCP_NODELAY, so the body waits for the server to acknowledge the head,
    // which a server delays by about 40 ms. Asked to expect "100 Continue",
    // the server answers the head at once. Qt sends the body without waiting
    // for that answer, so a server that ignores the header loses nothing.
    // After such an interim answer Qt 5.15 no longer decodes a compressed
    // body, so these requests ask for the body as it is.
    // Over HTTP/2 the many requests in flight share one connection and do
    // not wait for each other, and nginx holds a request that expects to
    // continue there for a second; the list request, which carries no body,
    // tells whether the service speaks HTTP/2 before any download starts.
    request.setRawHeader(expectHeader, expectContinue ? continueExpectation : QByteArray());
    request.setRawHeader(acceptEncodingHeader, expectContinue ? identityEncoding : QByteArray());
    // Listening to its own reply, rather than to every reply the manager
    // finishes, keeps the cost per reply constant with many in flight.
    QNetworkReply *reply = manager->post(request, body);
    connection
        = connect(reply, &QNetworkReply::finished, this, [this, reply] { endRequest(reply); });
    Q_EMIT replyStarted(reply);
}

bool RequestSender::isRefusedExpectation(const QNetworkReply *reply)
{
    return reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt()
        == expectationFailedStatus
        && !reply->request().rawHeader(expectHeader).isEmpty();
}

void RequestSender::endRequest(QNetworkReply *reply)
{
    if (reply->request().originatingObject() != this)
        return;
    if (reply->attribute(QNetworkRequest::Http2WasUsedAttribute).toBool())
        askToContinue() = false;
    if (isRefusedExpectation(reply)) {
        retryWithoutExpectation(reply);
        return;
    }
    const QNetworkReply::NetworkError error = reply->error();
    if (error == QNetworkReply::NoError || error == QNetworkReply::AuthenticationRequiredError)
        Q_EMIT onResponse(reply);
    else
        Q_EMIT onFailure(FailureReason::of(reply));
    reply->deleteLater();
    deleteLater();
}

void RequestSender::retryWithoutExpectation(QNetworkReply *reply)
{
    // A server or proxy that does not take the expectation answers 417 and
    // has not read the body. The same request goes again without it, and so
    // does every later one. Posted once the refused reply's own finished()
    // handlers have all run, so a caller that follows the reply sees it end
    // before the new one starts.
    askToContinue() = false;
    disconnect(connection);
    const QNetworkRequest request = reply->request();
    reply->deleteLater();
    QMetaObject::invokeMethod(
        this, [this, request] { post(request, false); }, Qt::QueuedConnection);
}
