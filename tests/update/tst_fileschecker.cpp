// FilesChecker and the classes it hands its work to, over loopback against the
// development service: the program folder ("client" list), the sector tree and
// its downloads, lists naming paths outside the folder; and, without a network,
// the download queue and the profile merge.

#include "HelperProcess.h"
#include "TestService.h"

#include "update/AtomicFileWriter.h"
#include "update/DownloadQueue.h"
#include "update/FilesChecker.h"
#include "update/ListedPath.h"

#include <QDir>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QTemporaryDir>

#include <algorithm>
#include <memory>

namespace {
const std::string clientDownload = "/api/tarn/downloadFile.php";
const std::string sectorDownload = "/api/tarn/downloadSectorFile.php";
// A service time, as the sector list gives it.
const QDateTime listedTime(QDate(2021, 2, 1), QTime(10, 0, 0), Qt::LocalTime);
const QString listedText = QStringLiteral("01-02-2021 10:00:00");
const QByteArray listed = "\"01-02-2021 10:00:00\"";
const QDateTime oldTime = listedTime.addYears(-40);
const QByteArray servedBytes = "served to whoever asks\n";

// Names written in one literal, separated by spaces.
QStringList splitAtSpaces(QStringView names)
{
    return names.toString().split(QLatin1Char(' '), Qt::SkipEmptyParts);
}

QString listEndpoint(QStringView mode)
{
    return mode.startsWith(QLatin1String("sector")) ? QStringLiteral("getfilelist.php")
                                                    : QStringLiteral("checkClient.php");
}

void setList(QStringView mode, const QByteArray &json)
{
    testService().setListOverride(listEndpoint(mode).toStdString(), json.toStdString());
}

// The "file" fields of the downloads of mode, sorted.
QStringList requestedFiles(QStringView mode)
{
    QStringList files;
    for (const auto &request : requestsTo(mode == u"client" ? clientDownload : sectorDownload))
        files.append(QString::fromStdString(request.fields.at("file")));
    files.sort();
    return files;
}

QString escapeName()
{
    return QStringLiteral("tarn-escape-%1.txt").arg(QCoreApplication::applicationPid());
}

// Every form of path that must never be joined to a local folder. The root is
// <area>/root, so one ".." reaches the area, where outside.txt waits.
QStringList hostilePaths()
{
    // Parent and current folder references; absolute paths and drive
    // letters; backslashes, a share and an alternate data stream; control
    // characters, a NUL that would cut the name short natively; empty
    // components; names Windows turns into other names or into devices.
    return splitAtSpaces(u".. ../outside.txt sub/../../outside.txt sub/.. ./outside.txt . "
                         u"..\\outside.txt sub\\..\\..\\outside.txt safe.dll:stream bell\a.txt "
                         u"line\nbreak.txt tab\t.txt del\x7f.txt sub//x.txt sub/ /sub x. CON "
                         u"sub/nul.txt com1 LPT9.log COM\u00b9 lpt\u00b3.txt NUL.tar.gz what?.txt "
                         u"a*b pipe|x <x> quote\"x")
        + splitAtSpaces(u"../@ ../../@ /@ C:/Windows/@ C:@ c:\\@ \\\\server\\share\\@")
              .replaceInStrings(QStringLiteral("@"), escapeName())
        + QStringList{QDir::tempPath() + QLatin1Char('/') + escapeName(),
                      QStringLiteral("cut") + QChar(0) + QStringLiteral("/../x"),
                      QString(),
                      QStringLiteral(".. /outside.txt"),
                      QStringLiteral("... /x.txt"),
                      QStringLiteral("CON .txt")};
}

QByteArray profileData(QStringView relative)
{
    return readFile(QStringLiteral(TARN_TEST_DATA_DIR "/profiles/") + relative.toString());
}
} // namespace

class TestFilesChecker : public QObject
{
    Q_OBJECT

private:
    QString root() const { return m_area->filePath(QStringLiteral("root")); }
    QString localPath(QStringView relative) const
    {
        return root() + QLatin1Char('/') + relative.toString();
    }
    // A file the service serves ("client/..." or "sector/..."), with its time.
    bool serve(QStringView relative, const QByteArray &data, const QDateTime &time = {}) const
    {
        const QString path = m_content->filePath(relative.toString());
        return writeFile(path, data, time);
    }
    // A file in the local folder, with its time.
    bool place(QStringView relative, const QByteArray &data, const QDateTime &time = {}) const
    {
        return writeFile(localPath(relative), data, time);
    }
    QMap<QString, QByteArray> localFiles() const { return contents(snapshot(root())); }

