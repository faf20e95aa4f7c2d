#include "AtomicFileWriter.h"

#include "platform/Platform.h"

#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QLoggingCategory>

namespace {
Q_LOGGING_CATEGORY(lcWrite, "tarn.update")

const QLatin1String partSuffix(".tarn-part");

// Everything but the rename: the data, then the permissions and the time,
// set last so that nothing written afterwards changes it.
bool writePart(QFile &part, const QByteArray &data, const QDateTime &modificationTime,
               const QString &permissionsOf)
{
    if (!part.open(QIODevice::WriteOnly)) {
        qCWarning(lcWrite) << "Could not create" << part.fileName() << "-" << part.errorString();
        return false;
    }
    if (part.write(data) != data.size() || !part.flush()) {
        qCWarning(lcWrite) << "Could not write" << part.fileName() << "-" << part.errorString();
        return false;
    }
    if (QFileInfo::exists(permissionsOf)
        && !part.setPermissions(QFile::permissions(permissionsOf))) {
        qCWarning(lcWrite) << "Could not set the permissions of" << part.fileName() << "-"
                           << part.errorString();
        return false;
    }
    if (modificationTime.isValid()
        && !part.setFileTime(modificationTime, QFileDevice::FileModificationTime)) {
        qCWarning(lcWrite) << "Could not set the modification time of" << part.fileName() << "-"
                           << part.errorString();
        return false;
    }
    part.close();
    if (part.error() != QFileDevice::NoError) {
        qCWarning(lcWrite) << "Could not close" << part.fileName() << "-" << part.errorString();
        return false;
    }
    return true;
}
} // namespace

bool AtomicFileWriter::write(const QString &target, const QByteArray &data,
                             const QDateTime &modificationTime, const QString &permissionsOf)
{
    QFile part(target + partSuffix);
    if (part.exists() && !part.remove()) {
        qCWarning(lcWrite) << "Could not remove the stale" << part.fileName() << "-"
                           << part.errorString();
        return false;
    }
    if (!writePart(part, data, modificationTime, permissionsOf)) {
        part.close();
        part.remove();
        return false;
    }
    if (!Platform::replaceFile(part.fileName(), target)) {
        qCWarning(lcWrite) << "Could not replace" << target << "with" << part.fileName();
        part.remove();
        return false;
    }
    return true;
}

bool AtomicFileWriter::isPartFile(const QString &path)
{
    return path.endsWith(partSuffix);
}

void AtomicFileWriter::removePartFiles(const QString &folder)
{
    QDirIterator parts(folder, {QLatin1Char('*') + partSuffix}, QDir::Files | QDir::Hidden);
    while (parts.hasNext()) {
        const QString part = parts.next();
        if (!QFile::remove(part))
            qCWarning(lcWrite) << "Could not remove the stale" << part;
    }
}
