#pragma once

#include <QByteArray>
#include <QDateTime>
#include <QFile>
#include <QSet>
#include <QString>

// Replaces files in one step. The bytes go to "<target>.tarn-part" in the
// target's folder, which is renamed over the target only once it is complete,
// so an interrupted or failed write leaves the old file or the whole new one.
class AtomicFileWriter
{
public:
    // Writes data as target and returns whether the target now holds it.
    // A valid modificationTime becomes the file's last-modification time. When
    // permissionsOf names an existing file (the one being replaced, which may
    // have been moved aside already), the new file gets its permissions.
    // A non-empty setAsideAs keeps the old file under that name as well (see
    // Platform::setAside), done once the new one is complete, right before it
    // takes the target's place.
    // A failure leaves the target as it was and removes the partial file.
    static bool write(const QString &target, const QByteArray &data,
                      const QDateTime &modificationTime, const QString &permissionsOf,
                      const QString &setAsideAs = QString());

    // The same replacement for data that arrives in pieces: open() creates the
    // partial file, append() adds to it, finish() completes it exactly as
    // write() does. Until finish() succeeds the target is untouched; a failure
    // or abandon() (also on destruction) removes the partial file.
    class Incremental
    {
    public:
        explicit Incremental(const QString &target);
        ~Incremental();
        Incremental(const Incremental &) = delete;
        Incremental &operator=(const Incremental &) = delete;

        bool open();
        bool append(const QByteArray &data);
        bool finish(const QDateTime &modificationTime, const QString &permissionsOf,
                    const QString &setAsideAs = QString());
        void abandon();
        // Open and neither finished nor abandoned.
        bool isLive() const;
        QString partFileName() const;

    private:
        QString target;
        QFile part;
        bool live = false;
    };

    // Whether path names a partial file that write() left behind when it was
    // interrupted.
    static bool isPartFile(const QString &path);

    // Removes the partial files directly inside folder, except those named
    // (absolute paths) in keep.
    static void removePartFiles(const QString &folder, const QSet<QString> &keep = {});
};