    std::unique_ptr<QTemporaryDir> m_content;
    std::unique_ptr<QTemporaryDir> m_area;

private Q_SLOTS:
    void init()
    {
        m_content = std::make_unique<QTemporaryDir>();
        m_area = std::make_unique<QTemporaryDir>();
        QVERIFY2(m_content->isValid() && m_area->isValid() && QDir().mkpath(root()),
                 "The temporary folders could not be made.");
        resetTestService(m_content->path());
    }

    void cleanup()
    {
        for (const QString &above : {QStringLiteral("/../"), QStringLiteral("/../../")})
            QFile::remove(m_area->path() + above + escapeName());
        QFile::remove(QLatin1Char('/') + escapeName());
    }

    void clientUpdate()
    {
        // The service lists its hashes in upper case, and wrong ones for
        // bad.dll and for two files that are not compared by content: those
        // are written as they come, or they would be refused at every start.
        testService().setUpperCaseHashes(true);
        for (const char *file : {"bad.dll", "absent-dnt.txt", "absent-ext.txt"})
            testService().setWrongHash(file);
        for (const QString &file :
             splitAtSpaces(u"same.txt dnt.txt pam.txt absent-dnt.txt absent-ext.txt Case.txt "
                           u"bad.dll changed.txt sub/deep/new.dll Blocked/x.txt Folder.txt"))
            QVERIFY(serve(QString(QStringLiteral("client/") + file), file.toUtf8()));
        QVERIFY(serve(u"client/.modes.json",
                      R"({"dnt.txt": "DNT", "pam.txt": "PAM", )"
                      R"("absent-dnt.txt": "DNT", "absent-ext.txt": "ext"})"));
        QVERIFY(
            serve(u"client/Brenmar.prf", "Settings\tX\t1\r\nLastSession\tcallsign\tBRM_OBS\r\n"));
        QVERIFY(place(u"Brenmar.prf", "Settings\tX\t0\r\nLastSession\tcallsign\tBRM_W_APP\r\n"));
        // A file where a folder should be and a folder where a file should be
        // make two failed writes.
        for (const QString &file : splitAtSpaces(u"same.txt unlisted.txt Tarn.exe.delete "
                                                 u"sub/lib.dll.delete sub/lib.dll.DELETE "
                                                 u"data.bin.tarn-part .hidden/old.delete case.txt "
                                                 u"Blocked Folder.txt/inside.txt"))
            QVERIFY(place(file, file.toUtf8()));
        QVERIFY(place(u"dnt.txt", "user copy") && place(u"pam.txt", "user copy"));
        QVERIFY(place(u"changed.txt", "old") && place(u"bad.dll", "working"));
        // The program runs from the folder while its new build comes.
        const QByteArray oldProgram = readFile(QStringLiteral(TARN_UPDATE_HELPER));
        const QByteArray newProgram = oldProgram + "\nnew build\n";
        QVERIFY(serve(QString(QStringLiteral("client/") + helperName()), newProgram)
                && copyHelperInto(root()));
        QStringList held{QStringLiteral("hold")};
        QStringList requested = splitAtSpaces(u"Blocked/x.txt Brenmar.prf Case.txt Folder.txt "
                                              u"absent-dnt.txt absent-ext.txt bad.dll changed.txt "
                                              u"sub/deep/new.dll")
            << helperName();
#ifdef Q_OS_WIN
        // Windows keeps a loaded library from being replaced in place too; a
        // read-only file is not in use. The copy of the program that an
        // earlier update set aside still runs, so its name stays taken.
        const QByteArray library = readFile(QStringLiteral(TARN_TEST_LIBRARY));
        QVERIFY(place(u"loaded.dll", library) && serve(u"client/loaded.dll", library + "new"));
        held << localPath(u"loaded.dll");
        QVERIFY(place(u"readonly.txt", "old") && serve(u"client/readonly.txt", "readonly.txt")
                && QFile::setPermissions(localPath(u"readonly.txt"), QFile::ReadOwner));
        requested << QStringLiteral("loaded.dll") << QStringLiteral("readonly.txt");
        QVERIFY(QFile::remove(localPath(u"Tarn.exe.delete"))
                && QFile::copy(localPath(helperName()), localPath(u"Tarn.exe.delete")));
        QProcess stillRunning;
        stillRunning.start(localPath(u"Tarn.exe.delete"), {QStringLiteral("hold")});
        QVERIFY2(stillRunning.waitForReadyRead(60000), "The older copy did not start.");
#endif
        requested.sort();
        QProcess running;
        startHelper(running, root(), held);
        QVERIFY2(running.waitForReadyRead(60000) && running.readLine().trimmed() == "holding",
                 "The copied program did not start holding its files.");

        FilesChecker checker(nullptr, true);
        QSignalSpy finished(&checker, &FilesChecker::UpdateFinished);
        QSignalSpy restart(&checker, &FilesChecker::RestartNeeded);
        QVERIFY2(compareWithList(checker, root(), QStringLiteral("client")),
                 "The client comparison did not finish.");
        QVERIFY2(waitForSignals(finished), "The downloads did not finish.");
        QCOMPARE(requestedFiles(u"client"), requested);
        QCOMPARE(checker.FailedWriteCount(), quint64(2));
        QCOMPARE(checker.FailedDownloadCount(), quint64(1));
        QVERIFY2(!restart.isEmpty(), "Replacing the program in use asked for no restart.");
        QVERIFY2(QFileInfo(localPath(helperName())).isExecutable(),
                 "The new program lost the executable permission.");
        // The download refused for its hash stays pending.
        QCOMPARE(checker.PendingFiles(), QStringList{QStringLiteral("bad.dll")});
        // Files set aside by an earlier update, and partial files, go; not in
        // a hidden folder and not with a suffix in other letter case. The
        // probe for a file in use must not have emptied the user's copy. The
        // program in use is set aside under its name plus ".delete".
        auto expected = QMap<QString, QByteArray>{
            {QStringLiteral("Brenmar.prf"), "Settings\tX\t1\nLastSession\tcallsign\tBRM_W_APP\r\n"},
            {QStringLiteral("bad.dll"), "working"},
            {QStringLiteral("dnt.txt"), "user copy"},
            {QStringLiteral("pam.txt"), "user copy"},
            {helperName(), newProgram},
            {helperName() + QStringLiteral(".delete"), oldProgram}};
        for (const QString &file :
             splitAtSpaces(u".hidden/old.delete Case.txt absent-dnt.txt absent-ext.txt case.txt "
                           u"changed.txt same.txt sub/deep/new.dll sub/lib.dll.DELETE "
                           u"unlisted.txt Blocked Folder.txt/inside.txt"))
            expected.insert(file, file.toUtf8());
        auto found = localFiles();
#ifdef Q_OS_WIN
        // Names that differ only in letter case are one file, whose name
        // either spelling may keep.
        expected.remove(QStringLiteral("sub/lib.dll.DELETE"));
        expected.insert(QStringLiteral("case.txt"), expected.take(QStringLiteral("Case.txt")));
        expected.insert(QStringLiteral("loaded.dll"), library + "new");
        expected.insert(QStringLiteral("loaded.dll.delete"), library);
        expected.insert(QStringLiteral("Tarn.exe.1.delete"),
                        expected.take(helperName() + QStringLiteral(".delete")));
        expected.insert(QStringLiteral("Tarn.exe.delete"), oldProgram);
        expected.insert(QStringLiteral("readonly.txt"), "readonly.txt");
        QVERIFY2(!QFileInfo(localPath(u"readonly.txt")).isWritable(),
                 "The replaced read-only file became writable.");
        if (found.contains(QStringLiteral("Case.txt")))
            found.insert(QStringLiteral("case.txt"), found.take(QStringLiteral("Case.txt")));
#endif
        QVERIFY2(found == expected,
                 differences("The program folder does not hold the updated files, the user's "
                             "copies and the files that stay.",
                             found, expected)
                     .constData());
        running.closeWriteChannel();
        QVERIFY(running.waitForFinished());
#ifdef Q_OS_WIN
        stillRunning.closeWriteChannel();
        QVERIFY(stillRunning.waitForFinished());
#endif
    }

