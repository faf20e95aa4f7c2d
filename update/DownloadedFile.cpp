#include "DownloadedFile.h"

#include "AtomicFileWriter.h"
#include "ProfileMerge.h"
#include "net/FailureReason.h"
#include "platform/Logging.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QNetworkReply>

namespace {
const QByteArray contentDispositionHeader = QByteArrayLiteral("Content-Disposition");

// The user's copy of a file about to be replaced, as raw bytes; empty when
// there is none.
QByteArray userCopyAt(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}
} // namespace

namespace DownloadedFile {

QString whyNotWritable(const QNetworkReply *reply)
{
    if (reply->error() != QNetworkReply::NoError)
        return FailureReason::of(reply);
    return reply->hasRawHeader(contentDispositionHeader) ? QString() : FailureReason::noFile();
}

bool makeFolderFor(const QString &path)
{
    const QString folder = QFileInfo(path).absolutePath();
    if (QDir().mkpath(folder))
        return true;
    qCWarning(lcUpdate) << "Could not create the folder" << folder;
    return false;
}

bool write(const QString &path, const QByteArray &data, const QDateTime &modificationTime,
           const QString &setAsideAs)
{
    const QString localPath = QDir::cleanPath(path);
    const QByteArray bytes = ProfileMerge::appliesTo(path)
        ? ProfileMerge::MergeProfile(userCopyAt(localPath), data)
        : data;
    return makeFolderFor(localPath)
        && AtomicFileWriter::write(localPath, bytes, modificationTime, localPath,
                                   setAsideAs.isEmpty() ? QString() : QDir::cleanPath(setAsideAs));
}

} // namespace DownloadedFile
