// Fuzzes the profile merge. The input is the user's copy, a NUL byte, then
// the downloaded file (no NUL: no user copy). The result is checked against
// the merge rules read on their own, with the markers written out apart from
// the merge's own list (so a marker lost from that list shows): the
// download's lines without the user's markers, without carriage returns and
// each ending in a line feed, then the user's keyed lines byte for byte, in
// order, the last one even without a line feed.

#include "update/ProfileMerge.h"

#include <QByteArrayList>
#include <QCoreApplication>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

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
    new QCoreApplication(*argc, *argv);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray input(reinterpret_cast<const char *>(data), int(size));
    const int split = input.indexOf('\0');
    const QByteArray userCopy = split < 0 ? QByteArray() : input.left(split);
    const QByteArray downloaded = split < 0 ? input : input.mid(split + 1);

    QByteArray expected;
    for (QByteArray line : splitLines(QByteArray(downloaded).replace('\r', QByteArray()))) {
        if (!isUserLine(line))
            expected += line.endsWith('\n') ? line : line + '\n';
    }
    for (const QByteArray &line : splitLines(userCopy)) {
        if (isUserLine(line))
            expected += line;
    }
    if (ProfileMerge::MergeProfile(userCopy, downloaded) != expected) {
        fprintf(stderr,
                "Broken merge invariant: the result is not the download's kept lines "
                "followed by the user's keyed lines\n");
        abort();
    }
    return 0;
}
