#pragma once

#include <QByteArray>
#include <QDateTime>
#include <QString>

class QNetworkReply;

// What the program and the sector downloads share once a reply has come.
namespace DownloadedFile {

// Why a reply may not be written: an error, or no Content-Disposition
// header from the service. Empty when it may; anything else leaves its file
// pending.
QString whyNotWritable(const QNetworkReply *reply);

// Creates the folders that are to hold the file at path; logs a failure.
bool makeFolderFor(const QString &path);

// Puts data in place as the file at path and returns whether it is there. A
// profile is merged with the copy on disk first; then the folder chain is
// created and AtomicFileWriter replaces the file in one step, with
// modificationTime when that is valid and with the old file's permissions. A
// non-empty setAsideAs keeps the old file under that name as well.
bool write(const QString &path, const QByteArray &data, const QDateTime &modificationTime,
           const QString &setAsideAs = QString());

} // namespace DownloadedFile
