// Fuzzes the profile merge. The input is the user's copy, a NUL byte, then
// the downloaded file (no NUL: no user copy). The result is checked against
// the merge rules read on their own, without the merge's helpers.

#include "update/ProfileMerge.h"

#include <QByteArray>
#include <QByteArrayList>
#include <QCoreApplication>

#include <cstdint>
#include <cstdio>
#include <cstdlib>

namespace {
// The markers of the user's lines, written out again on purpose: a marker
// lost from the merge's own list must show as a broken invariant.
const char *const userLineMarkers[] = {
    "LastSession\tconnecttype",
    "LastSession\tfacility",
    "LastSession\trating",
    "LastSession\ttovatsim",
    "LastSession\trange",
    "LastSession\trealname",
    "LastSession\tcertificate",
    "LastSession\tpassword",
    "LastSession\tserver",
    "LastSession\tatis_airport",
    "Voice\tinput_hardware",
    "Voice\toutput_hardware",
    "Voice\tinput_hardware2",
    "Voice\toutput_hardware2",
    "Voice\tPPPT",
    "Voice\tSPPT",
    "Settings\tAselKey",
    "Settings\tFreqKey",
    "LastSession\tatis4",
    "LastSession\tatis2",
    "LastSession\tcallsign",
    "LastSession\tatis3",
    "Sounds\t",
    "SECTORFILE:",
    "SECTORTITLE:",
};

char lowerAscii(char c)
{
    return c >= 'A' && c <= 'Z' ? char(c + ('a' - 'A')) : c;
}

bool containsIgnoringCase(const QByteArray &line, const char *marker)
{
    const int length = int(qstrlen(marker));
    for (int start = 0; start + length <= line.size(); ++start) {
        int i = 0;
        while (i < length && lowerAscii(line.at(start + i)) == lowerAscii(marker[i]))
            ++i;
        if (i == length)
            return true;
    }
    return false;
}

bool isUserLine(const QByteArray &line)
{
    for (const char *marker : userLineMarkers) {
        if (containsIgnoringCase(line, marker))
            return true;
    }
    return false;
}

// Lines with their line feeds; the last one may have none.
QByteArrayList splitLines(const QByteArray &bytes)
{
    QByteArrayList lines;
    QByteArray line;
    for (const char c : bytes) {
        line.append(c);
        if (c == '\n') {
            lines.append(line);
            line.clear();
        }
    }
    if (!line.isEmpty())
        lines.append(line);
    return lines;
}

[[noreturn]] void broken(const char *invariant)
{
    fprintf(stderr, "Broken merge invariant: %s\n", invariant);
    abort();
}

// Whether needles appear in haystack one after the other, each whole.
bool appearsInOrder(const QByteArray &haystack, const QByteArrayList &needles, int from = 0)
{
    for (const QByteArray &needle : needles) {
        const int at = haystack.indexOf(needle, from);
        if (at < 0)
            return false;
        from = at + needle.size();
    }
    return true;
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

    // The service's lines lose every carriage return and each ends in a line
    // feed; the user's lines keep their bytes exactly, the last one even
    // without a line feed.
    QByteArrayList kept;
    QByteArrayList droppedDownloadLines;
    QByteArray withoutReturns = downloaded;
    withoutReturns.replace('\r', QByteArray());
    for (QByteArray line : splitLines(withoutReturns)) {
        if (isUserLine(line)) {
            droppedDownloadLines.append(line);
            continue;
        }
        if (!line.endsWith('\n'))
            line.append('\n');
        kept.append(line);
    }
    QByteArrayList userLines;
    for (const QByteArray &line : splitLines(userCopy)) {
        if (isUserLine(line))
            userLines.append(line);
    }

    const QByteArray merged = ProfileMerge::MergeProfile(userCopy, downloaded);

    if (!appearsInOrder(merged, kept))
        broken("a line of the download kept by the merge is not in the result, byte for byte and "
               "in order");
    const QByteArray keptBytes = kept.join();
    if (!merged.startsWith(keptBytes))
        broken("the result does not start with the kept lines of the download");
    const QByteArray tail = merged.mid(keptBytes.size());
    if (tail != userLines.join()) {
        if (!appearsInOrder(tail, userLines))
            broken("a keyed line of the user's copy is missing, altered or out of order");
        for (const QByteArray &line : splitLines(tail)) {
            if (droppedDownloadLines.contains(line) && !userLines.contains(line))
                broken("a keyed line of the download was kept");
        }
        broken("the result holds bytes that are neither a kept download line nor a user line");
    }
    return 0;
}
