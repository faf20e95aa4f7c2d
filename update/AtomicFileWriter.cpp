#include "AtomicFileWriter.h"

#include "platform/Logging.h"
#include "platform/Platform.h"

#include <QDirIterator>
#include <QFile>
#include <QFileInfo>

namespace {
const QLatin1String partSuffix(".tarn-part");

bool createPart(QFile &part)
{
    if (part.exists() && !part.remove()) {
        qCWarning(lcUpdate) << "Could not remove the stale" << part.fileName() << "-"
                            << part.errorString();
        return false;
    }
    if (!part.open(QIODevice::WriteOnly)) {
        qCWarning(lcUpdate) << "Could not create" << part.fileName() << "-" << part.errorString();
        return false;
    }
    return true;
}

bool appendToPart(QFile &part, const QByteArray &data)
{
    if (part.write(data) != data.size()) {
        qCWarning(lcUpdate) << "Could not write" << part.fileName() << "-" << part.errorString();
        return false;
    }
    return true;
}

// The permissions and the time, set last so that nothing written afterwards
// changes them, then the close.
bool completePart(QFile &part, const QDateTime &modificationTime, const QString &permissionsOf)
{
    if (!part.flush()) {
        qCWarning(lcUpdate) << "Could not write" << part.fileName() << "-" << part.errorString();
        return false;
    }
    if (QFileInfo::exists(permissionsOf)
        && !part.setPermissions(QFile::permissions(permissionsOf))) {
        qCWarning(lcUpdate) << "Could not set the permissions of" << part.fileName() << "-"
                            << part.errorString();
        return false;
    }
    if (modificationTime.isValid()
        && !part.setFileTime(modificationTime, QFileDevice::FileModificationTime)) {
        qCWarning(lcUpdate) << "Could not set the modification time of" << part.fileName() << "-"
                            << part.errorString();
        return false;
    }
    part.close();
    if (part.error() != QFileDevice::NoError) {
        qCWarning(lcUpdate) << "Could not close" << part.fileName() << "-" << part.errorString();
        return false;
    }
    return true;
}

bool renameOver(QFile &part, const QString &target)
{
    if (!Platform::replaceFile(part.fileName(), target)) {
        qCWarning(lcUpdate) << "Could not replace" << target << "with" << part.fileName();
        part.remove();
        return false;
    }
    return true;
}
} // namespace

bool AtomicFileWriter::write(const QString &target, const QByteArray &data,
                             const QDateTime &modificationTime, const QString &permissionsOf,
                             const QString &setAsideAs)
{
    Incremental writer(target);
    return writer.open() && writer.append(data)
        && writer.finish(modificationTime, permissionsOf, setAsideAs);
}

AtomicFileWriter::Incremental::Incremental(const QString &target)
    : target(target)
    , part(target + partSuffix)
{
}

AtomicFileWriter::Incremental::~Incremental()
{
    abandon();
}

bool AtomicFileWriter::Incremental::open()
{
    live = createPart(part);
    return live;
}

bool AtomicFileWriter::Incremental::append(const QByteArray &data)
{
    if (!live)
        return false;
    if (appendToPart(part, data))
        return true;
    abandon();
    return false;
}

bool AtomicFileWriter::Incremental::finish(const QDateTime &modificationTime,
                                           const QString &permissionsOf, const QString &setAsideAs)
{
    if (!live)
        return false;
    if (!completePart(part, modificationTime, permissionsOf)) {
        abandon();
        return false;
    }
    // A failed rename removes the partial file itself; a successful one must
    // not be undone by the destructor.
    live = false;
    // Where it cannot be set aside, the rename still replaces a file that is
    // not really in use.
    if (!setAsideAs.isEmpty() && Platform::setAside(target, setAsideAs).isEmpty())
        qCWarning(lcUpdate) << "Could not set" << target << "aside as" << setAsideAs;
    return renameOver(part, target);
}

void AtomicFileWriter::Incremental::abandon()
{
    if (!live)
        return;
    live = false;
    part.close();
    part.remove();
}

bool AtomicFileWriter::Incremental::isLive() const
{
    return live;
}

QString AtomicFileWriter::Incremental::partFileName() const
{
    return part.fileName();
}

bool AtomicFileWriter::isPartFile(const QString &path)
{
    return path.endsWith(partSuffix);
}

void AtomicFileWriter::removePartFiles(const QString &folder, const QSet<QString> &keep)
{
    QDirIterator parts(folder, {QLatin1Char('*') + partSuffix}, QDir::Files | QDir::Hidden);
    while (parts.hasNext()) {
        const QString part = parts.next();
        if (keep.contains(part))
            continue;
        if (!QFile::remove(part))
            qCWarning(lcUpdate) << "Could not remove the stale" << part;
    }
}
