#include "SectorTreeWalk.h"

#include "ListedPath.h"
#include "ServiceTime.h"
#include "platform/Logging.h"
#include "platform/Platform.h"

#include <QJsonObject>

SectorTreeWalk::SectorTreeWalk(const QString &localRoot)
    : localRoot(localRoot)
{
}

QVector<SectorTreeWalk::OutdatedFile> SectorTreeWalk::outdatedIn(const QJsonObject &element)
{
    QVector<OutdatedFile> outdated;
    walk(QStringLiteral("/"), element, outdated);
    return outdated;
}

void SectorTreeWalk::walk(const QString &prefix, const QJsonObject &node,
                          QVector<OutdatedFile> &outdated)
{
    for (auto it = node.constBegin(); it != node.constEnd(); ++it) {
        const QString path = prefix + QLatin1Char('/') + it.key();
        if (!ListedPath::isSafeSectorPath(path)) {
            qCWarning(lcUpdate) << "Skipped the listed sector entry" << path
                                << "because its path is not a plain path inside the sector folder";
            continue;
        }
        if (it.value().isObject()) {
            walk(path, it.value().toObject(), outdated);
            continue;
        }
        const QString key = Platform::fileKey(path);
        const QString first = listedFiles.value(key, path);
        listedFiles.insert(key, first);
        if (first != path) {
            qCWarning(lcUpdate) << "Skipped the listed sector file" << path
                                << "because it is the file" << first << "listed before";
            continue;
        }
        const QString timeText = it.value().toString();
        if (isOutdated(path, timeText))
            outdated.append({path, timeText});
    }
}

bool SectorTreeWalk::isOutdated(const QString &relativePath, const QString &timeText)
{
    const std::optional<qint64> localTime = Platform::modificationTime(localRoot + relativePath);
    if (!localTime)
        return true;
    const std::optional<qint64> time = listedTime(timeText);
    if (!time) {
        // Such a time could never be set on the file, so it would be
        // downloaded again at every check.
        qCWarning(lcUpdate) << "The listed time" << timeText << "of" << relativePath
                            << "does not parse; the local file counts as current";
        return false;
    }
    return *localTime < *time;
}

std::optional<qint64> SectorTreeWalk::listedTime(const QString &timeText)
{
    auto it = listedTimes.find(timeText);
    if (it == listedTimes.end()) {
        const QDateTime time = ServiceTime::parse(timeText);
        it = listedTimes.insert(timeText,
                                time.isValid() ? std::optional<qint64>(time.toMSecsSinceEpoch())
                                               : std::nullopt);
    }
    return *it;
}
