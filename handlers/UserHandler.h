#pragma once

#include "app/QmlSingletonType.h"

#include <QObject>

class QNetworkReply;

// Logs the controller in to the service and holds who is logged in.
class UserHandler : public QObject, public QmlSingletonType<UserHandler>
{
    Q_OBJECT
    /// The member number of the logged-in controller, as the service gave it.
    Q_PROPERTY(QString vatsimId READ vatsimId WRITE setVatsimId NOTIFY vatsimIdChanged)
    /// The controller's rating code ("OBS", "STU1", ...).
    Q_PROPERTY(QString rating READ rating WRITE setRating NOTIFY ratingChanged)
    /// The member number remembered from the last successful login.
    Q_PROPERTY(QString username READ username NOTIFY usernameChanged)
    /// The password value remembered from the last successful login (a digest).
    Q_PROPERTY(QString hashedPassword READ hashedPassword NOTIFY hashedPasswordChanged)

public:
    explicit UserHandler(QObject *parent = nullptr);

    QString vatsimId() const;
    void setVatsimId(const QString &vatsimId);
    QString rating() const;
    void setRating(const QString &rating);
    QString username() const;
    QString hashedPassword() const;

public Q_SLOTS:
    void logIn(const QString &name, const QString &password);

Q_SIGNALS:
    void vatsimIdChanged(QString newVatsimId);
    void ratingChanged(QString newRating);
    void usernameChanged(QString newUsername);
    void hashedPasswordChanged(QString newHashedPassword);
    void loginCompleted();
    void loginFailed();
    void loginEmpty();
    // The service could not be asked, or gave no usable answer; the
    // remembered credentials stay.
    void loginError(QString reason);

private Q_SLOTS:
    void OnLogInReply(QNetworkReply *reply);

private:
    QString currentVatsimId;
    QString currentRating;
    QString sentPassword;
};
