#pragma once

// What the two list fuzzers share: a reply that holds the fuzzed body, the
// real FilesChecker reading it, a small real folder around the root, and the
// checks that no listed path leaves the root.

#include "update/FilesChecker.h"

#include <QByteArray>
#include <QDateTime>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QLoggingCategory>
#include <QMap>
#include <QMetaObject>
#include <QNetworkReply>
#include <QString>
#include <QTemporaryDir>

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace ListFuzzing {

// A finished reply without error whose body is the fuzzer's input.
class InputReply : public QNetworkReply
{
public:
    explicit InputReply(const QByteArray &body)
        : m_body(body)
    {
        setOpenMode(QIODevice::ReadOnly);
        setFinished(true);
    }

    void abort() override { }

    qint64 bytesAvailable() const override
    {
        return m_body.size() - m_offset + QNetworkReply::bytesAvailable();
    }

protected:
    qint64 readData(char *data, qint64 maxSize) override
    {
        const qint64 count = qMin(maxSize, qint64(m_body.size()) - m_offset);
        if (count <= 0)
            return -1;
        memcpy(data, m_body.constData() + m_offset, size_t(count));
        m_offset += count;
        return count;
    }

private:
    QByteArray m_body;
    qint64 m_offset = 0;
};

[[noreturn]] inline void broken(const char *invariant, const QString &path = QString())
{
    fprintf(stderr, "Broken list invariant: %s %s\n", invariant, qUtf8Printable(path));
    abort();
}

// A temporary folder holding the root and, beside it, files that no list
// may touch; the root's own files are laid anew before every input.
class Folders
{
public:
    Folders()
    {
        if (!m_base.isValid())
            broken("the temporary folder could not be made");
        m_root = m_base.filePath(QStringLiteral("root"));
        write(m_base.filePath(QStringLiteral("outside/secret.txt")), "secret");
        write(m_base.filePath(QStringLiteral("outside/old.dll.delete")), "set aside");
        write(m_base.filePath(QStringLiteral("neighbour.delete")), "set aside");
        write(m_base.filePath(QStringLiteral("rootsibling/Data/file.txt")), "other");
        m_outside = snapshotOutsideRoot();
    }

    QString root() const { return m_root; }

    void layRoot() const
    {
        for (const char *file : {"Tarn.exe", "sub/file.dll", "Data/file.txt", "Data/Brenmar.prf",
                                 "old.dll.delete", "sub/file.dll.tarn-part"}) {
            const QString path = m_root + QLatin1Char('/') + QLatin1String(file);
            if (!QFileInfo::exists(path))
                write(path, file);
        }
    }

    void checkNothingOutsideRootChanged() const
    {
        if (snapshotOutsideRoot() != m_outside)
            broken("a file or folder outside the root was created, changed or deleted");
    }

private:
    static void write(const QString &path, const char *content)
    {
        QDir().mkpath(QFileInfo(path).absolutePath());
        QFile file(path);
        if (!file.open(QIODevice::WriteOnly) || file.write(content) < 0)
            broken("a file of the folder could not be written:", path);
    }

    // Every entry below the base folder but outside the root, with its size
    // and modification time.
    QMap<QString, QString> snapshotOutsideRoot() const
    {
        QMap<QString, QString> entries;
        const QString rootPrefix = m_root + QLatin1Char('/');
        QDirIterator it(m_base.path(),
                        QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                        QDirIterator::Subdirectories);
        while (it.hasNext()) {
            const QString path = it.next();
            if (path == m_root || path.startsWith(rootPrefix))
                continue;
            const QFileInfo info = it.fileInfo();
            entries.insert(path,
                           QString::number(info.size()) + QLatin1Char(' ')
                               + QString::number(info.lastModified().toMSecsSinceEpoch()));
        }
        return entries;
    }

    QTemporaryDir m_base;
    QString m_root;
    QMap<QString, QString> m_outside;
};

// Whether joined, read with either slash as a separator (as Windows reads
// it), names something strictly inside root, with no drive or stream colon.
inline bool staysInside(const QString &root, const QString &relativePath, const QString &joined)
{
    if (relativePath.contains(QLatin1Char(':')))
        return false;
    QString unified = joined;
    unified.replace(QLatin1Char('\\'), QLatin1Char('/'));
    const QString clean = QDir::cleanPath(unified);
    const QString prefix = root + QLatin1Char('/');
    return clean.startsWith(prefix) && clean.size() > prefix.size();
}

// Hands body to the checker's list slot, as RequestSender would.
inline void deliverList(FilesChecker &checker, const QByteArray &body)
{
    InputReply reply(body);
    gsl::not_null<QNetworkReply *> argument(&reply);
    if (!QMetaObject::invokeMethod(&checker, "OnReceivedFilelist", Qt::DirectConnection,
                                   Q_ARG(gsl::not_null<QNetworkReply *>, argument)))
        broken("the list slot could not be called");
}

// Compares the folders' freshly laid root with the list in data, read in
// mode ("client" or "sector"), and returns the files found to download.
inline QStringList pendingAfterList(Folders &folders, const QString &mode, const uint8_t *data,
                                    size_t size)
{
    folders.layRoot();
    FilesChecker checker(nullptr, false);
    checker.SetRootPath(folders.root());
    checker.SetMode(mode);
    deliverList(checker, QByteArray(reinterpret_cast<const char *>(data), int(size)));
    return checker.PendingFiles();
}

// Warnings about skipped hostile paths would flood the fuzzer's output.
inline void silenceTarnLogging()
{
    QLoggingCategory::setFilterRules(QStringLiteral("tarn.*=false"));
}

} // namespace ListFuzzing
