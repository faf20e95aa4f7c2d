// FilesChecker and the classes it hands its work to, over loopback against the
// development service: the program folder ("client" list), the sector tree and
// its downloads, lists naming paths outside the folder; and, without a network,
// the download queue and the profile merge.

#include "HelperProcess.h"
#include "TestService.h"

#include "net/RequestSender.h"
#include "update/AtomicFileWriter.h"
#include "update/FilesChecker.h"
#include "update/ListedPath.h"
#include "update/ProfileMerge.h"
#include "update/SectorDownloadQueue.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QTemporaryDir>

#include <algorithm>
#include <cstring>
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

// Bytes in which every four-byte word differs from its neighbours, so a lost,
// repeated or reordered piece changes the content.
QByteArray patterned(int size, quint32 seed)
{
    QByteArray bytes(size, '\0');
    for (int i = 0; i + 4 <= size; i += 4) {
        const quint32 word = seed * 2654435761u + quint32(i);
        memcpy(bytes.data() + i, &word, 4);
    }
    return bytes;
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
                         u"sub/nul.txt com1 LPT9.log what?.txt a*b pipe|x <x> quote\"x")
        + splitAtSpaces(u"../@ ../../@ /@ C:/Windows/@ C:@ c:\\@ \\\\server\\share\\@")
              .replaceInStrings(QStringLiteral("@"), escapeName())
        + QStringList{QDir::tempPath() + QLatin1Char('/') + escapeName(),
                      QStringLiteral("cut") + QChar(0) + QStringLiteral("/../x"), QString(),
                      QStringLiteral(".. /outside.txt"), QStringLiteral("... /x.txt")};
}

// Takes every path that may go out now, each of which reports length at once.
int takeAll(SectorDownloadQueue &queue, qint64 length)
{
    int taken = 0;
    for (QString path; queue.takeNext(path); ++taken)
        queue.headersArrived(path, length);
    return taken;
}

