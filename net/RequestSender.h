#pragma once

#include <QByteArray>
#include <QHash>
#include <QMetaObject>
#include <QObject>
#include <QString>

class QNetworkAccessManager;
class QNetworkReply;
class QNetworkRequest;

// Carries out one form-encoded POST to the service and hands its reply to
// whoever connected to onResponse(), or its failure to onFailure(). Parent it
// to the requesting object; it disposes of the reply and of itself once the
// reply has finished.
class RequestSender : public QObject
{
    Q_OBJECT
public:
    // A request that receives nothing for this long (milliseconds) is aborted
    // and fails.
    static constexpr int transferTimeout = 30000;

    explicit RequestSender(QObject *parent);
    ~RequestSender() override;

    void sendRequest(const QString &url, const QHash<QString, QString> &fields);

    // The body sendRequest() posts for these fields.
    static QByteArray encodeFields(const QHash<QString, QString> &fields);

    // The one access manager of the process, created on first use.
    static QNetworkAccessManager *sharedManager();

    // Whether a reply, which Qt 5.15 at times finishes without an error when
    // its connection closed in the middle of the body, holds fewer bytes
    // (receivedBytes in all) than its Content-Length announced. Such a reply
    // is a failed request.
    static bool isCutShort(const QNetworkReply *reply, qint64 receivedBytes);

Q_SIGNALS:
    // Emitted from sendRequest() once the reply exists, for callers that read
    // its body as it arrives. The sender still owns the reply and disposes of
    // it after finished(); onResponse() is delivered as usual.
    void replyStarted(QNetworkReply *reply);
    // Emitted at most once, only for a reply without error or with HTTP 401
    // (QNetworkReply::AuthenticationRequiredError).
    void onResponse(QNetworkReply *reply);
    // Emitted at most once, instead of onResponse(), for a request that
    // failed in any other way, with the reason (FailureReason::of()).
    void onFailure(QString reason);

public Q_SLOTS:
    // Delivers the reply if it is this sender's own, then disposes of both.
    void endRequest(QNetworkReply *reply);

private:
    // Whether requests with a body ask the server to continue ("Expect:
    // 100-continue"): until the service refuses it (HTTP 417) or answers
    // over HTTP/2.
    static bool &askToContinue();
    static bool isRefusedExpectation(const QNetworkReply *reply);
    void post(QNetworkRequest request, bool expectContinue);
    void retryWithoutExpectation(QNetworkReply *reply);

    QNetworkAccessManager *manager;
    QMetaObject::Connection connection;
    QByteArray body;
};
