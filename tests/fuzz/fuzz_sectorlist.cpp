// Fuzzes the sector list: the real FilesChecker walks the input as the body
// of the list reply against a small real sector folder.

#include "ListFuzzing.h"

#include "update/FilesChecker.h"
#include "update/ListedPath.h"

#include <QCoreApplication>

#include <cstdint>

namespace {
ListFuzzing::Folders *folders = nullptr;
} // namespace

extern "C" int LLVMFuzzerInitialize(int *argc, char ***argv)
{
    new QCoreApplication(*argc, *argv);
    ListFuzzing::silenceTarnLogging();
    folders = new ListFuzzing::Folders;
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QStringList pending
        = ListFuzzing::pendingAfterList(*folders, QStringLiteral("sector"), data, size);
    const QString root = folders->root();
    for (const QString &path : pending) {
        if (!ListedPath::isSafeSectorPath(path))
            ListFuzzing::broken("a pending sector file fails the path check:", path);
        // Joined as the outdated test joins it, and as the download does.
        if (!ListFuzzing::staysInside(root, path, root + path)
            || !ListFuzzing::staysInside(root, path, root + QLatin1Char('/') + path))
            ListFuzzing::broken("a pending sector file leaves the sector folder:", path);
    }
    folders->checkNothingOutsideRootChanged();
    return 0;
}