    void failedRepliesStayPending_data()
    {
        QTest::addColumn<QString>("mode");
        QTest::addColumn<bool>("dropMidBody");
        QTest::newRow("client, no Content-Disposition") << QStringLiteral("client") << false;
        QTest::newRow("sector, no Content-Disposition") << QStringLiteral("sector") << false;
        QTest::newRow("sector, dropped in the middle of the body")
            << QStringLiteral("sector") << true;
    }

    void failedRepliesStayPending()
    {
        QFETCH(QString, mode);
        QFETCH(bool, dropMidBody);
        // Qt reports many connections dropped in the middle of a body as errors
        // itself; several faulted files in several batches make it likely that
        // some are not.
        const bool client = mode == QLatin1String("client");
        QVERIFY(serve(QString(mode + QStringLiteral("/a.txt")), "a")
                && place(u"a.txt", "old a", oldTime));
        QStringList faulted;
        for (int i = 0; i < 6; ++i) {
            const QString name = QStringLiteral("b%1.bin").arg(i);
            QVERIFY(
                serve(QString(mode + QLatin1Char('/') + name), QByteArray(4 * 1024 * 1024, 'n')));
            QVERIFY(place(name, QByteArray(256 * 1024, 'o'), oldTime));
            faulted.append(client ? name : QStringLiteral("//") + name);
            devservice::Fault fault
                = faultOn(client ? "downloadFile.php" : "downloadSectorFile.php",
                          faulted.last().toStdString());
            fault.dropMidBody = dropMidBody;
            fault.noContentDisposition = !dropMidBody;
            testService().addFault(fault);
        }
        auto expected = localFiles();
        expected.insert(QStringLiteral("a.txt"), "a");

        FilesChecker checker(nullptr, false);
        QVERIFY2(compareWithList(checker, root(), mode), "The comparison did not finish.");
        QSignalSpy finished(&checker, &FilesChecker::UpdateFinished);
        // The faulted files stay pending, so each batch asks for them again,
        // and each ends, counting them with their reason.
        for (int batch = 1; batch <= 3; ++batch) {
            client ? checker.DownloadClientFiles() : checker.DownloadSectorFiles();
            QVERIFY2(waitForSignals(finished, batch), "A batch did not end.");
            QCOMPARE(checker.FailedDownloadCount(), quint64(faulted.size()));
        }
        QCOMPARE(checker.FailedWriteCount(), quint64(0));
        QCOMPARE(checker.FailureReason(),
                 dropMidBody ? QStringLiteral("the download was cut short")
                             : QStringLiteral("the service sent no file"));
        QCOMPARE(checker.PendingFiles(), faulted);
        QVERIFY2(localFiles() == expected,
                 "A failed reply changed an old file or left a partial file.");
    }

