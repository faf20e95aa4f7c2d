// Fuzzes a list of the service: the real FilesChecker reads the input as the
// body of the list reply, in the mode TARN_FUZZ_MODE ("client" or "sector"),
// and compares it with a small real folder. Every pending path must pass the
// path check and, joined as the code joins it, stay inside the root; nothing
// outside the root may change.

#include "FuzzTarget.h"

#include "update/FilesChecker.h"
#include "update/ListedPath.h"

#include <QDirIterator>
#include <QEventLoop>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QTemporaryDir>

#include <cstdint>
#include <memory>

namespace {
const QString mode = QStringLiteral(TARN_FUZZ_MODE);

QNetworkAccessManager *manager = nullptr;
QTemporaryDir *base = nullptr;
QString root;

void write(const QString &path, const char *content)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(content) < 0)
        broken("a file of the folder could not be written:", path);
}

// Every entry below the base folder but outside the root, with its size and
// modification time.
QStringList outsideRoot()
{
    QStringList entries;
    QDirIterator it(base->path(),
                    QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        if (path != root && !path.startsWith(root + QLatin1Char('/')))
            entries.append(path + QLatin1Char(' ') + QString::number(it.fileInfo().size())
                           + QLatin1Char(' ')
                           + QString::number(it.fileInfo().lastModified().toMSecsSinceEpoch()));
    }
    entries.sort();
    return entries;
}

QStringList outsideBefore;

// Whether joined, read with either slash as a separator (as Windows reads
// it), names something strictly inside root, with no drive or stream colon.
bool staysInside(const QString &relativePath, QString joined)
{
    const QString clean = QDir::cleanPath(joined.replace(QLatin1Char('\\'), QLatin1Char('/')));
    return !relativePath.contains(QLatin1Char(':')) && clean.startsWith(root + QLatin1Char('/'))
        && clean.size() > root.size() + 1;
}
} // namespace

extern "C" int LLVMFuzzerInitialize(int *argc, char ***argv)
{
    startFuzzTarget(argc, argv);
    manager = new QNetworkAccessManager;
    base = new QTemporaryDir;
    if (!base->isValid())
        broken("the temporary folder could not be made");
    root = base->filePath(QStringLiteral("root"));
    for (const char *file : {"outside/secret.txt", "outside/old.dll.delete", "neighbour.delete",
                             "rootsibling/Data/file.txt"})
        write(base->filePath(QLatin1String(file)), file);
    outsideBefore = outsideRoot();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    // The root's own files are laid anew before every input.
    for (const char *file : {"Tarn.exe", "sub/file.dll", "Data/file.txt", "Data/Brenmar.prf",
                             "old.dll.delete", "sub/file.dll.tarn-part"}) {
        if (!QFileInfo::exists(root + QLatin1Char('/') + QLatin1String(file)))
            write(root + QLatin1Char('/') + QLatin1String(file), file);
    }
    FilesChecker checker(nullptr, false);
    checker.SetRootPath(root);
    checker.SetMode(mode);
    // A finished reply whose body is the input, handed to the checker's list
    // slot as RequestSender would.
    const QByteArray input(reinterpret_cast<const char *>(data), int(size));
    const std::unique_ptr<QNetworkReply> reply(manager->get(
        QNetworkRequest(QUrl(QStringLiteral("data:;base64,") + QLatin1String(input.toBase64())))));
    QEventLoop loop;
    QObject::connect(reply.get(), &QNetworkReply::finished, &loop, &QEventLoop::quit);
    if (!reply->isFinished())
        loop.exec();
    gsl::not_null<QNetworkReply *> argument(reply.get());
    if (!QMetaObject::invokeMethod(&checker, "OnReceivedFilelist", Qt::DirectConnection,
                                   Q_ARG(gsl::not_null<QNetworkReply *>, argument)))
        broken("the list slot could not be called");
    for (const QString &path : checker.PendingFiles()) {
        if (mode == QLatin1String("client")
                ? !ListedPath::isSafeClientPath(path)
                    || !staysInside(path, root + QLatin1Char('/') + path)
                // Joined as the outdated test joins it, and as the download does.
                : !ListedPath::isSafeSectorPath(path) || !staysInside(path, root + path)
                    || !staysInside(path, root + QLatin1Char('/') + path))
            broken("a pending file fails the path check or leaves the folder:", path);
    }
    if (outsideRoot() != outsideBefore)
        broken("a file or folder outside the root was created, changed or deleted");
    return 0;
}
