#pragma once

#include "app/QmlSingletonType.h"

#include <QObject>

class FilesChecker;

// Brings the user's sector folder up to date for the update page: "Check"
// compares it with the service's tree, "Update" downloads what is outdated.
class UpdateHandler : public QObject, public QmlSingletonType<UpdateHandler>
{
    Q_OBJECT
    /// Free text for the interface; the controller itself never writes it.
    Q_PROPERTY(QString debugText READ debugText WRITE setDebugText NOTIFY debugTextChanged)

public:
    explicit UpdateHandler(QObject *parent = nullptr);

    QString debugText() const;
    void setDebugText(const QString &debugText);

Q_SIGNALS:
    void debugTextChanged(QString newDebugText);
    void checkoutComplete(bool needsUpdate, QString Updated);
    void updateProgress(uint current, uint count);
    void updateCompleted();
    void sectorFolderError();
    // The file list could not be had; nothing was compared.
    void checkFailed(QString reason);
    // Emitted just before updateCompleted() when some files could not be
    // downloaded or written; pending of them are still to download.
    void updateFailures(uint failed, uint pending);

public Q_SLOTS:
    void checkUpdate();
    void startUpdate();

private:
    void attachRelays();
    void OnFilesCompared();
    void OnOneFileUpdated();
    void OnUpdateFinished();

    QString currentDebugText;
    FilesChecker *filesChecker = nullptr;
    quint64 filesToUpdate = 0;
    bool relaysAttached = false;
};