    void sectorOutdatedTest_data()
    {
        // The local file's time against the listed one; no time for no file.
        QTest::addColumn<QByteArray>("time");
        QTest::addColumn<QDateTime>("localTime");
        QTest::addColumn<bool>("outdated");
        QTest::newRow("missing") << listed << QDateTime() << true;
        QTest::newRow("a millisecond older") << listed << listedTime.addMSecs(-1) << true;
        QTest::newRow("exactly the listed time") << listed << listedTime << false;
        QTest::newRow("newer") << listed << listedTime.addSecs(60) << false;
        // A time that does not parse downloads a missing file once, never an old one again.
        QTest::newRow("unreadable time")
            << QByteArray("\"2021-02-01 10:00:00\"") << oldTime << false;
        QTest::newRow("unreadable time, missing")
            << QByteArray("\"yesterday\"") << QDateTime() << true;
        QTest::newRow("number, missing") << QByteArray("5") << QDateTime() << true;
    }

    void sectorOutdatedTest()
    {
        QFETCH(QByteArray, time);
        QFETCH(QDateTime, localTime);
        QFETCH(bool, outdated);
        setList(u"sector", "[{\"A\": {\"b.txt\": " + time + "}}]");
        QVERIFY(!localTime.isValid() || place(u"A/b.txt", "local", localTime));
        FilesChecker checker(nullptr, false);
        QVERIFY2(compareWithList(checker, root(), QStringLiteral("sector")),
                 "The sector comparison did not finish.");
        QCOMPARE(checker.PendingFiles(),
                 outdated ? QStringList{QStringLiteral("//A/b.txt")} : QStringList());
    }

