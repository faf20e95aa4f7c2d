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
public:
    // How long the update may take before errorFound() is reported.
    static constexpr int watchdogInterval = 90000;

    SelfUpdateHandler();
    ~SelfUpdateHandler() override;

    // Connected to the checker's RestartNeeded(): a file in use is replaced.
    void setNeedsRestart();

Q_SIGNALS:
    void errorFound();
    void selfUpdated();

private Q_SLOTS:
    void OnSelfUpdateFinished();

private:
    void OnSelfUpdateTimeout();
    void restart();

    std::unique_ptr<FilesChecker> filesChecker;
    bool needsRestart = false;
    QTimer *watchdog = nullptr;
    // This process was started by a self-restart, so it must not restart again.
    bool restartedBySelf = false;
};
