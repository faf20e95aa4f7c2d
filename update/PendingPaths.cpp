#include "PendingPaths.h"

void PendingPaths::append(const QString &path)
{
    occurrences[path].positions.append(paths.size());
    paths.append(path);
    removed.append(false);
    ++remainingCount;
}

bool PendingPaths::removeFirst(const QString &path)
{
    const auto it = occurrences.find(path);
    if (it == occurrences.end() || it->firstRemaining == it->positions.size())
        return false;
    removed[it->positions.at(it->firstRemaining++)] = true;
    --remainingCount;
    return true;
}

void PendingPaths::clear()
{
    paths.clear();
    removed.clear();
    occurrences.clear();
    remainingCount = 0;
}

int PendingPaths::size() const
{
    return remainingCount;
}

bool PendingPaths::isEmpty() const
{
    return remainingCount == 0;
}

QStringList PendingPaths::toList() const
{
    QStringList remaining;
    remaining.reserve(remainingCount);
    for (int i = 0; i < paths.size(); ++i) {
        if (!removed.at(i))
            remaining.append(paths.at(i));
    }
    return remaining;
}
