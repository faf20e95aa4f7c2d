#pragma once

#include <QHash>
#include <QString>
#include <QVector>

#include <optional>

class QJsonObject;

// One sector comparison. Walks the elements of the service's sector list, each
// a tree in which a key holding an object is a folder and any other key a
// file whose value is the service's time text, and finds the files that are
// missing below the local root or older than listed.
class SectorTreeWalk
{
public:
    struct OutdatedFile
    {
        // "//" and the components: "//Data/file.txt".
        QString path;
        QString timeText;
    };

    // localRoot is the folder compared, as local paths begin.
    explicit SectorTreeWalk(const QString &localRoot);

    // The outdated files of one element, in ascending key order at each level.
    // A path that could leave the folder is skipped with its whole subtree,
    // and a file that an earlier path of the walk names in other letter case
    // on Windows, where both are one file.
    QVector<OutdatedFile> outdatedIn(const QJsonObject &element);

private:
    void walk(const QString &prefix, const QJsonObject &node, QVector<OutdatedFile> &outdated);
    bool isOutdated(const QString &relativePath, const QString &timeText);
    std::optional<qint64> listedTime(const QString &timeText);

    QString localRoot;
    // The path of each file key (Platform::fileKey()) met so far: on Windows
    // a second spelling of a listed file names the same file.
    QHash<QString, QString> listedFiles;
    // Time texts parsed so far: a tree repeats the same times many times.
    QHash<QString, std::optional<qint64>> listedTimes;
};
