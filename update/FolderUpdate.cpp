#include "FolderUpdate.h"

void FolderUpdate::setRootPath(const QString &rootPath)
{
    this->rootPath = rootPath;
}

quint64 FolderUpdate::failedWriteCount() const
{
    return failedWrites;
}
