#pragma once

#include <QByteArray>
#include <QByteArrayList>
#include <QString>

// Carries the user's own lines of a EuroScope profile or ASR file over into
// a downloaded copy. Works on raw bytes: the markers are plain ASCII, so a
// line in any encoding (a device name in a legacy code page, say) is kept
// byte for byte.
namespace ProfileMerge {

// The community's EuroScope profile, in the sector folder.
inline const QString communityProfileName = QStringLiteral("Brenmar.prf");

// The line markers whose lines belong to the user, in their fixed order.
const QByteArrayList &profileKeys();

// Whether the file at filePath is merged when it is downloaded: its path
// holds the community profile's name or ".asr" anywhere, in any letter case.
bool appliesTo(const QString &filePath);

// Whether line holds at least one marker, in any letter case.
bool isKeyedLine(const QByteArray &line);

// The bytes to write in place of downloaded: its lines without carriage
// returns and without keyed lines, each ending in a line feed, followed by
// the keyed lines of userCopy exactly as they are stored there.
QByteArray MergeProfile(const QByteArray &userCopy, const QByteArray &downloaded);

} // namespace ProfileMerge
