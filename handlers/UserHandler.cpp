#include "UserHandler.h"

#include "SettingsHandler.h"
#include "net/ApiBaseUrl.h"
#include "net/FailureReason.h"
#include "net/RequestSender.h"

#include <QCryptographicHash>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkReply>

#include <array>
#include <optional>

namespace {
const QString loginPath = QStringLiteral("/login.php");
const QString usernameKey = QStringLiteral("username");
const QString hashedPasswordKey = QStringLiteral("hashedPassword");

// Rating codes by the service's rating number; 6 and 9 have no code.
const std::array<const char *, 13> ratingCodes = {
    "OBS", "OBS", "STU1", "STU2", "STU3", "CTR1", "", "CTR3", "INS1", "", "INS3", "SUP", "ADM",
};

SettingsHandler *settings()
{
    return QmlSingletonType<SettingsHandler>::instance;
}

QString storedString(const QString &key)
{
    return settings()->contains(key) ? settings()->value(key).toString() : QString();
}

// Lower-case hexadecimal SHA-1 of the password's UTF-8 bytes.
QString passwordDigest(const QString &password)
{
    return QString::fromLatin1(
        QCryptographicHash::hash(password.toUtf8(), QCryptographicHash::Sha1).toHex());
}

// A number outside the table has no code: the rating stays as it was.
std::optional<QString> ratingCode(int number)
{
    if (number < 0 || number >= int(ratingCodes.size()))
        return std::nullopt;
    return QString::fromLatin1(ratingCodes[size_t(number)]);
}
} // namespace

UserHandler::UserHandler(QObject *parent)
    : QObject(parent)
    , QmlSingletonType(this)
{
}

QString UserHandler::vatsimId() const
{
    return currentVatsimId;
}

void UserHandler::setVatsimId(const QString &vatsimId)
{
    if (vatsimId == currentVatsimId)
        return;
    currentVatsimId = vatsimId;
    Q_EMIT vatsimIdChanged(currentVatsimId);
}

QString UserHandler::rating() const
{
    return currentRating;
}

void UserHandler::setRating(const QString &rating)
{
    if (rating == currentRating)
        return;
    currentRating = rating;
    Q_EMIT ratingChanged(currentRating);
}

QString UserHandler::username() const
{
    return storedString(usernameKey);
}

QString UserHandler::hashedPassword() const
{
    return storedString(hashedPasswordKey);
}

void UserHandler::logIn(const QString &name, const QString &password)
{
    if (name.isEmpty() || password.isEmpty()) {
        Q_EMIT loginEmpty();
        return;
    }
    auto *sender = new RequestSender(this);
    // The login page shows the remembered digest in its password field: only
    // that exact text goes out again as it is; anything typed is hashed.
    sentPassword = password == hashedPassword() ? password : passwordDigest(password);
    connect(sender, &RequestSender::onResponse, this, &UserHandler::OnLogInReply);
    connect(sender, &RequestSender::onFailure, this, &UserHandler::loginError);
    sender->sendRequest(
        apiBaseUrl + loginPath,
        {{QStringLiteral("vatsimid"), name}, {QStringLiteral("password"), sentPassword}});
}

void UserHandler::OnLogInReply(QNetworkReply *reply)
{
    if (reply->error() == QNetworkReply::AuthenticationRequiredError) {
        settings()->remove(usernameKey);
        settings()->remove(hashedPasswordKey);
        settings()->saveSettings();
        Q_EMIT loginFailed();
        return;
    }

    // A cut answer is a failed request, which keeps the remembered credentials.
    const QByteArray body = reply->readAll();
    if (RequestSender::isCutShort(reply, body.size())) {
        Q_EMIT loginError(FailureReason::cutShort());
        return;
    }
    // Any other answer with status 200 is a successful login, whatever its body.
    const QJsonObject answer = QJsonDocument::fromJson(body).object();
    currentVatsimId = answer.value(QStringLiteral("cid")).toString();
    if (const auto code = ratingCode(answer.value(QStringLiteral("rating")).toInt()))
        currentRating = *code;

    settings()->insert(usernameKey, currentVatsimId);
    settings()->insert(hashedPasswordKey, sentPassword);
    settings()->saveSettings();
    Q_EMIT loginCompleted();
}