QStringList numberedPaths(int count)
{
    QStringList paths;
    for (int i = 0; i < count; ++i)
        paths.append(QStringLiteral("//Data/f%1.txt").arg(i));
    return paths;
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
        return writeFile(path, data) && (!time.isValid() || setModificationTime(path, time));
    }
    // A file in the local folder, with its time.
    bool place(QStringView relative, const QByteArray &data, const QDateTime &time = {}) const
    {
        return writeFile(localPath(relative), data)
            && (!time.isValid() || setModificationTime(localPath(relative), time));
    }
    QMap<QString, QByteArray> localFiles() const { return contents(snapshot(root())); }
    bool compare(FilesChecker &checker, QStringView mode) const
    {
        checker.SetRootPath(root());
        checker.SetMode(mode.toString());
        QSignalSpy compared(&checker, &FilesChecker::FilesCompared);
        checker.RequestFilelist(listEndpoint(mode));
        return waitForSignals(compared);
    }
    static bool download(FilesChecker &checker, QStringView mode)
    {
        QSignalSpy finished(&checker, &FilesChecker::UpdateFinished);
        mode == u"client" ? checker.DownloadClientFiles() : checker.DownloadSectorFiles();
        return waitForSignals(finished);
    }

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
        // The service lists its hashes in upper case, and a wrong one for bad.dll.
        testService().setUpperCaseHashes(true);
        testService().setWrongHash("bad.dll");
        for (const QString &file :
             splitAtSpaces(u"same.txt dnt.txt pam.txt absent-dnt.txt Case.txt "
                           u"bad.dll changed.txt sub/deep/new.dll"))
            QVERIFY(serve(QString(QStringLiteral("client/") + file), file.toUtf8()));
        QVERIFY(serve(u"client/.modes.json",
                      R"({"dnt.txt": "DNT", "pam.txt": "PAM", "absent-dnt.txt": "DNT"})"));
        QVERIFY(
            serve(u"client/Brenmar.prf", "Settings\tX\t1\r\nLastSession\tcallsign\tBRM_OBS\r\n"));
        QVERIFY(place(u"Brenmar.prf", "Settings\tX\t0\r\nLastSession\tcallsign\tBRM_W_APP\r\n"));
        for (const QString &file : splitAtSpaces(u"same.txt unlisted.txt Tarn.exe.delete "
                                                 u"sub/lib.dll.delete sub/lib.dll.DELETE "
                                                 u"data.bin.tarn-part .hidden/old.delete case.txt"))
            QVERIFY(place(file, file.toUtf8()));
        QVERIFY(place(u"dnt.txt", "user copy") && place(u"pam.txt", "user copy"));
        QVERIFY(place(u"changed.txt", "old") && place(u"bad.dll", "working"));

        FilesChecker checker(nullptr, true);
        QSignalSpy finished(&checker, &FilesChecker::UpdateFinished);
        QVERIFY2(compare(checker, u"client"), "The client comparison did not finish.");
        QVERIFY2(waitForSignals(finished), "The downloads did not finish.");
        QCOMPARE(requestedFiles(u"client"),
                 splitAtSpaces(u"Brenmar.prf Case.txt absent-dnt.txt bad.dll changed.txt "
                               u"sub/deep/new.dll"));
        QCOMPARE(checker.FailedWriteCount(), quint64(1));
        // Files set aside by an earlier update, and partial files, go; not in
        // a hidden folder and not with a suffix in other letter case. The
        // probe for a file in use must not have emptied the user's copy.
        auto expected = QMap<QString, QByteArray>{
            {QStringLiteral("Brenmar.prf"), "Settings\tX\t1\nLastSession\tcallsign\tBRM_W_APP\r\n"},
            {QStringLiteral("bad.dll"), "working"},
            {QStringLiteral("dnt.txt"), "user copy"},
            {QStringLiteral("pam.txt"), "user copy"}};
        for (const QString &file :
             splitAtSpaces(u".hidden/old.delete Case.txt absent-dnt.txt case.txt "
                           u"changed.txt same.txt sub/deep/new.dll "
                           u"sub/lib.dll.DELETE unlisted.txt"))
            expected.insert(file, file.toUtf8());
        QCOMPARE(localFiles(), expected);
    }

    void clientListedModes_data()
    {
        QTest::addColumn<QByteArray>("modeMember");
        QTest::addColumn<bool>("contentCompared");
        QTest::newRow("EXT") << QByteArray(R"("mode": "EXT")") << true;
        QTest::newRow("DNT") << QByteArray(R"("mode": "DNT")") << false;
        QTest::newRow("missing") << QByteArray(R"("x": "")") << false;
        QTest::newRow("lower-case ext") << QByteArray(R"("mode": "ext")") << false;
    }

    void clientListedModes()
    {
        QFETCH(QByteArray, modeMember);
        QFETCH(bool, contentCompared);
        // Listed with a hash that matches neither the user's copy nor the service's.
        const QByteArray entry = "\", \"hash\": \""
            + QCryptographicHash::hash("x", QCryptographicHash::Sha1).toHex() + "\", " + modeMember
            + "}";
        setList(u"client",
                "[{\"path\": \"present.txt" + entry + ", {\"path\": \"absent.txt" + entry + "]");
        QVERIFY(serve(u"client/present.txt", "service copy")
                && serve(u"client/absent.txt", "service copy"));
        QVERIFY(place(u"present.txt", "user copy"));

        FilesChecker checker(nullptr, false);
        QVERIFY2(compare(checker, u"client"), "The client comparison did not finish.");
        QCOMPARE(checker.PendingCount(), quint64(contentCompared ? 2 : 1));
        QVERIFY2(download(checker, u"client"), "The downloads did not finish.");
        // Only a file compared by content must match its listed hash; any other
        // is written as it comes, or it would be refused at every start.
        QCOMPARE(checker.FailedWriteCount(), quint64(contentCompared ? 2 : 0));
        QCOMPARE(readFile(localPath(u"absent.txt")),
                 contentCompared ? QByteArray() : QByteArray("service copy"));
        QCOMPARE(readFile(localPath(u"present.txt")), QByteArray("user copy"));
    }

    void clientFileInUseIsSetAside()
    {
        const QByteArray oldProgram = readFile(QStringLiteral(TARN_UPDATE_HELPER));
        const QByteArray newProgram = oldProgram + "\nnew build\n";
        QVERIFY(serve(QString(QStringLiteral("client/") + helperName()), newProgram)
                && copyHelperInto(root()));
        const QString program = localPath(helperName());
        QProcess running;
        startHelper(running, root(), {QStringLiteral("hold")});
        QVERIFY2(running.waitForStarted(), "The copied program did not start.");

        FilesChecker checker(nullptr, true);
        QSignalSpy finished(&checker, &FilesChecker::UpdateFinished);
        QSignalSpy restart(&checker, &FilesChecker::RestartNeeded);
        QVERIFY2(compare(checker, u"client"), "The client comparison did not finish.");
        QVERIFY2(waitForSignals(finished), "The download did not finish.");
        QCOMPARE(restart.count(), 1);
        QCOMPARE(checker.FailedWriteCount(), quint64(0));
        QVERIFY2(readFile(program + QStringLiteral(".delete")) == oldProgram,
                 "The program in use was not set aside under its name plus \".delete\".");
        QVERIFY2(readFile(program) == newProgram, "The new program is not in place.");
        QVERIFY2(QFileInfo(program).isExecutable(),
                 "The new program lost the executable permission.");

        FilesChecker next(nullptr, false);
        QVERIFY2(compare(next, u"client"), "The next comparison did not finish.");
        QVERIFY2(!QFile::exists(program + QStringLiteral(".delete")),
                 "The next comparison did not delete the file set aside.");
        QVERIFY2(next.PendingFiles().isEmpty(), "The new program is still scheduled.");
        running.closeWriteChannel();
        QVERIFY(running.waitForFinished());
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
            QVERIFY(serve(QString(mode + QLatin1Char('/') + name), patterned(4 * 1024 * 1024, 3)));
            QVERIFY(place(name, patterned(256 * 1024, 2), oldTime));
            faulted.append(client ? name : QStringLiteral("//") + name);
            devservice::Fault fault;
            fault.endpoint = client ? "downloadFile.php" : "downloadSectorFile.php";
            fault.file = faulted.last().toStdString();
            fault.dropMidBody = dropMidBody;
            fault.noContentDisposition = !dropMidBody;
            testService().addFault(fault);
        }
        auto expected = localFiles();
        expected.insert(QStringLiteral("a.txt"), "a");

        FilesChecker checker(nullptr, false);
        QVERIFY2(compare(checker, mode), "The comparison did not finish.");
        QSignalSpy replies(RequestSender::sharedManager(), &QNetworkAccessManager::finished);
        QSignalSpy finished(&checker, &FilesChecker::UpdateFinished);
        // The faulted files stay pending, so each batch asks for them again.
        for (int batch = 1; batch <= 3; ++batch) {
            client ? checker.DownloadClientFiles() : checker.DownloadSectorFiles();
            QVERIFY2(waitForSignals(replies, 1 + 6 * batch), "The downloads were not all answered.");
        }
        QCOMPARE(finished.count(), 0);
        QCOMPARE(checker.FailedWriteCount(), quint64(0));
        QCOMPARE(checker.PendingFiles(), faulted);
        QVERIFY2(localFiles() == expected,
                 "A failed reply changed an old file or left a partial file.");
    }

    void writeFailuresAreCounted_data()
    {
        QTest::addColumn<QString>("mode");
        QTest::newRow("client") << QStringLiteral("client");
        QTest::newRow("sector") << QStringLiteral("sector");
    }

    void writeFailuresAreCounted()
    {
        QFETCH(QString, mode);
        // Listed as newer than anything local, so all three are outdated.
        const QDateTime future(QDate::currentDate().addYears(1), QTime(10, 0), Qt::LocalTime);
        for (const QString &file : splitAtSpaces(u"Blocked/x.txt Folder.txt fine.txt"))
            QVERIFY(serve(QString(mode + QLatin1Char('/') + file), file.toUtf8(), future));
        QVERIFY(place(u"Blocked", "a file where a folder should be"));
        QVERIFY(place(u"Folder.txt/inside.txt", "a folder where a file should be"));
        const auto before = snapshot(root());

        FilesChecker checker(nullptr, false);
        QVERIFY2(compare(checker, mode), "The comparison did not finish.");
        QCOMPARE(checker.PendingCount(), quint64(3));
        QVERIFY2(download(checker, mode), "A batch with failed writes did not end.");
        QCOMPARE(checker.FailedWriteCount(), quint64(2));
        auto after = snapshot(root());
        QCOMPARE(after.take(QStringLiteral("fine.txt")).content, QByteArray("fine.txt"));
        QVERIFY2(after == before,
                 "A failed write changed the folder or left its partial file behind.");
    }

    void sectorOutdatedTest_data()
    {
        // The local file's time against the listed one; no time for no file.
        QTest::addColumn<QByteArray>("time");
        QTest::addColumn<QDateTime>("localTime");
        QTest::addColumn<bool>("outdated");
        QTest::newRow("missing") << listed << QDateTime() << true;
        QTest::newRow("a second older") << listed << listedTime.addSecs(-1) << true;
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
        QVERIFY2(compare(checker, u"sector"), "The sector comparison did not finish.");
        QCOMPARE(checker.PendingFiles(),
                 outdated ? QStringList{QStringLiteral("//A/b.txt")} : QStringList());
    }

    void sectorDownloadsWithTimesAndMerges()
    {
        // Profiles and ASR files carry the user's lines into the download; no other file does.
        const QDateTime aTime(QDate(2020, 12, 31), QTime(23, 59, 59), Qt::LocalTime);
        QVERIFY(serve(u"sector/Data/a.txt", "a, new", aTime) && place(u"Data/a.txt", "a", oldTime));
        QVERIFY(serve(u"sector/Brenmar.prf", profileData(u"service/Brenmar.prf"), listedTime));
        QVERIFY(serve(u"sector/Brenmar/ASR/APP.ASR", profileData(u"service/Brenmar_APP.asr")));
        QVERIFY(serve(u"sector/Brenmar/notes.txt", "LastSession\tcallsign\tkept\r\n"));
        QVERIFY(place(u"Brenmar.prf", profileData(u"user/Brenmar.prf"), oldTime));
        QVERIFY(place(u"Brenmar/ASR/APP.ASR", profileData(u"user/Brenmar_APP.asr"), oldTime));
        QVERIFY(place(u"keep.txt", "the user's own"));

        FilesChecker checker(nullptr, false);
        QVERIFY2(compare(checker, u"sector"), "The sector comparison did not finish.");
        QCOMPARE(checker.PendingCount(), quint64(4));
        QVERIFY2(download(checker, u"sector"), "The sector downloads did not finish.");
        QCOMPARE(checker.FailedWriteCount(), quint64(0));
        QVERIFY2(
            localFiles()
                == (QMap<QString, QByteArray>{
                    {QStringLiteral("Brenmar.prf"), profileData(u"merged/Brenmar.prf")},
                    {QStringLiteral("Brenmar/ASR/APP.ASR"), profileData(u"merged/Brenmar_APP.asr")},
                    {QStringLiteral("Brenmar/notes.txt"), "LastSession\tcallsign\tkept\r\n"},
                    {QStringLiteral("Data/a.txt"), "a, new"},
                    {QStringLiteral("keep.txt"), "the user's own"}}),
            "A downloaded profile or ASR file does not carry the user's lines, or another file "
            "was merged or not written.");
        QCOMPARE(QFileInfo(localPath(u"Data/a.txt")).lastModified(), aTime);
        QCOMPARE(QFileInfo(localPath(u"Brenmar.prf")).lastModified(), listedTime);

        FilesChecker next(nullptr, false);
        QVERIFY2(compare(next, u"sector"), "The next sector comparison did not finish.");
        QVERIFY2(next.PendingFiles().isEmpty(),
                 "Files just downloaded are outdated at the next check.");
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
        QTest::newRow("client") << QStringLiteral("client")
                                << QStringList{QStringLiteral("sub/safe.dll")}
                                << splitAtSpaces(u"sub sub/safe.dll");
        QTest::newRow("sector") << QStringLiteral("sector")
                                << splitAtSpaces(u"//Data/safe.txt //safe.txt")
                                << splitAtSpaces(u"Data Data/safe.txt safe.txt");
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
        tree.insert(QStringLiteral("Data"), folder);
        tree.insert(QStringLiteral(".."), QJsonObject{{QStringLiteral("outside.txt"), listedText}});
        setList(u"client", QJsonDocument(list).toJson());
        setList(u"sector", QJsonDocument(QJsonArray{tree}).toJson());
        auto before = snapshot(m_area->path());

        FilesChecker checker(nullptr, false);
        QVERIFY2(compare(checker, mode), "The comparison did not finish.");
        QVERIFY2(download(checker, mode), "The download of the ordinary files did not finish.");
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
        constexpr qint64 budget = SectorDownloadQueue::byteBudget;
        constexpr int window = SectorDownloadQueue::defaultMaxInFlight;
        QTest::addColumn<int>("maxInFlight");
        QTest::addColumn<qint64>("length");
        QTest::addColumn<int>("inFlight");
        QTest::newRow("default") << 0 << qint64(1024) << window;
        QTest::newRow("default, no lengths") << 0 << qint64(-1) << window;
        QTest::newRow("widened") << 4 * window << qint64(1024) << 4 * window;
        QTest::newRow("one") << 1 << qint64(1024) << 1;
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
        SectorDownloadQueue queue;
        if (maxInFlight > 0)
            queue.setMaxInFlight(maxInFlight);
        const QStringList paths
            = numberedPaths(std::max(maxInFlight, SectorDownloadQueue::defaultMaxInFlight) + 10);
        queue.start(paths);
        QString path;
        QVERIFY(queue.takeNext(path));
        QVERIFY2(inFlight == 1 || !queue.takeNext(path),
                 "A second download went out before any headers came.");
        queue.headersArrived(path, length);
        QCOMPARE(1 + takeAll(queue, length), inFlight);
        QCOMPARE(queue.inFlight(), inFlight);
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
        SectorDownloadQueue queue;
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

    void mergesLines_data()
    {
        QTest::addColumn<QByteArray>("userCopy");
        QTest::addColumn<QByteArray>("downloaded");
        QTest::addColumn<QByteArray>("merged");
        QTest::newRow("download loses its carriage returns, the user's line keeps its own")
            << QByteArray("Voice\tSPPT\t0\r\n") << QByteArray("A\r\tone\r\nB\ttwo\r\n")
            << QByteArray("A\tone\nB\ttwo\nVoice\tSPPT\t0\r\n");
        QTest::newRow("a last downloaded line without line feed gets one")
            << QByteArray("LastSession\tcallsign\tBRM_W_APP\r\n") << QByteArray("A\tone\r\nB\ttwo")
            << QByteArray("A\tone\nB\ttwo\nLastSession\tcallsign\tBRM_W_APP\r\n");
        QTest::newRow("lines in a legacy code page pass byte for byte")
            << QByteArray("Voice\tinput_hardware\tMikrofon (Ger\xe4t \xae)\r\nX\t\xe9t\xe9\r\n")
            << QByteArray("Caf\xe9\tn\xb0 1\r\nVoice\tinput_hardware\t\r\n\xff\xfe\tbytes\r\n")
            << QByteArray("Caf\xe9\tn\xb0 1\n\xff\xfe\tbytes\nVoice\tinput_hardware\tMikrofon "
                          "(Ger\xe4t \xae)\r\n");
    }

    void mergesLines()
    {
        QFETCH(QByteArray, userCopy);
        QFETCH(QByteArray, downloaded);
        QFETCH(QByteArray, merged);
        QCOMPARE(ProfileMerge::MergeProfile(userCopy, downloaded), merged);
    }
};

QTEST_GUILESS_MAIN(TestFilesChecker)
#include "tst_fileschecker.moc"
