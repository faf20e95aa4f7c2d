// Fuzzes the profile merge. The input is the user's copy, a NUL byte, then
// the downloaded file (no NUL: no user copy). The result is checked against
// the merge rules read on their own, with the markers of the tests: the
// download's lines without the user's markers, without carriage returns and
// each ending in a line feed, then the user's keyed lines byte for byte, in
// order, the last one even without a line feed.

#include "../update/ProfileMarkers.h"

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
    static const QByteArrayList markers = userLineMarkers().join('|').toLower().split('|');
    const QByteArray lower = line.toLower();
    return std::any_of(markers.cbegin(), markers.cend(),
                       [&](const QByteArray &marker) { return lower.contains(marker); });
}

// Lines with their line feeds; the last one may have none.
QByteArrayList splitLines(const QByteArray &bytes)
{
    QByteArrayList lines;
    for (int start = 0; start < bytes.size();) {
        const int end = bytes.indexOf('\n', start);
        const int next = end < 0 ? bytes.size() : end + 1;
        lines.append(bytes.mid(start, next - start));
        start = next;
    }
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
