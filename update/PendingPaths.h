#pragma once

#include <QHash>
#include <QString>
#include <QStringList>
#include <QVector>

// An ordered list of relative paths that may hold a path more than once, with
// removal of a path's first occurrence in constant time. A sector update
// removes one entry per reply; a plain list would make that a scan of the
// whole list each time.
class PendingPaths
{
public:
    void append(const QString &path);
    // Removes the first remaining occurrence of path; false when there is none.
    bool removeFirst(const QString &path);
    void clear();

    int size() const;
    bool isEmpty() const;
    // The remaining entries in the order in which they were appended.
    QStringList toList() const;

private:
    struct Occurrences
    {
        QVector<int> positions;
        int firstRemaining = 0;
    };

    QStringList paths;
    QVector<bool> removed;
    QHash<QString, Occurrences> occurrences;
    int remainingCount = 0;
};
