#include "ListedPath.h"

#include <QStringView>

namespace {
const QString sectorPrefix = QStringLiteral("//");
const QString refusedCharacters = QStringLiteral("\\:<>\"|?*");

// The digits of the numbered devices, the superscripts included.
const QString deviceDigits = QStringLiteral("0123456789\u00b9\u00b2\u00b3");

// Windows opens these as devices in any folder, with or without an extension,
// and with blanks before it ("CON .txt").
bool isDeviceName(QStringView component)
{
    QStringView base = component.left(component.indexOf(QLatin1Char('.')));
    while (base.endsWith(QLatin1Char(' ')))
        base.chop(1);
    for (const char *device : {"CON", "PRN", "AUX", "NUL", "CONIN$", "CONOUT$"}) {
        if (base.compare(QLatin1String(device), Qt::CaseInsensitive) == 0)
            return true;
    }
    return base.size() == 4 && deviceDigits.contains(base.at(3))
        && (base.startsWith(QLatin1String("COM"), Qt::CaseInsensitive)
            || base.startsWith(QLatin1String("LPT"), Qt::CaseInsensitive));
}

bool isSafeComponent(QStringView component)
{
    if (component.isEmpty() || component.endsWith(QLatin1Char('.'))
        || component.endsWith(QLatin1Char(' ')))
        return false;
    for (const QChar c : component) {
        if (refusedCharacters.contains(c) || c.category() == QChar::Other_Control)
            return false;
    }
    return !isDeviceName(component);
}

bool hasOnlySafeComponents(QStringView path)
{
    const QLatin1Char separator('/');
    qsizetype start = 0;
    for (qsizetype end = path.indexOf(separator); end >= 0; end = path.indexOf(separator, start)) {
        if (!isSafeComponent(path.mid(start, end - start)))
            return false;
        start = end + 1;
    }
    return isSafeComponent(path.mid(start));
}
} // namespace

bool ListedPath::isSafeClientPath(const QString &path)
{
    return hasOnlySafeComponents(path);
}

bool ListedPath::isSafeSectorPath(const QString &path)
{
    return path.startsWith(sectorPrefix)
        && hasOnlySafeComponents(QStringView(path).mid(sectorPrefix.size()));
}
