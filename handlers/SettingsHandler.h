#pragma once

#include "app/QmlSingletonType.h"

#include <QObject>
#include <QVariantHash>

// The program's persistent settings: a key/value store in memory, mirrored
// into settings.dat beside the executable in Qt's binary JSON form.
class SettingsHandler : public QObject, public QmlSingletonType<SettingsHandler>
{
    Q_OBJECT
    /// The EuroScope executable as a file URL, exactly as the file dialog gave it.
    Q_PROPERTY(
        QString euroscopePath READ euroscopePath WRITE setEuroscopePath NOTIFY euroscopePathChanged)
    /// The sector folder as a file URL, exactly as the folder dialog gave it.
    Q_PROPERTY(QString sectorPath READ sectorPath WRITE setSectorPath NOTIFY sectorPathChanged)

public:
    explicit SettingsHandler(QObject *parent = nullptr);

    QString euroscopePath() const;
    void setEuroscopePath(const QString &path);
    QString sectorPath() const;
    void setSectorPath(const QString &path);

    // The folder EuroScope is normally installed in, as a native path.
    Q_INVOKABLE QString getDefaultEuroscopePath() const;
    // A file URL as a native path; any other text unchanged.
    Q_INVOKABLE QString natifyUrl(const QString &urlString) const;

    // Replaces the store with settings.dat; false when it cannot be opened.
    bool loadSettings();
    // Writes the whole store to settings.dat; false when it could not be written.
    bool saveSettings();

    bool contains(const QString &key) const;
    QVariant value(const QString &key) const;
    void insert(const QString &key, const QVariant &value);
    void remove(const QString &key);

    // Where settings.dat lives: beside the executable.
    static QString settingsFilePath();

Q_SIGNALS:
    void euroscopePathChanged(QString newEuroscopePath);
    void sectorPathChanged(QString newSectorPath);

private:
    QString stringValue(const QString &key) const;

    QVariantHash settings;
};