    void sectorDownloadsWithTimesAndMerges()
    {
        // Profiles and ASR files carry the user's lines into the download; no
        // other file does. A file where a folder should be and a folder where a
        // file should be make two failed writes.
        const QDateTime aTime(QDate(2020, 12, 31), QTime(23, 59, 59), Qt::LocalTime);
        QVERIFY(serve(u"sector/Data/a.txt", "a, new", aTime) && place(u"Data/a.txt", "a", oldTime));
        QVERIFY(serve(u"sector/Brenmar.prf", profileData(u"service/Brenmar.prf"), listedTime));
        QVERIFY(serve(u"sector/Brenmar/ASR/APP.ASR", profileData(u"service/Brenmar_APP.asr")));
        QVERIFY(serve(u"sector/Brenmar/notes.txt", "LastSession\tcallsign\tkept\r\n"));
        const QDateTime future = QDateTime::currentDateTime().addYears(1);
        QVERIFY(serve(u"sector/Blocked/x.txt", "x") && serve(u"sector/Folder.txt", "x", future));
        // Beyond the 260 characters of a plain Windows path.
        const QString longPath = QStringLiteral("Long/")
            + QStringLiteral("Procedures/").repeated(25) + QStringLiteral("deep.txt");
        QVERIFY(serve(QString(QStringLiteral("sector/") + longPath), "deep", aTime));
        QVERIFY(place(u"Brenmar.prf", profileData(u"user/Brenmar.prf"), oldTime));
        QVERIFY(place(u"Brenmar/ASR/APP.ASR", profileData(u"user/Brenmar_APP.asr"), oldTime));
        QVERIFY(place(u"keep.txt", "the user's own") && place(u"Blocked", "a file")
                && place(u"Folder.txt/inside.txt", "a folder"));

        FilesChecker checker(nullptr, false);
        QVERIFY2(compareWithList(checker, root(), QStringLiteral("sector")),
                 "The sector comparison did not finish.");
        QVERIFY2(downloadDifferences(checker, QStringLiteral("sector")),
                 "The sector downloads did not finish.");
        QCOMPARE(checker.FailedWriteCount(), quint64(2));
        QVERIFY2(
            localFiles()
                == (QMap<QString, QByteArray>{
                    {QStringLiteral("Blocked"), "a file"},
                    {QStringLiteral("Brenmar.prf"), profileData(u"merged/Brenmar.prf")},
                    {QStringLiteral("Brenmar/ASR/APP.ASR"), profileData(u"merged/Brenmar_APP.asr")},
                    {QStringLiteral("Brenmar/notes.txt"), "LastSession\tcallsign\tkept\r\n"},
                    {QStringLiteral("Data/a.txt"), "a, new"},
                    {QStringLiteral("Folder.txt/inside.txt"), "a folder"},
                    {longPath, "deep"},
                    {QStringLiteral("keep.txt"), "the user's own"}}),
            "A downloaded profile or ASR file does not carry the user's lines, another file "
            "was merged or not written, or a failed write left something behind.");
        QCOMPARE(QFileInfo(localPath(u"Data/a.txt")).lastModified(), aTime);
        QCOMPARE(QFileInfo(localPath(longPath)).lastModified(), aTime);
        QCOMPARE(QFileInfo(localPath(u"Brenmar.prf")).lastModified(), listedTime);
    }

    // A download of an earlier batch may still be writing into a folder that the
    // next batch clears of stale part files: its part must survive.
    void partClearingKeepsLiveParts()
    {
        QVERIFY(place(u"Data/stale.txt.tarn-part", "half of a stale file"));
        AtomicFileWriter::Incremental running(localPath(u"Data/running.txt"));
        QVERIFY2(running.open() && running.append("first half "),
                 "The running write could not start.");
        AtomicFileWriter::removePartFiles(localPath(u"Data"), {running.partFileName()});
        QVERIFY2(!QFile::exists(localPath(u"Data/stale.txt.tarn-part")),
                 "The stale part file was not removed.");
        QVERIFY2(running.append("second half")
                     && running.finish(QDateTime::currentDateTime(), QString()),
                 "The running write lost its part file.");
        QCOMPARE(readFile(localPath(u"Data/running.txt")), QByteArray("first half second half"));
    }

