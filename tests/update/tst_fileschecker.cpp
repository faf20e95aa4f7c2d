// FilesChecker and the classes it hands its work to, over loopback against the
// development service: the program folder ("client" list), the sector tree and
// its downloads, lists naming paths outside the folder; and, without a network,
// the download queue and the profile merge.

#include "HelperProcess.h"

#include "update/AtomicFileWriter.h"
#include "update/DownloadQueue.h"
#include "update/FilesChecker.h"
#include "update/ListedPath.h"

#include <QDir>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QTemporaryDir>

#include <memory>

namespace {
// Qt 6's u"..."_s, which Qt 5.15 lacks; the build allows no implicit QString.
QString operator""_s(const char16_t *text, std::size_t size)
{
    return QString::fromUtf16(text, int(size));
}

// A service time, as the sector list gives it.
const QDateTime listedTime(QDate(2021, 2, 1), QTime(10, 0, 0), Qt::LocalTime);
const QString listedText = u"01-02-2021 10:00:00"_s;
const QByteArray listed = "\"01-02-2021 10:00:00\"";
const QDateTime oldTime = listedTime.addYears(-40);
const QByteArray servedBytes = "served to whoever asks\n";

// Names written in one literal, separated by spaces.
QStringList splitAtSpaces(const QString &names)
{
    return names.split(QLatin1Char(' '), Qt::SkipEmptyParts);
}

// The "file" fields of the downloads of mode, sorted.
QStringList requestedFiles(const QString &mode)
{
    QStringList files;
    for (const auto &request : requestsTo(mode == u"client"_s ? "/api/tarn/downloadFile.php"
                                                              : "/api/tarn/downloadSectorFile.php"))
        files.append(QString::fromStdString(request.fields.at("file")));
    files.sort();
    return files;
}

const QString escapeName = u"tarn-escape-%1.txt"_s.arg(QCoreApplication::applicationPid());

// Where a hostile path would put the escape file: above the temporary area
// that holds the root, and at the top of the file system.
const QStringList escapes{QDir::tempPath() + u"/"_s + escapeName,
                          QDir::tempPath() + u"/../"_s + escapeName, u"/"_s + escapeName};

// Every form of path that must never be joined to a local folder. The root is
// <area>/root, so one ".." reaches the area, where outside.txt waits. Parent
// and current folder references; absolute paths and drive letters;
// backslashes, a share and an alternate data stream; control characters, a NUL
// that would cut the name short natively; empty components; names Windows
// turns into other names or into devices.
const QStringList hostilePaths
    = splitAtSpaces(u".. ../outside.txt sub/../../outside.txt sub/.. ./outside.txt . "
                    u"..\\outside.txt sub\\..\\..\\outside.txt safe.dll:stream bell\a.txt "
                    u"line\nbreak.txt tab\t.txt del\x7f.txt sub//x.txt sub/ /sub x. CON "
                    u"sub/nul.txt com1 LPT9.log COM\u00b9 lpt\u00b3.txt NUL.tar.gz what?.txt "
                    u"a*b pipe|x <x> quote\"x"_s)
    + splitAtSpaces(u"../@ ../../@ /@ C:/Windows/@ C:@ c:\\@ \\\\server\\share\\@"_s)
          .replaceInStrings(u"@"_s, escapeName)
    + QStringList{QDir::tempPath() + u"/"_s + escapeName, u"cut"_s + QChar(0) + u"/../x"_s}
    + QStringList{QString(), u".. /outside.txt"_s, u"... /x.txt"_s, u"CON .txt"_s};

QByteArray profileData(const QString &relative)
{
    return readFile(QStringLiteral(TARN_TEST_DATA_DIR "/profiles/") + relative);
}

// Every path the queue lets out now, in order.
QStringList takeAll(DownloadQueue &queue)
{
    QStringList taken;
    for (QString path; queue.takeNext(path);)
        taken.append(path);
    return taken;
}
} // namespace

