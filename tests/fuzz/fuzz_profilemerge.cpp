// Fuzzes the profile merge. The input is the user's copy, a NUL byte, then
// the downloaded file (no NUL: no user copy). The result must hold, in this
// order, lines without carriage returns, each ending in a line feed, none of
// them a user's line, as many as the download holds other lines; then the
// user's lines of the user's copy, byte for byte. User lines are found by
// the markers written out apart from the merge's own list, so a marker lost
// from that list shows.

#include "FuzzTarget.h"

#include "update/ProfileMerge.h"

#include <QByteArrayList>

#include <algorithm>
#include <cstdint>

namespace {
bool isUserLine(const QByteArray &line)
{
    // In lower case, once.
    static const QByteArrayList markers
        = QByteArray("lastsession\tconnecttype|lastsession\tfacility|lastsession\trating|"
                     "lastsession\ttovatsim|lastsession\trange|lastsession\trealname|"
                     "lastsession\tcertificate|lastsession\tpassword|lastsession\tserver|"
                     "lastsession\tatis_airport|voice\tinput_hardware|voice\toutput_hardware|"
                     "voice\tinput_hardware2|voice\toutput_hardware2|voice\tpppt|voice\tsppt|"
                     "settings\taselkey|settings\tfreqkey|lastsession\tatis4|lastsession\tatis2|"
                     "lastsession\tcallsign|lastsession\tatis3|sounds\t|sectorfile:|sectortitle:")
              .split('|');
    const QByteArray lower = line.toLower();
    return std::any_of(markers.cbegin(), markers.cend(),
                       [&](const QByteArray &marker) { return lower.contains(marker); });
}

// Lines with their line feeds; the last one may have none.
QByteArrayList splitLines(const QByteArray &bytes)
{
    QByteArrayList lines = bytes.split('\n');
    for (int i = 0; i + 1 < lines.size(); ++i)
        lines[i] += '\n';
    if (lines.last().isEmpty())
        lines.removeLast();
    return lines;
}
} // namespace

extern "C" int LLVMFuzzerInitialize(int *argc, char ***argv)
{
    startFuzzTarget(argc, argv);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray input(reinterpret_cast<const char *>(data), int(size));
    const int split = input.indexOf('\0');
    const QByteArray userCopy = split < 0 ? QByteArray() : input.left(split);
    const QByteArray downloaded = split < 0 ? input : input.mid(split + 1);
    const QByteArray merged = ProfileMerge::MergeProfile(userCopy, downloaded);

    QByteArray userLines;
    for (const QByteArray &line : splitLines(userCopy)) {
        if (isUserLine(line))
            userLines += line;
    }
    if (!merged.endsWith(userLines))
        broken("the user's lines are not kept at the end, byte for byte, in order");
    const QByteArray kept = merged.chopped(userLines.size());
    if (kept.contains('\r') || (!kept.isEmpty() && !kept.endsWith('\n')))
        broken("a kept line holds a carriage return or lacks its line feed");
    const QByteArrayList keptLines = splitLines(kept);
    if (std::any_of(keptLines.cbegin(), keptLines.cend(), isUserLine))
        broken("a user's line of the download is kept");
    const QByteArrayList downloadedLines = splitLines(QByteArray(downloaded).replace('\r', ""));
    if (keptLines.size()
        != std::count_if(downloadedLines.cbegin(), downloadedLines.cend(),
                         [](const QByteArray &line) { return !isUserLine(line); }))
        broken("a line of the download that is not a user's line is lost");
    return 0;
}
