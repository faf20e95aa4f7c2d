#include "ListedPath.h"

#include <QStringView>

namespace {
const QString sectorPrefix = QStringLiteral("//");

bool isSafeComponent(QStringView component)
{
    if (component.isEmpty() || component == QLatin1String(".") || component == QLatin1String(".."))
        return false;
    for (const QChar c : component) {
        if (c == QLatin1Char('\\') || c == QLatin1Char(':') || c.category() == QChar::Other_Control)
            return false;
    }
    return true;
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
