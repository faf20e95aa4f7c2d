// Fuzzes the "client" list: the real FilesChecker reads the input as the
// body of the list reply and compares it with a small real program folder.

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
        = ListFuzzing::pendingAfterList(*folders, QStringLiteral("client"), data, size);
    const QString root = folders->root();
    for (const QString &path : pending) {
        if (!ListedPath::isSafeClientPath(path))
            ListFuzzing::broken("a pending program file fails the path check:", path);
        // Joined as the download joins it.
        if (!ListFuzzing::staysInside(root, path, root + QLatin1Char('/') + path))
            ListFuzzing::broken("a pending program file leaves the program folder:", path);
    }
    folders->checkNothingOutsideRootChanged();
    return 0;
}
