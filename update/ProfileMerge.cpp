#include "ProfileMerge.h"

namespace {
QByteArray asciiLower(const QByteArray &bytes)
{
    QByteArray lower = bytes;
    for (char &c : lower) {
        if (c >= 'A' && c <= 'Z')
            c = char(c - 'A' + 'a');
    }
    return lower;
}

QByteArrayList lowerCaseKeys()
{
    QByteArrayList keys;
    for (const QByteArray &key : ProfileMerge::profileKeys())
        keys.append(asciiLower(key));
    return keys;
}

// Splits at line feeds; each line keeps its terminator, the last may have none.
QByteArrayList linesOf(const QByteArray &bytes)
{
    QByteArrayList lines;
    int start = 0;
    while (start < bytes.size()) {
        const int feed = bytes.indexOf('\n', start);
        const int end = feed < 0 ? bytes.size() : feed + 1;
        lines.append(bytes.mid(start, end - start));
        start = end;
    }
    return lines;
}
} // namespace

namespace ProfileMerge {

const QByteArrayList &profileKeys()
{
    static const QByteArrayList keys = {
        QByteArrayLiteral("LastSession\tconnecttype"),
        QByteArrayLiteral("LastSession\tfacility"),
        QByteArrayLiteral("LastSession\trating"),
        QByteArrayLiteral("LastSession\ttovatsim"),
        QByteArrayLiteral("LastSession\trange"),
        QByteArrayLiteral("LastSession\trealname"),
        QByteArrayLiteral("LastSession\tcertificate"),
        QByteArrayLiteral("LastSession\tpassword"),
        QByteArrayLiteral("LastSession\tserver"),
        QByteArrayLiteral("LastSession\tatis_airport"),
        QByteArrayLiteral("Voice\tinput_hardware"),
        QByteArrayLiteral("Voice\toutput_hardware"),
        QByteArrayLiteral("Voice\tinput_hardware2"),
        QByteArrayLiteral("Voice\toutput_hardware2"),
        QByteArrayLiteral("Voice\tPPPT"),
        QByteArrayLiteral("Voice\tSPPT"),
        QByteArrayLiteral("Settings\tAselKey"),
        QByteArrayLiteral("Settings\tFreqKey"),
        QByteArrayLiteral("LastSession\tatis4"),
        QByteArrayLiteral("LastSession\tatis2"),
        QByteArrayLiteral("LastSession\tcallsign"),
        QByteArrayLiteral("LastSession\tatis3"),
        QByteArrayLiteral("Sounds\t"),
        QByteArrayLiteral("SECTORFILE:"),
        QByteArrayLiteral("SECTORTITLE:"),
    };
    return keys;
}

bool appliesTo(const QString &filePath)
{
    return filePath.contains(communityProfileName, Qt::CaseInsensitive)
        || filePath.contains(QLatin1String(".asr"), Qt::CaseInsensitive);
}

bool isKeyedLine(const QByteArray &line)
{
    static const QByteArrayList keys = lowerCaseKeys();
    const QByteArray lower = asciiLower(line);
    for (const QByteArray &key : keys) {
        if (lower.contains(key))
            return true;
    }
    return false;
}

QByteArray MergeProfile(const QByteArray &userCopy, const QByteArray &downloaded)
{
    QByteArray merged;
    merged.reserve(downloaded.size() + userCopy.size() + 1);
    QByteArray withoutReturns = downloaded;
    withoutReturns.replace('\r', QByteArray());
    for (QByteArray line : linesOf(withoutReturns)) {
        if (isKeyedLine(line))
            continue;
        // A last line without a line feed gets one, so that the user's lines
        // below start on lines of their own.
        if (!line.endsWith('\n'))
            line.append('\n');
        merged.append(line);
    }
    for (const QByteArray &line : linesOf(userCopy)) {
        if (isKeyedLine(line))
            merged.append(line);
    }
    return merged;
}

} // namespace ProfileMerge
