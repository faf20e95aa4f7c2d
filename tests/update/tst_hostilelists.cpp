#include "TestService.h"

#include "update/FilesChecker.h"
#include "update/ListedPath.h"

#include <QCoreApplication>
#include <QCryptographicHash>
#include <QDir>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QMap>
#include <QSignalSpy>
#include <QTemporaryDir>

#include <memory>

namespace {
const QByteArray servedBytes = "served to whoever asks\n";
const QString listedTime = QStringLiteral("01-02-2021 10:00:00");
const QString safeClientPath = QStringLiteral("sub/safe.dll");
const QString safeSectorKey = QStringLiteral("safe.txt");

// A name that no other program puts above the test's own folder.
QString escapeName()
{
    return QStringLiteral("tarn-escape-%1.txt").arg(QCoreApplication::applicationPid());
}

// Every form of path that must never be joined to a local folder. The root is
// <area>/root, so one ".." reaches the area, where outside.txt waits.
QStringList hostilePaths()
{
    const QString escape = escapeName();
    return {
        // Parent and current folder references.
        QStringLiteral(".."),
        QStringLiteral("../outside.txt"),
        QStringLiteral("../") + escape,
        QStringLiteral("../../") + escape,
        QStringLiteral("sub/../../outside.txt"),
        QStringLiteral("sub/.."),
        QStringLiteral("./outside.txt"),
        QStringLiteral("."),
        // Absolute paths and drive letters.
        QStringLiteral("/") + escape,
        QDir::tempPath() + QLatin1Char('/') + escape,
        QStringLiteral("C:/Windows/") + escape,
        QStringLiteral("C:") + escape,
        QStringLiteral("c:\\") + escape,
        // Backslashes, a share and an alternate data stream.
        QStringLiteral("..\\outside.txt"),
        QStringLiteral("sub\\..\\..\\outside.txt"),
        QStringLiteral("\\\\server\\share\\") + escape,
        QStringLiteral("safe.dll:stream"),
        // Control characters, a NUL that would cut the name short natively.
        QStringLiteral("bell\a.txt"),
        QStringLiteral("line\nbreak.txt"),
        QStringLiteral("tab\t.txt"),
        QStringLiteral("cut") + QChar(0) + QStringLiteral("/../x"),
        QStringLiteral("del\x7f.txt"),
        // Empty components.
        QString(),
        QStringLiteral("sub//x.txt"),
        QStringLiteral("sub/"),
        QStringLiteral("/sub"),
        // Names Windows turns into other names or into devices.
        QStringLiteral(".. /outside.txt"),
        QStringLiteral("... /x.txt"),
        QStringLiteral("x."),
        QStringLiteral("CON"),
        QStringLiteral("sub/nul.txt"),
        QStringLiteral("com1"),
        QStringLiteral("LPT9.log"),
        QStringLiteral("what?.txt"),
        QStringLiteral("a*b"),
        QStringLiteral("pipe|x"),
        QStringLiteral("<x>"),
        QStringLiteral("quote\"x"),
    };
}

QStringList requestedFiles(const std::string &path)
{
    QStringList files;
    for (const auto &request : requestsTo(path))
        files.append(QString::fromStdString(request.fields.count("file") ? request.fields.at("file")
                                                                         : std::string()));
    return files;
}
} // namespace

// Lists that name paths outside the folder they are joined to, served by a
// service that answers every download it is asked for.
class TestHostileLists : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void init();
    void cleanup();

    void pathCheck_data();
    void pathCheck();
    void clientListWritesNothingOutside();
    void sectorListWritesNothingOutside();

private:
    QString rootPath() const { return m_area->filePath(QStringLiteral("root")); }
    void expectNothingOutsideChanged();

    std::unique_ptr<QTemporaryDir> m_area;
    std::unique_ptr<QTemporaryDir> m_content;
    QMap<QString, SnapshotEntry> m_before;
};

void TestHostileLists::init()
{
    m_area = std::make_unique<QTemporaryDir>();
    m_content = std::make_unique<QTemporaryDir>();
    QVERIFY2(m_area->isValid() && m_content->isValid(), "The temporary folders could not be made.");
    QVERIFY(writeFile(m_area->filePath(QStringLiteral("outside.txt")), "the user's own file\n"));
    QVERIFY(writeFile(m_area->filePath(QStringLiteral("beside/keep.txt")), "keep\n"));
    QVERIFY(QDir().mkpath(rootPath()));
    resetTestService(m_content->path());
    testService().setEveryDownload(servedBytes.toStdString());
    m_before = snapshot(m_area->path());
}

void TestHostileLists::cleanup()
{
    for (const QString &above : {QStringLiteral(".."), QStringLiteral("../..")})
        QFile::remove(QDir(m_area->path()).filePath(above + QLatin1Char('/') + escapeName()));
    QFile::remove(QLatin1Char('/') + escapeName());
}