    void hostilePathCheck_data()
    {
        QTest::addColumn<QString>("path");
        QTest::addColumn<bool>("safe");
        const QStringList hostile = hostilePaths();
        for (int i = 0; i < hostile.size(); ++i)
            QTest::addRow("hostile %d", i) << hostile.at(i) << false;
        // Names that look close to a refused one but are ordinary files.
        for (const QString &path :
             splitAtSpaces(
                 u"sub/safe.dll ...a a..b/c.txt .hidden con_list.txt COM10 nul-device.txt "
                 u"LPT Überflug.prf Brenmar.prf ASR/Brenmar_APP.asr")
                 + QStringList{QStringLiteral("a b/c d.txt")})
            QTest::addRow("ordinary %s", qPrintable(path)) << path << true;
    }

    void hostilePathCheck()
    {
        QFETCH(QString, path);
        QFETCH(bool, safe);
        QCOMPARE(ListedPath::isSafeClientPath(path), safe);
        QCOMPARE(ListedPath::isSafeSectorPath(QStringLiteral("//") + path), safe);
    }

    void hostileListsWriteNothingOutside_data()
    {
        // Each form in the "client" list, and in the sector tree at the top,
        // inside a folder, and one level down a folder key "..".
        QTest::addColumn<QString>("mode");
        QTest::addColumn<QStringList>("requested");
        QTest::addColumn<QStringList>("written");
        // Both lists name "twice.txt", then "TWICE.TXT": one file on Windows,
        // fetched once, as the "client" list's later entry and the tree's
        // first key (keys come in ascending order) name it.
#ifdef Q_OS_WIN
        const QStringList twice{QStringLiteral("TWICE.TXT")};
#else
        const QStringList twice = splitAtSpaces(u"TWICE.TXT twice.txt");
#endif
        QStringList client = twice + QStringList{QStringLiteral("sub/safe.dll")};
        QStringList sector = splitAtSpaces(u"//Data/safe.txt //safe.txt");
        for (const QString &path : twice)
            sector << QStringLiteral("//") + path;
        client.sort();
        sector.sort();
        QTest::newRow("client") << QStringLiteral("client") << client
                                << splitAtSpaces(u"sub sub/safe.dll") + twice;
        QTest::newRow("sector") << QStringLiteral("sector") << sector
                                << splitAtSpaces(u"Data Data/safe.txt safe.txt") + twice;
    }

    void hostileListsWriteNothingOutside()
    {
        QFETCH(QString, mode);
        QFETCH(QStringList, requested);
        QFETCH(QStringList, written);
        QVERIFY(writeFile(m_area->filePath(QStringLiteral("outside.txt")), "the user's own file\n"));
        QVERIFY(writeFile(m_area->filePath(QStringLiteral("beside/keep.txt")), "keep\n"));
        // Any path that slipped through would be written.
        testService().setEveryDownload(servedBytes.toStdString());
        QJsonArray list{QJsonObject{{QStringLiteral("path"), QStringLiteral("sub/safe.dll")}}};
        QJsonObject tree{{QStringLiteral("safe.txt"), listedText}};
        QJsonObject folder = tree;
        for (const QString &path : hostilePaths()) {
            list.append(QJsonObject{{QStringLiteral("path"), path}});
            tree.insert(path, listedText);
            folder.insert(path, listedText);
        }
        for (const QString &path : splitAtSpaces(u"twice.txt TWICE.TXT")) {
            list.append(QJsonObject{{QStringLiteral("path"), path}});
            tree.insert(path, listedText);
        }
        tree.insert(QStringLiteral("Data"), folder);
        tree.insert(QStringLiteral(".."), QJsonObject{{QStringLiteral("outside.txt"), listedText}});
        setList(u"client", QJsonDocument(list).toJson());
        setList(u"sector", QJsonDocument(QJsonArray{tree}).toJson());
        auto before = snapshot(m_area->path());

        FilesChecker checker(nullptr, false);
        QVERIFY2(compareWithList(checker, root(), mode), "The comparison did not finish.");
        QVERIFY2(downloadDifferences(checker, mode),
                 "The download of the ordinary files did not finish.");
        QCOMPARE(requestedFiles(mode), requested);
        auto after = snapshot(m_area->path());
        for (const QString &path : qAsConst(written))
            QVERIFY2(after.take(QStringLiteral("root/") + path).content
                         == (path.contains(QLatin1Char('.')) ? servedBytes : QByteArray()),
                     "The ordinary file was not written.");
        before.remove(QStringLiteral("root"));
        after.remove(QStringLiteral("root"));
        QVERIFY2(after == before, "A file or folder beside the root was written, made or removed.");
        for (const QString &above : {QStringLiteral("/../"), QStringLiteral("/../../")})
            QVERIFY2(!QFileInfo::exists(m_area->path() + above + escapeName()),
                     "A file was written above the folder.");
        QVERIFY2(!QFileInfo::exists(QLatin1Char('/') + escapeName()),
                 "A file was written at the top of the file system.");
    }