class TestFilesChecker : public QObject
{
    Q_OBJECT

    QString root() const { return m_area->filePath(u"root"_s); }
    QString localPath(const QString &relative) const { return root() + u"/"_s + relative; }
    // A file the service serves ("client/..." or "sector/..."), with its time.
    bool serve(const QString &relative, const QByteArray &data, const QDateTime &time = {}) const
    {
        return writeFile(m_area->filePath(u"content/"_s + relative), data, time);
    }
    // A file in the local folder, with its time.
    bool place(const QString &relative, const QByteArray &data, const QDateTime &time = {}) const
    {
        return writeFile(localPath(relative), data, time);
    }
    QMap<QString, QByteArray> localFiles() const { return contents(snapshot(root())); }
    // Holds the service's content and the local root.
    std::unique_ptr<QTemporaryDir> m_area;

private Q_SLOTS:
    void init()
    {
        m_area = std::make_unique<QTemporaryDir>();
        QVERIFY(m_area->isValid() && QDir().mkpath(root()));
        resetTestService(m_area->filePath(u"content"_s));
    }

    void cleanup()
    {
        for (const QString &path : escapes)
            QFile::remove(path);
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
             splitAtSpaces(u"dnt.txt pam.txt absent-dnt.txt absent-ext.txt Case.txt "
                           u"bad.dll changed.txt sub/deep/new.dll Blocked/x.txt Folder.txt"_s))
            QVERIFY(serve(u"client/"_s + file, file.toUtf8()));
        QVERIFY(serve(u"client/same.txt"_s, "old")
                && serve(u"client/.modes.json"_s,
                         R"({"dnt.txt": "DNT", "pam.txt": "PAM", )"
                         R"("absent-dnt.txt": "DNT", "absent-ext.txt": "ext"})"));
        QVERIFY(serve(u"client/Brenmar.prf"_s, "Settings\tX\t1\r\nLastSession\tcallsign\tOBS\r\n"));
        QVERIFY(place(u"Brenmar.prf"_s, "Settings\tX\t0\r\nLastSession\tcallsign\tBRM_W_APP\r\n"));
        // A file where a folder should be and a folder where a file should be
        // make two failed writes.
        for (const QString &file : splitAtSpaces(u"same.txt unlisted.txt sub/lib.dll.DELETE "
                                                 u".hidden/old.delete case.txt Blocked dnt.txt "
                                                 u"Folder.txt/inside.txt pam.txt changed.txt "
                                                 u"bad.dll"_s))
            QVERIFY(place(file, "old"));
        // The program runs from the folder while its new build comes.
        const QByteArray oldProgram = readFile(QStringLiteral(TARN_UPDATE_HELPER));
        const QByteArray newProgram = oldProgram + "\nnew build\n";
        QVERIFY(serve(u"client/"_s + helperName(), newProgram) && copyHelperInto(root()));
        QStringList held{u"hold"_s};
        QStringList requested = splitAtSpaces(u"Blocked/x.txt Brenmar.prf Case.txt Folder.txt "
                                              u"absent-dnt.txt absent-ext.txt bad.dll changed.txt "
                                              u"sub/deep/new.dll"_s)
            << helperName();
        // What the folder holds now stays, but for what the update replaces
        // and adds (below). Files set aside by an earlier update, and partial
        // files, go; those above stay: in a hidden folder, or with a suffix in
        // other letter case.
        auto expected = localFiles();
        for (const QString &file :
             splitAtSpaces(u"Tarn.exe.delete sub/lib.dll.delete data.bin.tarn-part"_s))
            QVERIFY(place(file, "old"));
#ifdef Q_OS_WIN
        // Windows keeps a loaded library from being replaced in place too; a
        // read-only file is not in use. The copy of the program that an
        // earlier update set aside still runs, so its name stays taken.
        const QByteArray library = readFile(QStringLiteral(TARN_TEST_LIBRARY));
        QVERIFY(place(u"loaded.dll"_s, library) && serve(u"client/loaded.dll"_s, library + "new"));
        held << localPath(u"loaded.dll"_s);
        QVERIFY(place(u"readonly.txt"_s, "old") && serve(u"client/readonly.txt"_s, "readonly.txt")
                && QFile::setPermissions(localPath(u"readonly.txt"_s), QFile::ReadOwner));
        requested << u"loaded.dll"_s << u"readonly.txt"_s;
        QVERIFY(QFile::remove(localPath(u"Tarn.exe.delete"_s))
                && QFile::copy(localPath(helperName()), localPath(u"Tarn.exe.delete"_s)));
        QProcess stillRunning;
        stillRunning.start(localPath(u"Tarn.exe.delete"_s), {u"hold"_s});
        QVERIFY(stillRunning.waitForReadyRead(60000));
#endif
        requested.sort();
        QProcess running;
        startHelper(running, root(), held);
        QVERIFY(running.waitForReadyRead(60000) && running.readLine().trimmed() == "holding");