void TestHostileLists::expectNothingOutsideChanged()
{
    QMap<QString, SnapshotEntry> after = snapshot(m_area->path());
    for (auto it = after.begin(); it != after.end();) {
        if (it.key() == QLatin1String("root") || it.key().startsWith(QLatin1String("root/")))
            it = after.erase(it);
        else
            ++it;
    }
    m_before.remove(QStringLiteral("root"));
    QVERIFY2(after == m_before, "A file or folder beside the root was written, made or removed.");
    for (const QString &above : {QStringLiteral(".."), QStringLiteral("../..")}) {
        QVERIFY2(!QFileInfo::exists(
                     QDir(m_area->path()).filePath(above + QLatin1Char('/') + escapeName())),
                 "A file was written above the root's folder.");
    }
    QVERIFY2(!QFileInfo::exists(QLatin1Char('/') + escapeName()),
             "A file was written at the top of the file system.");
}

void TestHostileLists::pathCheck_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<bool>("safe");
    const QStringList hostile = hostilePaths();
    for (int i = 0; i < hostile.size(); ++i)
        QTest::addRow("hostile %d", i) << hostile.at(i) << false;
    // Names that look close to a refused one but are ordinary files.
    for (const char *path : {"sub/safe.dll", "...a", "a..b/c.txt", ".hidden", "con_list.txt",
                             "COM10", "nul-device.txt", "LPT", "a b/c d.txt", "Überflug.prf",
                             "Brenmar.prf", "ASR/Brenmar_APP.asr"}) {
        QTest::addRow("ordinary %s", path) << QString::fromUtf8(path) << true;
    }
}

void TestHostileLists::pathCheck()
{
    QFETCH(QString, path);
    QFETCH(bool, safe);
    QCOMPARE(ListedPath::isSafeClientPath(path), safe);
    QCOMPARE(ListedPath::isSafeSectorPath(QStringLiteral("//") + path), safe);
}

void TestHostileLists::clientListWritesNothingOutside()
{
    const QString servedHash = QString::fromLatin1(
        QCryptographicHash::hash(servedBytes, QCryptographicHash::Sha1).toHex());
    QJsonArray list;
    QStringList paths = hostilePaths();
    paths.append(safeClientPath);
    for (const QString &path : qAsConst(paths)) {
        list.append(QJsonObject{{QStringLiteral("path"), path},
                                {QStringLiteral("hash"), servedHash},
                                {QStringLiteral("mode"), QStringLiteral("EXT")}});
    }
    testService().setListOverride("checkClient.php", QJsonDocument(list).toJson().toStdString());

    FilesChecker checker(nullptr, true);
    checker.SetRootPath(rootPath());
    checker.SetMode(QStringLiteral("client"));
    QSignalSpy finished(&checker, &FilesChecker::UpdateFinished);
    checker.RequestFilelist(QStringLiteral("checkClient.php"));
    QVERIFY2(waitForSignals(finished), "The download of the one ordinary file did not finish.");

    QCOMPARE(requestedFiles("/api/tarn/downloadFile.php"), QStringList{safeClientPath});
    QCOMPARE(readFile(QDir(rootPath()).filePath(safeClientPath)), servedBytes);
    const QStringList inRoot = snapshot(rootPath()).keys();
    QCOMPARE(inRoot, (QStringList{QStringLiteral("sub"), safeClientPath}));
    expectNothingOutsideChanged();
}

void TestHostileLists::sectorListWritesNothingOutside()
{
    // A key may hold slashes of its own, so one key can name a whole path; a
    // folder key leads further hostile names one level down.
    QJsonObject tree{{safeSectorKey, listedTime}};
    QJsonObject folder{{safeSectorKey, listedTime}};
    for (const QString &path : hostilePaths()) {
        tree.insert(path, listedTime);
        folder.insert(path, listedTime);
    }
    tree.insert(QStringLiteral("Data"), folder);
    tree.insert(QStringLiteral(".."), QJsonObject{{QStringLiteral("outside.txt"), listedTime}});
    const QJsonArray list{tree};
    testService().setListOverride("getfilelist.php", QJsonDocument(list).toJson().toStdString());

    FilesChecker checker(nullptr, false);
    checker.SetRootPath(rootPath());
    checker.SetMode(QStringLiteral("sector"));
    QSignalSpy compared(&checker, &FilesChecker::FilesCompared);
    checker.RequestFilelist(QStringLiteral("getfilelist.php"));
    QVERIFY2(waitForSignals(compared), "The sector comparison did not finish.");
    const QStringList expected{QStringLiteral("//Data/safe.txt"), QStringLiteral("//safe.txt")};
    QCOMPARE(checker.PendingFiles(), expected);

    QSignalSpy finished(&checker, &FilesChecker::UpdateFinished);
    checker.DownloadSectorFiles();
    QVERIFY2(waitForSignals(finished), "The download of the ordinary files did not finish.");

    QStringList requested = requestedFiles("/api/tarn/downloadSectorFile.php");
    requested.sort();
    QCOMPARE(requested, expected);
    const QStringList inRoot = snapshot(rootPath()).keys();
    QCOMPARE(inRoot,
             (QStringList{QStringLiteral("Data"), QStringLiteral("Data/safe.txt"),
                          QStringLiteral("safe.txt")}));
    expectNothingOutsideChanged();
}

QTEST_GUILESS_MAIN(TestHostileLists)
#include "tst_hostilelists.moc"
