#pragma once

#include "app/QmlSingletonType.h"

#include <QObject>

// Starts the programs a controller works with (EuroScope with the voice
// client, Discord) and carries the build label. Its constructor creates the
// other handlers, in the order the rest of the program relies on.
class ApplicationHandler : public QObject, public QmlSingletonType<ApplicationHandler>
{
    Q_OBJECT
    /// "Build " followed by the build number.
    Q_PROPERTY(QString buildNumberString READ buildNumberString CONSTANT)
    /// The product's name and release, as the About page shows it.
    Q_PROPERTY(QString productTitle READ productTitle CONSTANT)
    /// The invitation to the community's chat server.
    Q_PROPERTY(QString chatInvitation READ chatInvitation CONSTANT)

public:
    explicit ApplicationHandler(QObject *parent = nullptr);

    QString buildNumberString() const;
    QString productTitle() const;
    QString chatInvitation() const;

public Q_SLOTS:
    void startEuroscope();
    void startDiscord();

Q_SIGNALS:
    // The voice client could not be started.
    void afvError();
    // EuroScope or Discord could not be started, or the chat invitation not
    // opened; the message says which.
    void launchError(QString message);
};
