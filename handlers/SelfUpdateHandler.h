#pragma once

#include "app/QmlSingletonType.h"

#include <QObject>

#include <memory>

class FilesChecker;
class QTimer;

// Brings the program's own folder up to date at start: a "client" comparison
// with the service's list, the downloads, and a restart when a file in use
// had to be replaced. A watchdog reports an update that does not finish.
class SelfUpdateHandler : public QObject, public QmlSingletonType<SelfUpdateHandler>
{
    Q_OBJECT
    /// Why the update failed, set before errorFound(); empty until then.
    Q_PROPERTY(QString errorReason READ errorReason NOTIFY errorReasonChanged)

public:
    // How long the update may take before errorFound() is reported.
    static constexpr int watchdogInterval = 90000;

    SelfUpdateHandler();
    ~SelfUpdateHandler() override;

    // Connected to the checker's RestartNeeded(): a file in use is replaced.
    void setNeedsRestart();

    QString errorReason() const;

Q_SIGNALS:
    void errorFound();
    void selfUpdated();
    void errorReasonChanged(QString newErrorReason);

private Q_SLOTS:
    void OnSelfUpdateFinished();

private:
    void OnSelfUpdateTimeout();
    void OnListFailed(const QString &reason);
    void reportError(const QString &reason);
    void restart();

    std::unique_ptr<FilesChecker> filesChecker;
    bool needsRestart = false;
    QTimer *watchdog = nullptr;
    // This process was started by a self-restart, so it must not restart again.
    bool restartedBySelf = false;
    QString currentErrorReason;
};
