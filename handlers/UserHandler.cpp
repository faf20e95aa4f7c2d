#include "UserHandler.h"

UserHandler::UserHandler(QObject *parent)
    : QObject(parent)
{
}

QString UserHandler::vatsimId() const
{
    return m_vatsimId;
}

void UserHandler::setVatsimId(const QString &vatsimId)
{
    if (vatsimId == m_vatsimId)
        return;
    m_vatsimId = vatsimId;
    Q_EMIT vatsimIdChanged(m_vatsimId);
}

QString UserHandler::rating() const
{
    return m_rating;
}

void UserHandler::setRating(const QString &rating)
{
    if (rating == m_rating)
        return;
    m_rating = rating;
    Q_EMIT ratingChanged(m_rating);
}

QString UserHandler::username() const
{
    return QString();
}

QString UserHandler::hashedPassword() const
{
    return QString();
}

void UserHandler::logIn(const QString &, const QString &)
{
}

void UserHandler::OnLogInReply(QNetworkReply *)
{
}