        FilesChecker checker(nullptr, true);
        QSignalSpy finished(&checker, &FilesChecker::UpdateFinished);
        QVERIFY(compareWithList(checker, root(), u"client"_s) && waitForSignals(finished));
        QCOMPARE(requestedFiles(u"client"_s), requested);
        QCOMPARE(checker.FailedWriteCount(), quint64(2));
        QCOMPARE(checker.FailedDownloadCount(), quint64(1));
        // The download refused for its hash stays pending.
        QCOMPARE(checker.PendingFiles(), QStringList{u"bad.dll"_s});
        // The probe for a file in use must not have emptied the user's copy.
        // The program in use is set aside under its name plus ".delete".
        for (const QString &file : splitAtSpaces(
                 u"Case.txt absent-dnt.txt absent-ext.txt changed.txt sub/deep/new.dll"_s))
            expected.insert(file, file.toUtf8());
        expected.insert(u"Brenmar.prf"_s, "Settings\tX\t1\nLastSession\tcallsign\tBRM_W_APP\r\n");
        expected.insert(helperName(), newProgram);
        expected.insert(helperName() + u".delete"_s, oldProgram);
        auto found = localFiles();
#ifdef Q_OS_WIN
        // Names that differ only in letter case are one file, whose name
        // either spelling may keep. The program's name plus ".delete" was
        // still taken, so the one in use is set aside under the next free one.
        expected.insert(u"case.txt"_s, expected.take(u"Case.txt"_s));
        expected.insert(u"loaded.dll"_s, library + "new");
        expected.insert(u"loaded.dll.delete"_s, library);
        expected.insert(u"Tarn.exe.1.delete"_s, oldProgram);
        expected.insert(u"readonly.txt"_s, "readonly.txt");
        QVERIFY(!QFileInfo(localPath(u"readonly.txt"_s)).isWritable());
        if (found.contains(u"Case.txt"_s))
            found.insert(u"case.txt"_s, found.take(u"Case.txt"_s));
#endif
        QVERIFY2(found == expected,
                 differences("The program folder differs.", found, expected).constData());
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
        QTest::newRow("client, no Content-Disposition") << u"client"_s << false;
        QTest::newRow("sector, no Content-Disposition") << u"sector"_s << false;
        QTest::newRow("sector, dropped in the middle of the body") << u"sector"_s << true;
    }

    void failedRepliesStayPending()
    {
        QFETCH(QString, mode);
        QFETCH(bool, dropMidBody);
        // Qt reports many connections dropped in the middle of a body as errors
        // itself; several faulted files in several batches make it likely that
        // some are not.
        const bool client = mode == u"client"_s;
        const std::string endpoint = client ? "downloadFile.php" : "downloadSectorFile.php";
        QVERIFY(serve(mode + u"/a.txt"_s, "a") && place(u"a.txt"_s, "old a", oldTime));
        QStringList faulted;
        for (int i = 0; i < 6; ++i) {
            const QString name = u"b%1.bin"_s.arg(i);
            QVERIFY(serve(mode + u"/"_s + name, QByteArray(4 * 1024 * 1024, 'n'))
                    && place(name, QByteArray(256 * 1024, 'o'), oldTime));
            faulted.append(client ? name : u"//"_s + name);
            devservice::Fault fault = faultOn(endpoint, faulted.last().toStdString());
            fault.dropMidBody = dropMidBody;
            fault.noContentDisposition = !dropMidBody;
            testService().addFault(fault);
        }
        auto expected = localFiles();
        expected.insert(u"a.txt"_s, "a");

        FilesChecker checker(nullptr, false);
        QVERIFY(compareWithList(checker, root(), mode));
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
                 dropMidBody ? u"the download was cut short"_s : u"the service sent no file"_s);
        QCOMPARE(checker.PendingFiles(), faulted);
        // No old file changed, no partial file left.
        QVERIFY(localFiles() == expected);
    }

    void sectorOutdatedTest_data()
    {
        // The local file's time against the listed one; no time for no file.
        QTest::addColumn<QByteArray>("time");
        QTest::addColumn<QDateTime>("localTime");
        QTest::addColumn<bool>("outdated");
        QTest::newRow("a millisecond older") << listed << listedTime.addMSecs(-1) << true;
        QTest::newRow("exactly the listed time") << listed << listedTime << false;
        QTest::newRow("newer") << listed << listedTime.addSecs(60) << false;
        // A time that does not parse downloads a missing file once, never an old one again.
        QTest::newRow("ISO time") << QByteArray("\"2021-02-01 10:00:00\"") << oldTime << false;
        QTest::newRow("unreadable, missing") << QByteArray("\"yesterday\"") << QDateTime() << true;
        QTest::newRow("number, missing") << QByteArray("5") << QDateTime() << true;
    }

    void sectorOutdatedTest()
    {
        QFETCH(QByteArray, time);
        QFETCH(QDateTime, localTime);
        QFETCH(bool, outdated);
        testService().setListOverride("getfilelist.php",
                                      "[{\"A\": {\"b.txt\": " + time.toStdString() + "}}]");
        QVERIFY(!localTime.isValid() || place(u"A/b.txt"_s, "local", localTime));
        FilesChecker checker(nullptr, false);
        QVERIFY(compareWithList(checker, root(), u"sector"_s));
        QCOMPARE(checker.PendingFiles(), outdated ? QStringList{u"//A/b.txt"_s} : QStringList());
    }

    void sectorDownloadsWithTimesAndMerges()
    {
        // Profiles and ASR files carry the user's lines into the download; no
        // other file does. A file where a folder should be and a folder where a
        // file should be make two failed writes.
        const QDateTime aTime(QDate(2020, 12, 31), QTime(23, 59, 59), Qt::LocalTime);
        // An old copy beyond the 260 characters of a plain Windows path.
        const QString longPath = u"Long/"_s + u"Procedures/"_s.repeated(25) + u"deep.txt"_s;
        QVERIFY(serve(u"sector/"_s + longPath, "deep", aTime) && place(longPath, "old", oldTime));
        QVERIFY(serve(u"sector/Brenmar.prf"_s, profileData(u"service/Brenmar.prf"_s), listedTime));
        QVERIFY(serve(u"sector/Brenmar/ASR/APP.ASR"_s, profileData(u"service/Brenmar_APP.asr"_s)));
        QVERIFY(serve(u"sector/Brenmar/notes.txt"_s, "LastSession\tcallsign\tkept\r\n"));
        QVERIFY(serve(u"sector/Blocked/x.txt"_s, "x")
                && serve(u"sector/Folder.txt"_s, "x", QDateTime::currentDateTime().addYears(1)));
        QVERIFY(place(u"Brenmar.prf"_s, profileData(u"user/Brenmar.prf"_s), oldTime));
        QVERIFY(place(u"Brenmar/ASR/APP.ASR"_s, profileData(u"user/Brenmar_APP.asr"_s), oldTime));
        QVERIFY(place(u"keep.txt"_s, "the user's own") && place(u"Blocked"_s, "a file")
                && place(u"Folder.txt/inside.txt"_s, "a folder"));
        // The user's files stay, but for those the update replaces.
        auto expected = localFiles();

        FilesChecker checker(nullptr, false);
        QVERIFY(compareWithList(checker, root(), u"sector"_s)
                && downloadDifferences(checker, u"sector"_s));
        QCOMPARE(checker.FailedWriteCount(), quint64(2));
        expected.insert(u"Brenmar.prf"_s, profileData(u"merged/Brenmar.prf"_s));
        expected.insert(u"Brenmar/ASR/APP.ASR"_s, profileData(u"merged/Brenmar_APP.asr"_s));
        expected.insert(u"Brenmar/notes.txt"_s, "LastSession\tcallsign\tkept\r\n");
        expected.insert(longPath, "deep");
        QVERIFY2(localFiles() == expected,
                 differences("The sector folder differs.", localFiles(), expected).constData());
        QCOMPARE(QFileInfo(localPath(longPath)).lastModified(), aTime);
        QCOMPARE(QFileInfo(localPath(u"Brenmar.prf"_s)).lastModified(), listedTime);
    }

    // A download of an earlier batch may still be writing into a folder that the
    // next batch clears of stale part files: its part must survive.
    void partClearingKeepsLiveParts()
    {
        QVERIFY(place(u"Data/stale.txt.tarn-part"_s, "half of a stale file"));
        AtomicFileWriter::Incremental running(localPath(u"Data/running.txt"_s));
        QVERIFY(running.open() && running.append("first half "));
        AtomicFileWriter::removePartFiles(localPath(u"Data"_s), {running.partFileName()});
        QVERIFY(!QFile::exists(localPath(u"Data/stale.txt.tarn-part"_s)));
        QVERIFY(running.append("second half")
                && running.finish(QDateTime::currentDateTime(), QString()));
        QCOMPARE(readFile(localPath(u"Data/running.txt"_s)), QByteArray("first half second half"));
    }

    // Each hostile form in the "client" list, and in the sector tree at the
    // top, inside a folder, and one level down a folder key "..", beside names
    // that look close to a refused one but are ordinary files.
    void hostileListsWriteNothingOutside_data()
    {
        QTest::addColumn<QString>("mode");
        QTest::newRow("client") << u"client"_s;
        QTest::newRow("sector") << u"sector"_s;
    }

    void hostileListsWriteNothingOutside()
    {
        QFETCH(QString, mode);
        const bool client = mode == u"client"_s;
        QVERIFY(writeFile(m_area->filePath(u"outside.txt"_s), "the user's own file\n")
                && writeFile(m_area->filePath(u"beside/keep.txt"_s), "keep\n"));
        // Any path that slipped through would be written.
        testService().setEveryDownload(servedBytes.toStdString());
        const QStringList ordinary = u"sub/safe.dll,...a,a..b/c.txt,.hidden,con_list.txt,COM10,"
                                     u"nul-device.txt,LPT,\u00dcberflug.prf,Brenmar.prf,"
                                     u"ASR/Brenmar_APP.asr,a b/c d.txt"_s.split(u',');
        // Both lists name "twice.txt", then "TWICE.TXT": one file on Windows,
        // fetched once, as the "client" list's later entry and the tree's
        // first key (keys come in ascending order) name it. The folder "Data"
        // lists the same.
        QJsonArray list;
        QJsonObject tree;
        for (const QString &path :
             hostilePaths + ordinary + splitAtSpaces(u"twice.txt TWICE.TXT"_s)) {
            list.append(QJsonObject{{u"path"_s, path}});
            tree.insert(path, listedText);
        }
        tree.insert(u"Data"_s, QJsonObject(tree));
        tree.insert(u".."_s, QJsonObject{{u"outside.txt"_s, listedText}});
        testService().setListOverride("checkClient.php", QJsonDocument(list).toJson().toStdString());
        testService().setListOverride("getfilelist.php",
                                      QJsonDocument(QJsonArray{tree}).toJson().toStdString());
        auto before = snapshot(m_area->path());

        FilesChecker checker(nullptr, false);
        QVERIFY(compareWithList(checker, root(), mode) && downloadDifferences(checker, mode));
        QStringList files = ordinary + splitAtSpaces(u"TWICE.TXT twice.txt"_s);
#ifdef Q_OS_WIN
        files.removeLast();
#endif
        for (const QString &path : client ? QStringList() : files)
            files << u"Data/"_s + path;
        QStringList requested;
        for (const QString &path : qAsConst(files))
            requested << (client ? QString() : u"//"_s) + path;
        requested.sort();
        QCOMPARE(requestedFiles(mode), requested);
        // The ordinary files and their folders are written; nothing else is
        // written, made or removed in the root, beside it or above it.
        auto after = snapshot(m_area->path());
        for (const QString &path : qAsConst(files)) {
            QCOMPARE(after.take(u"root/"_s + path).content, servedBytes);
            after.remove(u"root/"_s + QFileInfo(path).path());
        }
        before.remove(u"root"_s);
        after.remove(u"root"_s);
        QVERIFY(after == before);
        for (const QString &path : escapes)
            QVERIFY(!QFileInfo::exists(path));
    }

    // The byte budget; the window itself, six downloads over HTTP/1.1 and a
    // wider one over HTTP/2, is tst_requestsender's (downloadsFillTheConnections).
    void queueWindow_data()
    {
        // A download without headers yet counts at the average length seen.
        constexpr qint64 budget = DownloadQueue::byteBudget;
        QTest::addColumn<qint64>("length");
        QTest::addColumn<int>("inFlight");
        QTest::newRow("no lengths") << qint64(-1) << int(DownloadQueue::defaultMaxInFlight);
        QTest::newRow("a third of the budget") << budget / 3 << 3;
        QTest::newRow("exactly half") << budget / 2 << 2;
        QTest::newRow("just over half, one at a time") << budget / 2 + 1 << 1;
        QTest::newRow("beyond the budget, still one") << budget + 1 << 1;
    }

    void queueWindow()
    {
        QFETCH(qint64, length);
        QFETCH(int, inFlight);
        DownloadQueue queue;
        QStringList paths;
        for (int i = 0; i < inFlight + 10; ++i)
            paths.append(u"//Data/f%1.txt"_s.arg(i));
        queue.start(paths);
        // One download until the first headers come; then the window; then,
        // as each download ends, the next one in list order.
        QCOMPARE(takeAll(queue), paths.mid(0, 1));
        queue.headersArrived(paths.first(), length);
        QCOMPARE(takeAll(queue), paths.mid(1, inFlight - 1));
        queue.finished(paths.first());
        QCOMPARE(takeAll(queue), paths.mid(inFlight, 1));
    }

    void queueDefersDuplicates()
    {
        // A path listed twice waits for its earlier download, also one of an
        // earlier batch; a new batch waits for its first headers again, and the
        // downloads still running count against it.
        DownloadQueue queue;
        queue.start(splitAtSpaces(u"//a //b //a //c"_s));
        QCOMPARE(takeAll(queue), QStringList{u"//a"_s});
        queue.headersArrived(u"//a"_s, 1024);
        QCOMPARE(takeAll(queue), splitAtSpaces(u"//b //c"_s));
        queue.start(splitAtSpaces(u"//d //b"_s));
        QCOMPARE(takeAll(queue), QStringList());
        queue.headersArrived(u"//b"_s, 1024);
        QCOMPARE(takeAll(queue), QStringList{u"//d"_s});
        queue.finished(u"//b"_s);
        QCOMPARE(takeAll(queue), QStringList{u"//b"_s});
    }
};

QTEST_GUILESS_MAIN(TestFilesChecker)
#include "tst_fileschecker.moc"