    void queueWindow_data()
    {
        // A download without headers yet counts at the average length seen.
        constexpr qint64 budget = DownloadQueue::byteBudget;
        constexpr int window = DownloadQueue::defaultMaxInFlight;
        QTest::addColumn<int>("maxInFlight");
        QTest::addColumn<qint64>("length");
        QTest::addColumn<int>("inFlight");
        QTest::newRow("default") << 0 << qint64(1024) << window;
        QTest::newRow("default, no lengths") << 0 << qint64(-1) << window;
        QTest::newRow("widened") << 4 * window << qint64(1024) << 4 * window;
        QTest::newRow("a third of the budget") << 0 << budget / 3 << 3;
        QTest::newRow("exactly half") << 0 << budget / 2 << 2;
        QTest::newRow("just over half, one at a time") << 0 << budget / 2 + 1 << 1;
        QTest::newRow("beyond the budget, still one") << 0 << budget + 1 << 1;
    }

    void queueWindow()
    {
        QFETCH(int, maxInFlight);
        QFETCH(qint64, length);
        QFETCH(int, inFlight);
        DownloadQueue queue;
        if (maxInFlight > 0)
            queue.setMaxInFlight(maxInFlight);
        QStringList paths;
        for (int i = 0; i < std::max(maxInFlight, DownloadQueue::defaultMaxInFlight) + 10; ++i)
            paths.append(QStringLiteral("//Data/f%1.txt").arg(i));
        queue.start(paths);
        QString path;
        QVERIFY(queue.takeNext(path));
        QVERIFY2(inFlight == 1 || !queue.takeNext(path),
                 "A second download went out before any headers came.");
        int taken = 1;
        for (queue.headersArrived(path, length); queue.takeNext(path); ++taken)
            queue.headersArrived(path, length);
        QCOMPARE(taken, inFlight);
        // Each download that ends lets the next one out, in list order.
        queue.finished(paths.first());
        QVERIFY(queue.takeNext(path));
        QCOMPARE(path, paths.at(inFlight));
        QVERIFY(!queue.takeNext(path));
    }

    void queueDefersDuplicates()
    {
        // A path listed twice waits for its earlier download, also one of an
        // earlier batch; a new batch waits for its first headers again, and the
        // downloads still running count against it.
        DownloadQueue queue;
        queue.start(splitAtSpaces(u"//a //b //a //c"));
        QString path;
        QVERIFY(queue.takeNext(path));
        queue.headersArrived(path, 1024);
        QStringList taken;
        while (queue.takeNext(path))
            taken.append(path);
        QVERIFY2(taken == splitAtSpaces(u"//b //c"), "A path went out twice at the same time.");
        queue.start(splitAtSpaces(u"//d //b"));
        QVERIFY(!queue.takeNext(path));
        queue.headersArrived(QStringLiteral("//b"), 1024);
        QVERIFY(queue.takeNext(path));
        QCOMPARE(path, QStringLiteral("//d"));
        QVERIFY2(!queue.takeNext(path),
                 "A path of the new batch went out beside its earlier download.");
        queue.finished(QStringLiteral("//b"));
        QVERIFY(queue.takeNext(path));
        QCOMPARE(path, QStringLiteral("//b"));
    }
};

QTEST_GUILESS_MAIN(TestFilesChecker)
#include "tst_fileschecker.moc"
