#include "PendingPaths.h"

void PendingPaths::append(const QString &path)
{
    m_occurrences[path].positions.append(m_paths.size());
    m_paths.append(path);
    m_removed.append(false);
    ++m_size;
}

bool PendingPaths::removeFirst(const QString &path)
{
    const auto it = m_occurrences.find(path);
    if (it == m_occurrences.end() || it->firstRemaining == it->positions.size())
        return false;
    m_removed[it->positions.at(it->firstRemaining++)] = true;
    --m_size;
    return true;
}

void PendingPaths::clear()
{
    m_paths.clear();
    m_removed.clear();
    m_occurrences.clear();
    m_size = 0;
}

int PendingPaths::size() const
{
    return m_size;
}

bool PendingPaths::isEmpty() const
{
    return m_size == 0;
}

QStringList PendingPaths::toList() const
{
    QStringList remaining;
    remaining.reserve(m_size);
    for (int i = 0; i < m_paths.size(); ++i) {
        if (!m_removed.at(i))
            remaining.append(m_paths.at(i));
    }
    return remaining;
}
