// FilesChecker and the classes it hands its work to, over loopback against the
// development service: the program folder ("client" list), the sector tree and
// its downloads, lists naming paths outside the folder; and, without a network,
// the download queue and the profile merge.

#include "ProfileMarkers.h"
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
#include <QProcess>
#include <QTemporaryDir>

#include <algorithm>
#include <cstring>
#include <memory>

namespace {
// A path or name given as a literal or as a string.
struct Name
{
    Name(const char *literal)
        : text(QString::fromUtf8(literal))
    {
    }
    Name(const QString &string)
        : text(string)
    {
    }
    template<typename A, typename B>
    Name(const QStringBuilder<A, B> &built)
        : text(built)
    {
    }
    QString text;
};

// Names separated by spaces.
QStringList names(const char *text)
{
    return QString::fromUtf8(text).split(QLatin1Char(' '), Qt::SkipEmptyParts);
}

const std::string clientDownload = "/api/tarn/downloadFile.php";
const std::string sectorDownload = "/api/tarn/downloadSectorFile.php";
// A service time, as the sector list gives it.
const QDateTime listedTime(QDate(2021, 2, 1), QTime(10, 0, 0), Qt::LocalTime);
const QString listedText = QStringLiteral("01-02-2021 10:00:00");
const QByteArray listed = "\"01-02-2021 10:00:00\"";
const QDateTime oldTime = listedTime.addYears(-40);
const QByteArray servedBytes = "served to whoever asks\n";

QStringList warnings;
QtMessageHandler defaultHandler = nullptr;

void recordMessage(QtMsgType type, const QMessageLogContext &context, const QString &message)
{
    if (type == QtWarningMsg && qstrcmp(context.category, "tarn.update") == 0)
        warnings.append(message);
    defaultHandler(type, context, message);
}

QString listEndpoint(const QString &mode)
{
    return mode.startsWith(QLatin1String("sector")) ? QStringLiteral("getfilelist.php")
                                                    : QStringLiteral("checkClient.php");
}

void setList(const QString &mode, const QByteArray &json)
{
    testService().setListOverride(listEndpoint(mode).toStdString(), json.toStdString());
}

// The "file" fields of the downloads of mode, sorted.
QStringList requestedFiles(const QString &mode)
{
    QStringList files;
    for (const auto &request :
         requestsTo(mode == QLatin1String("client") ? clientDownload : sectorDownload))
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
    const QString escape = escapeName();
    // Parent and current folder references; absolute paths and drive
    // letters; backslashes, a share and an alternate data stream; control
    // characters, a NUL that would cut the name short natively; empty
    // components; names Windows turns into other names or into devices.
    return names(".. ../outside.txt sub/../../outside.txt sub/.. ./outside.txt . ..\\outside.txt "
                 "sub\\..\\..\\outside.txt safe.dll:stream bell\a.txt line\nbreak.txt tab\t.txt "
                 "del\x7f.txt sub//x.txt sub/ /sub x. CON sub/nul.txt com1 LPT9.log what?.txt a*b "
                 "pipe|x <x> quote\"x")
        + names("../@ ../../@ /@ C:/Windows/@ C:@ c:\\@ \\\\server\\share\\@")
              .replaceInStrings(QStringLiteral("@"), escape)
        + QStringList{QDir::tempPath() + QLatin1Char('/') + escape,
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

QByteArray profileData(const QString &relative)
{
    return readFile(QStringLiteral(TARN_TEST_DATA_DIR "/profiles/") + relative);
}
} // namespace

class TestFilesChecker : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void init();
    void cleanup();

    void listReplies_data();
    void listReplies();
    void clientComparison();
    void clientListedModes_data();
    void clientListedModes();
    void clientDownloadsWriteInPlace();
    void clientFileInUseIsSetAside();
    void failedRepliesStayPending_data();
    void failedRepliesStayPending();
    void writeFailuresAreCounted_data();
    void writeFailuresAreCounted();

    void sectorWalk();
    void sectorOutdatedTest_data();
    void sectorOutdatedTest();
    void sectorTimeThatDoesNotParse();
    void sectorDownloadsWithServiceTimes();
    void sectorLargeFilesBeyondTheCapAllArrive();
    void sectorProfilesAreMerged();
    void sectorWriteIntoReadOnlyFolderFails();
    void interruptedWriteLeavesTheOldFile();
    void partClearingKeepsLiveParts();

    void hostilePathCheck_data();
    void hostilePathCheck();
    void hostileListsWriteNothingOutside_data();
    void hostileListsWriteNothingOutside();

    void queueWindow_data();
    void queueWindow();
    void queueLengthsAgainstTheBudget_data();
    void queueLengthsAgainstTheBudget();
    void queueGuessesUnknownLengths();
    void queueDefersDuplicates();

    void mergesLines_data();
    void mergesLines();
    void recognisesEveryMarker_data();
    void recognisesEveryMarker();
    void appliesToProfilesAndAsrFiles_data();
    void appliesToProfilesAndAsrFiles();

private:
    QString root() const { return m_area->filePath(QStringLiteral("root")); }
    QString localPath(const Name &relative) const
    {
        return root() + QLatin1Char('/') + relative.text;
    }
    // A file the service serves ("client/..." or "sector/..."), with its time.
    bool serve(const Name &relative, const QByteArray &data, const QDateTime &time = {}) const;
    // A file in the local folder, with its time.
    bool place(const Name &relative, const QByteArray &data, const QDateTime &time = {}) const;
    QMap<QString, QByteArray> localFiles() const { return contents(snapshot(root())); }
    bool compare(FilesChecker &checker, const Name &mode) const;
    static bool download(FilesChecker &checker, const Name &mode);
    // Runs the update helper's sector update of the local folder.
    bool runSectorHelper(QProcess &helper, const QStringList &options) const;

    std::unique_ptr<QTemporaryDir> m_content;
    std::unique_ptr<QTemporaryDir> m_area;
};

void TestFilesChecker::initTestCase()
{
    defaultHandler = qInstallMessageHandler(&recordMessage);
    qRegisterMetaType<QNetworkReply *>();
}

void TestFilesChecker::init()
{
    m_content = std::make_unique<QTemporaryDir>();
    m_area = std::make_unique<QTemporaryDir>();
    QVERIFY2(m_content->isValid() && m_area->isValid() && QDir().mkpath(root()),
             "The temporary folders could not be made.");
    resetTestService(m_content->path());
    warnings.clear();
}

void TestFilesChecker::cleanup()
{
    // A folder that a test made read-only must not keep the cleanup out.
    QFile::setPermissions(localPath("Locked"),
                          QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    for (const QString &above : {QStringLiteral("/../"), QStringLiteral("/../../")})
        QFile::remove(m_area->path() + above + escapeName());
    QFile::remove(QLatin1Char('/') + escapeName());
}

bool TestFilesChecker::serve(const Name &relative, const QByteArray &data,
                             const QDateTime &time) const
{
    const QString path = m_content->filePath(relative.text);
    return writeFile(path, data) && (!time.isValid() || setModificationTime(path, time));
}

bool TestFilesChecker::place(const Name &relative, const QByteArray &data,
                             const QDateTime &time) const
{
    return writeFile(localPath(relative), data)
        && (!time.isValid() || setModificationTime(localPath(relative), time));
}

bool TestFilesChecker::compare(FilesChecker &checker, const Name &mode) const
{
    checker.SetRootPath(root());
    checker.SetMode(mode.text);
    QSignalSpy compared(&checker, &FilesChecker::FilesCompared);
    checker.RequestFilelist(listEndpoint(mode.text));
    return waitForSignals(compared);
}

bool TestFilesChecker::download(FilesChecker &checker, const Name &mode)
{
    QSignalSpy finished(&checker, &FilesChecker::UpdateFinished);
    if (mode.text == QLatin1String("client"))
        checker.DownloadClientFiles();
    else
        checker.DownloadSectorFiles();
    return waitForSignals(finished);
}

bool TestFilesChecker::runSectorHelper(QProcess &helper, const QStringList &options) const
{
    helper.setProcessEnvironment(serviceEnvironment());
    helper.start(QStringLiteral(TARN_UPDATE_HELPER),
                 QStringList{QStringLiteral("sector-update"), root()} + options);
    return helper.waitForFinished(60000);
}

void TestFilesChecker::listReplies_data()
{
    // list: empty for the service's own, "401" for an error reply after a
    // comparison that found the file.
    QTest::addColumn<QString>("mode");
    QTest::addColumn<QByteArray>("list");
    QTest::addColumn<int>("compared");
    QTest::addColumn<bool>("setAsideKept");
    const QString client = QStringLiteral("client");
    const QString sector = QStringLiteral("sector");
    QTest::newRow("client") << client << QByteArray() << 1 << false;
    QTest::newRow("sector") << sector << QByteArray() << 1 << true;
    QTest::newRow("no mode") << QString() << QByteArray() << 0 << true;
    QTest::newRow("upper-case client") << QStringLiteral("Client") << QByteArray() << 0 << true;
    QTest::newRow("sectors") << QStringLiteral("sectors") << QByteArray() << 0 << true;
    QTest::newRow("client error reply") << client << QByteArray("401") << 0 << true;
    QTest::newRow("client list not an array")
        << client << QByteArray("{\"path\": \"a\"}") << 1 << false;
    QTest::newRow("sector error reply") << sector << QByteArray("401") << 0 << true;
    QTest::newRow("empty sector list") << sector << QByteArray("[]") << 0 << true;
    QTest::newRow("sector list not an array")
        << sector << QByteArray("{\"A\": {\"b.txt\": " + listed + "}}") << 0 << true;
    QTest::newRow("sector list not JSON") << sector << QByteArray("not json") << 0 << true;
}

void TestFilesChecker::listReplies()
{
    QFETCH(QString, mode);
    QFETCH(QByteArray, list);
    QFETCH(int, compared);
    QFETCH(bool, setAsideKept);
    QVERIFY(serve("client/a.txt", "a") && serve("sector/a.txt", "a"));
    FilesChecker checker(nullptr, false);
    if (list == "401") {
        QVERIFY2(compare(checker, mode), "The first comparison did not finish.");
        QCOMPARE(checker.PendingCount(), quint64(1));
        devservice::Fault fault;
        fault.endpoint = listEndpoint(mode).toStdString();
        fault.status = 401;
        fault.times = 1;
        testService().addFault(fault);
    } else if (!list.isEmpty()) {
        setList(mode, list);
    }
    QVERIFY(place("Tarn.exe.delete", "old program"));

    checker.SetRootPath(root());
    checker.SetMode(mode);
    QSignalSpy comparisons(&checker, &FilesChecker::FilesCompared);
    QSignalSpy replies(RequestSender::sharedManager(), &QNetworkAccessManager::finished);
    checker.RequestFilelist(listEndpoint(mode));
    // The spy is connected before any sender, so the checker has handled the reply.
    QVERIFY2(waitForSignals(replies), "The list reply did not come.");
    QCOMPARE(comparisons.count(), compared);
    QCOMPARE(checker.PendingCount(), quint64(compared && list.isEmpty() ? 1 : 0));
    QVERIFY2(QFile::exists(localPath("Tarn.exe.delete")) == setAsideKept,
             setAsideKept ? "A list that was not compared still deleted the file set aside."
                          : "A compared list did not delete the file set aside.");
}

void TestFilesChecker::clientComparison()
{
    for (const QString &file : names("same.txt dnt.txt pam.txt absent-dnt.txt Case.txt"))
        QVERIFY(serve(QStringLiteral("client/") + file, file.toUtf8()));
    QVERIFY(serve("client/changed.txt", "new content") && serve("client/sub/deep/new.dll", "dll"));
    QVERIFY(serve("client/.modes.json",
                  R"({"dnt.txt": "DNT", "pam.txt": "PAM", "absent-dnt.txt": "DNT"})"));
    for (const QString &file : names("same.txt dnt.txt pam.txt unlisted.txt Tarn.exe.delete "
                                     "sub/lib.dll.delete sub/lib.dll.DELETE data.bin.tarn-part "
                                     ".hidden/old.delete case.txt"))
        QVERIFY(place(file, file.toUtf8()));
    QVERIFY(place("dnt.txt", "user copy") && place("pam.txt", "user copy"));
    QVERIFY(place("changed.txt", "old content"));

    FilesChecker checker(nullptr, false);
    QVERIFY2(compare(checker, "client"), "The client comparison did not finish.");
    QCOMPARE(checker.PendingFiles(), names("Case.txt absent-dnt.txt changed.txt sub/deep/new.dll"));
    // Files set aside by an earlier update, and partial files, go; not in a
    // hidden folder and not with a suffix in other letter case.
    QCOMPARE(localFiles().keys(),
             names(".hidden/old.delete case.txt changed.txt dnt.txt pam.txt "
                   "same.txt sub/lib.dll.DELETE unlisted.txt"));
    const auto lists = requestsTo("/api/tarn/checkClient.php");
    QVERIFY2(lists.size() == 1 && lists.front().method == "POST" && lists.front().body.empty(),
             "The list was not asked for by one POST without form fields.");
    QVERIFY2(requestsTo(clientDownload).empty(),
             "A checker without downloadAfterCompare started downloads.");
}

void TestFilesChecker::clientListedModes_data()
{
    QTest::addColumn<QByteArray>("modeMember");
    QTest::addColumn<bool>("contentCompared");
    QTest::newRow("EXT") << QByteArray(R"("mode": "EXT")") << true;
    QTest::newRow("DNT") << QByteArray(R"("mode": "DNT")") << false;
    QTest::newRow("PAM") << QByteArray(R"("mode": "PAM")") << false;
    QTest::newRow("empty") << QByteArray(R"("mode": "")") << false;
    QTest::newRow("missing") << QByteArray(R"("x": "")") << false;
    QTest::newRow("lower-case ext") << QByteArray(R"("mode": "ext")") << false;
    QTest::newRow("number") << QByteArray(R"("mode": 1)") << false;
}

void TestFilesChecker::clientListedModes()
{
    QFETCH(QByteArray, modeMember);
    QFETCH(bool, contentCompared);
    // Listed with a hash that matches neither the user's copy nor the service's.
    const QByteArray entry = "\", \"hash\": \""
        + QCryptographicHash::hash("x", QCryptographicHash::Sha1).toHex() + "\", " + modeMember
        + "}";
    setList(QStringLiteral("client"),
            "[{\"path\": \"present.txt" + entry + ", {\"path\": \"absent.txt" + entry + "]");
    QVERIFY(serve("client/present.txt", "service copy")
            && serve("client/absent.txt", "service copy"));
    QVERIFY(place("present.txt", "user copy"));

    FilesChecker checker(nullptr, false);
    QVERIFY2(compare(checker, "client"), "The client comparison did not finish.");
    QCOMPARE(checker.PendingCount(), quint64(contentCompared ? 2 : 1));
    QVERIFY2(download(checker, "client"), "The downloads did not finish.");
    // Only a file compared by content must match its listed hash; any other
    // is written as it comes, or it would be refused at every start.
    QCOMPARE(checker.FailedWriteCount(), quint64(contentCompared ? 2 : 0));
    QCOMPARE(readFile(localPath("absent.txt")),
             contentCompared ? QByteArray() : QByteArray("service copy"));
    QCOMPARE(readFile(localPath("present.txt")), QByteArray("user copy"));
}

void TestFilesChecker::clientDownloadsWriteInPlace()
{
    // The service lists its hashes in upper case, and a wrong one for bad.dll.
    testService().setUpperCaseHashes(true);
    testService().setWrongHash("bad.dll");
    QVERIFY(serve("client/bad.dll", "tampered") && place("bad.dll", "working"));
    QVERIFY(serve("client/same.txt", "same") && place("same.txt", "same"));
    QVERIFY(serve("client/data.txt", "new data") && place("data.txt", "old"));
    QVERIFY(serve("client/sub/new/file.dat", "new file"));
    QVERIFY(serve("client/Brenmar.prf", "Settings\tX\t1\r\nLastSession\tcallsign\tBRM_OBS\r\n"));
    QVERIFY(place("Brenmar.prf", "Settings\tX\t0\r\nLastSession\tcallsign\tBRM_W_APP\r\n"));

    FilesChecker checker(nullptr, true);
    QSignalSpy updated(&checker, &FilesChecker::OneFileUpdated);
    QSignalSpy finished(&checker, &FilesChecker::UpdateFinished);
    QSignalSpy restart(&checker, &FilesChecker::RestartNeeded);
    int updatedWhenFinished = -1;
    connect(&checker, &FilesChecker::UpdateFinished, this,
            [&] { updatedWhenFinished = updated.count(); });
    const QDateTime before = QDateTime::currentDateTime().addSecs(-2);
    QVERIFY2(compare(checker, "client"), "The client comparison did not finish.");
    QVERIFY2(waitForSignals(finished), "The downloads did not finish.");
    QCOMPARE(updatedWhenFinished, 4);
    QCOMPARE(checker.FailedWriteCount(), quint64(1));
    QCOMPARE(restart.count(), 0);
    // The probe for a file in use must not have emptied the user's copy.
    QCOMPARE(localFiles(),
             (QMap<QString, QByteArray>{{QStringLiteral("bad.dll"), "working"},
                                        {QStringLiteral("Brenmar.prf"),
                                         "Settings\tX\t1\nLastSession\tcallsign\tBRM_W_APP\r\n"},
                                        {QStringLiteral("data.txt"), "new data"},
                                        {QStringLiteral("same.txt"), "same"},
                                        {QStringLiteral("sub/new/file.dat"), "new file"}}));
    const QDateTime written = QFileInfo(localPath("data.txt")).lastModified();
    QVERIFY2(written >= before && written <= QDateTime::currentDateTime().addSecs(2),
             "A program file written without a server time does not carry its time of writing.");
    for (const auto &request : requestsTo(clientDownload))
        QVERIFY2(request.fields.size() == 2 && request.fields.at("mode") == "client",
                 "A program file was asked for without exactly its name and the mode.");
    QCOMPARE(requestedFiles(QStringLiteral("client")),
             names("Brenmar.prf bad.dll data.txt sub/new/file.dat"));

    // Nothing pending: the batch ends at once, after the comparison.
    QVERIFY(QFile::remove(m_content->filePath(QStringLiteral("client/Brenmar.prf")))
            && QFile::remove(m_content->filePath(QStringLiteral("client/bad.dll"))));
    FilesChecker idle(nullptr, true);
    QSignalSpy idleFinished(&idle, &FilesChecker::UpdateFinished);
    int finishedWhenCompared = -1;
    connect(&idle, &FilesChecker::FilesCompared, this,
            [&] { finishedWhenCompared = idleFinished.count(); });
    QVERIFY2(compare(idle, "client"), "The second comparison did not finish.");
    QCOMPARE(finishedWhenCompared, 0);
    QCOMPARE(idleFinished.count(), 1);
    QCOMPARE(requestsTo(clientDownload).size(), size_t(4));
}

void TestFilesChecker::clientFileInUseIsSetAside()
{
    const QByteArray oldProgram = readFile(QStringLiteral(TARN_UPDATE_HELPER));
    const QByteArray newProgram = oldProgram + "\nnew build\n";
    QVERIFY(serve("client/program", newProgram));
    const QString program = localPath("program");
    QVERIFY(QFile::copy(QStringLiteral(TARN_UPDATE_HELPER), program));
    QProcess running;
    running.start(program, {QStringLiteral("hold")});
    QVERIFY2(running.waitForStarted(), "The copied program did not start.");
    QFile probe(program);
    QVERIFY2(!probe.open(QIODevice::WriteOnly | QIODevice::Append),
             "A running program could be opened for writing, so it is not in use.");

    FilesChecker checker(nullptr, true);
    QSignalSpy finished(&checker, &FilesChecker::UpdateFinished);
    QSignalSpy restart(&checker, &FilesChecker::RestartNeeded);
    bool setAsideEarly = false;
    connect(&checker, &FilesChecker::RestartNeeded, this,
            [&] { setAsideEarly = QFile::exists(program + QStringLiteral(".delete")); });
    QVERIFY2(compare(checker, "client"), "The client comparison did not finish.");
    QVERIFY2(waitForSignals(finished), "The download did not finish.");
    QCOMPARE(restart.count(), 1);
    QVERIFY2(!setAsideEarly, "The program was set aside before the restart was asked for.");
    QCOMPARE(checker.FailedWriteCount(), quint64(0));
    QVERIFY2(readFile(program + QStringLiteral(".delete")) == oldProgram,
             "The program in use was not set aside under its name plus \".delete\".");
    QVERIFY2(readFile(program) == newProgram, "The new program is not in place.");
    QVERIFY2(QFileInfo(program).isExecutable(), "The new program lost the executable permission.");

    FilesChecker next(nullptr, false);
    QVERIFY2(compare(next, "client"), "The next comparison did not finish.");
    QVERIFY2(!QFile::exists(program + QStringLiteral(".delete")),
             "The next comparison did not delete the file set aside.");
    QVERIFY2(next.PendingFiles().isEmpty(), "The new program is still scheduled.");
    running.closeWriteChannel();
    QVERIFY(running.waitForFinished());
}

void TestFilesChecker::failedRepliesStayPending_data()
{
    QTest::addColumn<QString>("mode");
    QTest::addColumn<bool>("dropMidBody");
    QTest::newRow("client, no Content-Disposition") << QStringLiteral("client") << false;
    QTest::newRow("sector, no Content-Disposition") << QStringLiteral("sector") << false;
    QTest::newRow("sector, dropped in the middle of the body") << QStringLiteral("sector") << true;
}

void TestFilesChecker::failedRepliesStayPending()
{
    QFETCH(QString, mode);
    QFETCH(bool, dropMidBody);
    // Qt reports many connections dropped in the middle of a body as errors
    // itself; several faulted files in several batches make it likely that
    // some are not.
    const QByteArray oldContent = patterned(256 * 1024, 2);
    QVERIFY(serve(mode + QStringLiteral("/a.txt"), "a") && place("a.txt", "old a", oldTime));
    QStringList faulted;
    for (int i = 0; i < 6; ++i) {
        const QString name = QStringLiteral("b%1.bin").arg(i);
        QVERIFY(serve(mode + QLatin1Char('/') + name, patterned(4 * 1024 * 1024, 3)));
        QVERIFY(place(name, oldContent, oldTime));
        faulted.append(mode == QLatin1String("client") ? name : QStringLiteral("//") + name);
        devservice::Fault fault;
        fault.endpoint
            = mode == QLatin1String("client") ? "downloadFile.php" : "downloadSectorFile.php";
        fault.file = faulted.last().toStdString();
        fault.dropMidBody = dropMidBody;
        fault.noContentDisposition = !dropMidBody;
        testService().addFault(fault);
    }
    const auto before = snapshot(root());

    FilesChecker checker(nullptr, false);
    QVERIFY2(compare(checker, mode), "The comparison did not finish.");
    QSignalSpy replies(RequestSender::sharedManager(), &QNetworkAccessManager::finished);
    QSignalSpy updated(&checker, &FilesChecker::OneFileUpdated);
    QSignalSpy finished(&checker, &FilesChecker::UpdateFinished);
    // The faulted files stay pending, so each batch asks for them again.
    for (int batch = 1; batch <= 3; ++batch) {
        mode == QLatin1String("client") ? checker.DownloadClientFiles()
                                        : checker.DownloadSectorFiles();
        QVERIFY2(waitForSignals(replies, 1 + 6 * batch), "The downloads were not all answered.");
    }
    QCOMPARE(updated.count(), 1);
    QCOMPARE(finished.count(), 0);
    QCOMPARE(checker.FailedWriteCount(), quint64(0));
    QCOMPARE(checker.PendingFiles(), faulted);
    auto expected = contents(before);
    expected.insert(QStringLiteral("a.txt"), "a");
    QVERIFY2(localFiles() == expected, "A failed reply changed an old file or left a partial file.");
}

void TestFilesChecker::writeFailuresAreCounted_data()
{
    QTest::addColumn<QString>("mode");
    QTest::newRow("client") << QStringLiteral("client");
    QTest::newRow("sector") << QStringLiteral("sector");
}

void TestFilesChecker::writeFailuresAreCounted()
{
    QFETCH(QString, mode);
    // Listed as newer than anything local, so all three are outdated.
    const QDateTime future(QDate::currentDate().addYears(1), QTime(10, 0), Qt::LocalTime);
    for (const QString &file : names("Blocked/x.txt Folder.txt fine.txt"))
        QVERIFY(serve(mode + QLatin1Char('/') + file, file.toUtf8(), future));
    QVERIFY(place("Blocked", "a file where a folder should be"));
    QVERIFY(place("Folder.txt/inside.txt", "a folder where a file should be"));
    const auto before = snapshot(root());

    FilesChecker checker(nullptr, false);
    QVERIFY2(compare(checker, mode), "The comparison did not finish.");
    QCOMPARE(checker.PendingCount(), quint64(3));
    QSignalSpy updated(&checker, &FilesChecker::OneFileUpdated);
    QVERIFY2(download(checker, mode), "A batch with failed writes did not end.");
    QCOMPARE(updated.count(), 3);
    QCOMPARE(checker.FailedWriteCount(), quint64(2));
    auto after = snapshot(root());
    QCOMPARE(after.take(QStringLiteral("fine.txt")).content, QByteArray("fine.txt"));
    QVERIFY2(after == before, "A failed write changed the folder or left its partial file behind.");
    // The count belongs to one download.
    QVERIFY2(download(checker, mode), "An empty batch did not end.");
    QCOMPARE(checker.FailedWriteCount(), quint64(0));
}

void TestFilesChecker::sectorWalk()
{
    // Two elements name the same file: it is downloaded twice, one after the other.
    setList(QStringLiteral("sector"),
            "[{\"B\": {\"z.txt\": " + listed + ", \"a.txt\": " + listed + ", \"Sub\": {\"c.txt\": "
                + listed + "}}, \"A.txt\": " + listed + "}, {\"a\": {\"b.txt\": " + listed
                + "}}, {}, {\"a\": {\"b.txt\": " + listed + "}}]");
    testService().setEveryDownload(servedBytes.toStdString());
    FilesChecker checker(nullptr, false);
    QList<quint64> countsWhenCompared;
    connect(&checker, &FilesChecker::FilesCompared, this,
            [&] { countsWhenCompared.append(checker.PendingCount()); });
    QSignalSpy replies(RequestSender::sharedManager(), &QNetworkAccessManager::finished);
    QVERIFY2(compare(checker, "sector"), "The sector comparison did not finish.");
    QVERIFY(waitForSignals(replies));
    // One comparison per element of the list.
    QCOMPARE(countsWhenCompared, (QList<quint64>{4, 5, 5, 6}));
    QCOMPARE(checker.PendingFiles(),
             names("//A.txt //B/Sub/c.txt //B/a.txt //B/z.txt //a/b.txt //a/b.txt"));
    QVERIFY2(requestsTo(sectorDownload).empty(), "A sector comparison started downloads.");

    QSignalSpy updated(&checker, &FilesChecker::OneFileUpdated);
    int updatedWhenFinished = -1;
    connect(&checker, &FilesChecker::UpdateFinished, this,
            [&] { updatedWhenFinished = updated.count(); });
    QVERIFY2(download(checker, "sector"), "The sector downloads did not finish.");
    QCOMPARE(updatedWhenFinished, 6);
    QCOMPARE(requestedFiles(QStringLiteral("sector")),
             names("//A.txt //B/Sub/c.txt //B/a.txt //B/z.txt //a/b.txt //a/b.txt"));
}

void TestFilesChecker::sectorOutdatedTest_data()
{
    QTest::addColumn<bool>("present");
    QTest::addColumn<qint64>("offsetMs");
    QTest::addColumn<bool>("outdated");
    QTest::newRow("missing") << false << qint64(0) << true;
    QTest::newRow("a second older") << true << qint64(-1000) << true;
    QTest::newRow("a millisecond older") << true << qint64(-1) << true;
    QTest::newRow("exactly the listed time") << true << qint64(0) << false;
    QTest::newRow("newer") << true << qint64(60000) << false;
}

void TestFilesChecker::sectorOutdatedTest()
{
    QFETCH(bool, present);
    QFETCH(qint64, offsetMs);
    QFETCH(bool, outdated);
    setList(QStringLiteral("sector"), "[{\"A\": {\"b.txt\": " + listed + "}}]");
    QVERIFY(!present || place("A/b.txt", "local", listedTime.addMSecs(offsetMs)));
    FilesChecker checker(nullptr, false);
    QVERIFY2(compare(checker, "sector"), "The sector comparison did not finish.");
    QCOMPARE(checker.PendingFiles(), outdated ? names("//A/b.txt") : QStringList());
}

void TestFilesChecker::sectorTimeThatDoesNotParse()
{
    setList(
        QStringLiteral("sector"),
        R"([{"present.txt": "2021-02-01 10:00:00", "absent.txt": "yesterday", "number.txt": 5}])");
    QVERIFY(place("present.txt", "local", oldTime));
    QVERIFY(serve("sector/absent.txt", "served") && serve("sector/number.txt", "served"));

    FilesChecker checker(nullptr, false);
    QVERIFY2(compare(checker, "sector"), "The sector comparison did not finish.");
    QCOMPARE(checker.PendingFiles(), names("//absent.txt //number.txt"));
    QVERIFY2(warnings.size() == 1 && warnings.first().contains(QStringLiteral("present.txt")),
             "An unreadable time was not warned about once, naming the file.");
    const QDateTime before = QDateTime::currentDateTime().addSecs(-2);
    QVERIFY2(download(checker, "sector"), "The sector downloads did not finish.");
    const QDateTime written = QFileInfo(localPath("absent.txt")).lastModified();
    QVERIFY2(written >= before && written <= QDateTime::currentDateTime().addSecs(2),
             "A file whose listed time does not parse does not carry its time of writing.");
}

void TestFilesChecker::sectorDownloadsWithServiceTimes()
{
    const QDateTime aTime(QDate(2020, 12, 31), QTime(23, 59, 59), Qt::LocalTime);
    const QDateTime bTime(QDate(2021, 6, 15), QTime(8, 30, 0), Qt::LocalTime);
    QVERIFY(serve("sector/Data/a.txt", "a, new", aTime)
            && serve("sector/Data/Sub/b.txt", "b", bTime));
    QVERIFY(place("Data/a.txt", "a, old", aTime.addDays(-1)) && place("keep.txt", "the user's own"));

    FilesChecker checker(nullptr, false);
    QVERIFY2(compare(checker, "sector"), "The sector comparison did not finish.");
    QSignalSpy finished(&checker, &FilesChecker::UpdateFinished);
    QList<quint64> pendingWhenUpdated;
    connect(&checker, &FilesChecker::OneFileUpdated, this,
            [&] { pendingWhenUpdated.append(checker.PendingCount()); });
    QVERIFY2(download(checker, "sector"), "The sector downloads did not finish.");
    QCOMPARE(pendingWhenUpdated, (QList<quint64>{2, 1}));
    QCOMPARE(finished.count(), 1);
    QCOMPARE(checker.FailedWriteCount(), quint64(0));
    QCOMPARE(localFiles(),
             (QMap<QString, QByteArray>{{QStringLiteral("Data/Sub/b.txt"), "b"},
                                        {QStringLiteral("Data/a.txt"), "a, new"},
                                        {QStringLiteral("keep.txt"), "the user's own"}}));
    QCOMPARE(QFileInfo(localPath("Data/a.txt")).lastModified(), aTime);
    QCOMPARE(QFileInfo(localPath("Data/Sub/b.txt")).lastModified(), bTime);
    for (const auto &request : requestsTo(sectorDownload))
        QCOMPARE(request.fields.size(), size_t(1));
    QCOMPARE(requestedFiles(QStringLiteral("sector")), names("//Data/Sub/b.txt //Data/a.txt"));

    FilesChecker next(nullptr, false);
    QVERIFY2(compare(next, "sector"), "The next sector comparison did not finish.");
    QVERIFY2(next.PendingFiles().isEmpty(), "Files just downloaded are outdated at the next check.");
    // Nothing pending: the batch ends at once without a request.
    QVERIFY2(download(next, "sector"), "An empty batch did not end.");
    QCOMPARE(requestsTo(sectorDownload).size(), size_t(2));
}

void TestFilesChecker::sectorLargeFilesBeyondTheCapAllArrive()
{
    // Large files first, so the batch learns their size, then more small ones
    // than are posted in one turn of the event loop. Two large files fit the
    // byte budget at once, three do not. The first replaces an old file.
    constexpr int largeCount = 5;
    constexpr int largeSize = int(SectorDownloadQueue::byteBudget / 2) - 1024 * 1024;
    constexpr int count = 250;
    QJsonObject folder;
    for (int i = 0; i < count; ++i) {
        const QString name = i < largeCount ? QStringLiteral("large%1.bin").arg(i)
                                            : QStringLiteral("small%1.txt").arg(i);
        QVERIFY(serve(QStringLiteral("sector/Mixed/") + name,
                      i < largeCount ? patterned(largeSize, quint32(i)) : QByteArray::number(i)));
        folder.insert(name, listedText);
    }
    // A JSON object lists its members sorted, so "large" comes before "small".
    setList(QStringLiteral("sector"),
            QJsonDocument(QJsonArray{QJsonObject{{QStringLiteral("Mixed"), folder}}}).toJson());
    const QString replaced = localPath("Mixed/large0.bin");
    const QFile::Permissions permissions = QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner
        | QFile::ReadGroup | QFile::ExeGroup;
    QVERIFY(place("Mixed/large0.bin", "old", oldTime)
            && QFile::setPermissions(replaced, permissions));

    FilesChecker checker(nullptr, false);
    QVERIFY2(compare(checker, "sector"), "The sector comparison did not finish.");
    QCOMPARE(checker.PendingCount(), quint64(count));
    QSignalSpy updated(&checker, &FilesChecker::OneFileUpdated);
    int mostLargeRunning = 0;
    connect(&checker, &FilesChecker::OneFileUpdated, this, [&] {
        // Until then at least two large files are left, so every download
        // still running is a large one.
        const auto replies = RequestSender::sharedManager()->findChildren<QNetworkReply *>();
        if (updated.count() <= largeCount - 2)
            mostLargeRunning = std::max(
                mostLargeRunning,
                int(std::count_if(replies.cbegin(), replies.cend(), [](const QNetworkReply *reply) {
                    return !reply->isFinished()
                        && reply->url().path().endsWith(QLatin1String("/downloadSectorFile.php"));
                })));
    });
    QVERIFY2(download(checker, "sector"),
             "A batch with more files than are let in at once did not finish.");
    QCOMPARE(updated.count(), count);
    QCOMPARE(checker.FailedWriteCount(), quint64(0));
    QCOMPARE(requestedFiles(QStringLiteral("sector")).size(), count);
    QVERIFY2(mostLargeRunning <= 2,
             qPrintable(QStringLiteral("%1 downloads ran beside large ones, at most 2 may.")
                            .arg(mostLargeRunning)));
    const QMap<QString, QByteArray> written = localFiles();
    QCOMPARE(written.size(), count);
    for (int i = 0; i < count; ++i)
        QVERIFY2(i < largeCount ? written.value(QStringLiteral("Mixed/large%1.bin").arg(i))
                         == patterned(largeSize, quint32(i))
                                : written.value(QStringLiteral("Mixed/small%1.txt").arg(i))
                         == QByteArray::number(i),
                 qPrintable(QStringLiteral("File %1 was not written whole and in order.").arg(i)));
    QCOMPARE(QFileInfo(replaced).lastModified(), listedTime);
    QVERIFY2((QFile::permissions(replaced) & ~(QFile::ReadUser | QFile::WriteUser | QFile::ExeUser))
                 == permissions,
             "The replaced file did not keep the permissions of the old one.");
}

void TestFilesChecker::sectorProfilesAreMerged()
{
    QVERIFY(serve("sector/Brenmar.prf", profileData(QStringLiteral("service/Brenmar.prf")),
                  listedTime));
    QVERIFY(serve("sector/Brenmar/ASR/APP.ASR",
                  profileData(QStringLiteral("service/Brenmar_APP.asr"))));
    QVERIFY(serve("sector/Brenmar/notes.txt", "LastSession\tcallsign\tkept\r\n"));
    QVERIFY(place("Brenmar.prf", profileData(QStringLiteral("user/Brenmar.prf")), oldTime));
    QVERIFY(
        place("Brenmar/ASR/APP.ASR", profileData(QStringLiteral("user/Brenmar_APP.asr")), oldTime));

    FilesChecker checker(nullptr, false);
    QVERIFY2(compare(checker, "sector"), "The sector comparison did not finish.");
    QCOMPARE(checker.PendingCount(), quint64(3));
    QVERIFY2(download(checker, "sector"), "The sector downloads did not finish.");
    QVERIFY2(
        localFiles()
            == (QMap<QString, QByteArray>{
                {QStringLiteral("Brenmar.prf"), profileData(QStringLiteral("merged/Brenmar.prf"))},
                {QStringLiteral("Brenmar/ASR/APP.ASR"),
                 profileData(QStringLiteral("merged/Brenmar_APP.asr"))},
                {QStringLiteral("Brenmar/notes.txt"), "LastSession\tcallsign\tkept\r\n"}}),
        "A downloaded profile or ASR file does not carry the user's lines, or another file was "
        "merged.");
    QCOMPARE(QFileInfo(localPath("Brenmar.prf")).lastModified(), listedTime);
}

void TestFilesChecker::sectorWriteIntoReadOnlyFolderFails()
{
    // In a process of its own that drops root rights, so that the folder's
    // permissions apply whoever runs the tests.
    QVERIFY(serve("sector/Locked/a.txt", "new a") && serve("sector/Open/b.txt", "new b"));
    QVERIFY(place("Locked/a.txt", "old a", oldTime) && QDir(root()).mkdir(QStringLiteral("Open")));
    const QFile::Permissions readable = QFile::ReadOwner | QFile::ExeOwner | QFile::ReadGroup
        | QFile::ExeGroup | QFile::ReadOther | QFile::ExeOther;
    const QFile::Permissions writable = QFile::WriteOwner | QFile::WriteGroup | QFile::WriteOther;
    QVERIFY(QFile::setPermissions(m_area->path(), readable | QFile::WriteOwner));
    QVERIFY(QFile::setPermissions(root(), readable | QFile::WriteOwner));
    QVERIFY(QFile::setPermissions(localPath("Locked"), readable));
    QVERIFY(QFile::setPermissions(localPath("Open"), readable | writable));

    QProcess helper;
    QVERIFY2(runSectorHelper(helper, {QStringLiteral("unprivileged")}),
             "The helper did not finish.");
    QVERIFY2(helper.exitStatus() == QProcess::NormalExit && helper.exitCode() == 0,
             helper.readAllStandardError().constData());
    QCOMPARE(helper.readAllStandardOutput().trimmed(), QByteArray("failed=1"));
    QCOMPARE(readFile(localPath("Locked/a.txt")), QByteArray("old a"));
    QCOMPARE(readFile(localPath("Open/b.txt")), QByteArray("new b"));
}

void TestFilesChecker::interruptedWriteLeavesTheOldFile()
{
    constexpr int limit = 64 * 1024;
    const QByteArray oldContent(100 * 1024, 'o');
    const QByteArray newContent = patterned(1024 * 1024, 4);
    QVERIFY(serve("sector/Data/big.sct", newContent) && place("Data/big.sct", oldContent, oldTime));

    // The helper's file size limit kills it in the middle of writing the file.
    QProcess helper;
    QVERIFY2(runSectorHelper(helper, {QStringLiteral("file-size-limit"), QString::number(limit)}),
             "The helper did not finish.");
    QVERIFY2(helper.exitStatus() == QProcess::CrashExit,
             "The helper was not killed by its file size limit, so nothing was interrupted.");
    QVERIFY2(readFile(localPath("Data/big.sct")) == oldContent,
             "An interrupted write left the file changed or truncated.");
    const QFileInfo part(localPath("Data/big.sct.tarn-part"));
    QVERIFY2(part.exists() && part.size() <= limit,
             "The interrupted write left no recognisable partial file.");
    // Stale parts of a file no longer listed and of a hidden one go as well.
    QVERIFY(place("Data/gone.txt.tarn-part", "half") && place("Data/.hidden.tarn-part", "half"));

    FilesChecker checker(nullptr, false);
    QVERIFY2(compare(checker, "sector"), "The sector comparison did not finish.");
    QVERIFY2(download(checker, "sector"), "The sector download did not finish.");
    QVERIFY2(localFiles()
                 == (QMap<QString, QByteArray>{{QStringLiteral("Data/big.sct"), newContent}}),
             "The next update did not write the file, or partial files are still there.");
}

// A download of an earlier batch may still be writing into a folder that the
// next batch clears of stale part files: its part must survive.
void TestFilesChecker::partClearingKeepsLiveParts()
{
    QVERIFY(place("Data/stale.txt.tarn-part", "half of a stale file"));
    AtomicFileWriter::Incremental running(localPath("Data/running.txt"));
    QVERIFY2(running.open() && running.append("first half "), "The running write could not start.");
    AtomicFileWriter::removePartFiles(localPath("Data"), {running.partFileName()});
    QVERIFY2(!QFile::exists(localPath("Data/stale.txt.tarn-part")),
             "The stale part file was not removed.");
    QVERIFY2(running.append("second half")
                 && running.finish(QDateTime::currentDateTime(), QString()),
             "The running write lost its part file.");
    QCOMPARE(readFile(localPath("Data/running.txt")), QByteArray("first half second half"));
}

void TestFilesChecker::hostilePathCheck_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<bool>("safe");
    const QStringList hostile = hostilePaths();
    for (int i = 0; i < hostile.size(); ++i)
        QTest::addRow("hostile %d", i) << hostile.at(i) << false;
    // Names that look close to a refused one but are ordinary files.
    for (const char *path : {"sub/safe.dll", "...a", "a..b/c.txt", ".hidden", "con_list.txt",
                             "COM10", "nul-device.txt", "LPT", "a b/c d.txt", "Überflug.prf",
                             "Brenmar.prf", "ASR/Brenmar_APP.asr"})
        QTest::addRow("ordinary %s", path) << QString::fromUtf8(path) << true;
}

void TestFilesChecker::hostilePathCheck()
{
    QFETCH(QString, path);
    QFETCH(bool, safe);
    QCOMPARE(ListedPath::isSafeClientPath(path), safe);
    QCOMPARE(ListedPath::isSafeSectorPath(QStringLiteral("//") + path), safe);
}

void TestFilesChecker::hostileListsWriteNothingOutside_data()
{
    // Each form in the "client" list, and in the sector tree at the top,
    // inside a folder, and one level down a folder key "..".
    QTest::addColumn<QString>("mode");
    QTest::addColumn<QStringList>("requested");
    QTest::addColumn<QStringList>("written");
    QTest::newRow("client") << QStringLiteral("client") << names("sub/safe.dll")
                            << names("sub sub/safe.dll");
    QTest::newRow("sector") << QStringLiteral("sector") << names("//Data/safe.txt //safe.txt")
                            << names("Data Data/safe.txt safe.txt");
}

void TestFilesChecker::hostileListsWriteNothingOutside()
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
    setList(QStringLiteral("client"), QJsonDocument(list).toJson());
    setList(QStringLiteral("sector"), QJsonDocument(QJsonArray{tree}).toJson());
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

void TestFilesChecker::queueWindow_data()
{
    QTest::addColumn<int>("maxInFlight");
    QTest::addColumn<qint64>("length");
    QTest::newRow("default") << 0 << qint64(1024);
    QTest::newRow("default, no lengths") << 0 << qint64(-1);
    QTest::newRow("widened") << 4 * SectorDownloadQueue::defaultMaxInFlight << qint64(1024);
    QTest::newRow("one") << 1 << qint64(1024);
}

void TestFilesChecker::queueWindow()
{
    QFETCH(int, maxInFlight);
    QFETCH(qint64, length);
    SectorDownloadQueue queue;
    if (maxInFlight > 0)
        queue.setMaxInFlight(maxInFlight);
    const int window = maxInFlight > 0 ? maxInFlight : SectorDownloadQueue::defaultMaxInFlight;
    const QStringList paths = numberedPaths(window + 10);
    queue.start(paths);
    QString path;
    QVERIFY(queue.takeNext(path));
    QVERIFY2(window == 1 || !queue.takeNext(path),
             "A second download went out before any headers came.");
    queue.headersArrived(path, length);
    QCOMPARE(1 + takeAll(queue, length), window);
    QCOMPARE(queue.inFlight(), window);
    // Each download that ends lets the next one out, in list order.
    queue.finished(paths.first());
    QVERIFY(queue.takeNext(path));
    QCOMPARE(path, paths.at(window));
    QVERIFY(!queue.takeNext(path));
}

void TestFilesChecker::queueLengthsAgainstTheBudget_data()
{
    constexpr qint64 budget = SectorDownloadQueue::byteBudget;
    QTest::addColumn<qint64>("length");
    QTest::addColumn<int>("inFlight");
    QTest::newRow("small files fill the window")
        << qint64(1024) << SectorDownloadQueue::defaultMaxInFlight;
    QTest::newRow("a third of the budget") << budget / 3 << 3;
    QTest::newRow("just under half") << budget / 2 - 1 << 2;
    QTest::newRow("exactly half") << budget / 2 << 2;
    QTest::newRow("just over half, one at a time") << budget / 2 + 1 << 1;
    QTest::newRow("beyond the budget, still one") << budget + 1 << 1;
}

void TestFilesChecker::queueLengthsAgainstTheBudget()
{
    QFETCH(qint64, length);
    QFETCH(int, inFlight);
    SectorDownloadQueue queue;
    queue.start(numberedPaths(SectorDownloadQueue::defaultMaxInFlight + 10));
    QCOMPARE(takeAll(queue, length), inFlight);
    QCOMPARE(queue.inFlight(), inFlight);
}

void TestFilesChecker::queueGuessesUnknownLengths()
{
    // A download without headers yet counts at the average length seen.
    SectorDownloadQueue queue;
    const QStringList paths = numberedPaths(10);
    queue.start(paths);
    QString path;
    QVERIFY(queue.takeNext(path));
    queue.headersArrived(path, SectorDownloadQueue::byteBudget / 3);
    QVERIFY(queue.takeNext(path) && queue.takeNext(path));
    QVERIFY2(!queue.takeNext(path),
             "A download went out although the guessed lengths exceed the budget.");
    // A small length reported instead of the guess makes room.
    queue.headersArrived(paths.at(1), 1024);
    QVERIFY(queue.takeNext(path));
    QCOMPARE(path, paths.at(3));
}

void TestFilesChecker::queueDefersDuplicates()
{
    // A path listed twice waits for its earlier download, also one of an
    // earlier batch; a new batch waits for its first headers again, and the
    // downloads still running count against it.
    SectorDownloadQueue queue;
    queue.start(names("//a //b //a //c"));
    QString path;
    QVERIFY(queue.takeNext(path));
    queue.headersArrived(path, 1024);
    QStringList taken;
    while (queue.takeNext(path))
        taken.append(path);
    QVERIFY2(taken == names("//b //c"), "A path went out twice at the same time.");
    queue.start(names("//d //b"));
    QVERIFY(!queue.takeNext(path));
    queue.headersArrived(QStringLiteral("//b"), 1024);
    QVERIFY(queue.takeNext(path));
    QCOMPARE(path, QStringLiteral("//d"));
    QVERIFY2(!queue.takeNext(path), "A path of the new batch went out beside its earlier download.");
    queue.finished(QStringLiteral("//b"));
    QVERIFY(queue.takeNext(path));
    QCOMPARE(path, QStringLiteral("//b"));
    QCOMPARE(queue.inFlight(), 4);
}

void TestFilesChecker::mergesLines_data()
{
    QTest::addColumn<QByteArray>("userCopy");
    QTest::addColumn<QByteArray>("downloaded");
    QTest::addColumn<QByteArray>("merged");
    for (const QString &name : names("Brenmar.prf Brenmar_APP.asr"))
        QTest::newRow(qPrintable(name)) << profileData(QStringLiteral("user/") + name)
                                        << profileData(QStringLiteral("service/") + name)
                                        << profileData(QStringLiteral("merged/") + name);
    QTest::newRow("no user copy drops the keyed lines")
        << QByteArray() << QByteArray("A\tone\nLastSession\tcallsign\tBRM_OBS\nB\ttwo\n")
        << QByteArray("A\tone\nB\ttwo\n");
    QTest::newRow("an upper-case downloaded marker is dropped")
        << QByteArray() << QByteArray("SETTINGS\tASELKEY\t0\nA\tone\n") << QByteArray("A\tone\n");
    QTest::newRow("download loses its carriage returns, the user's line keeps its own")
        << QByteArray("Voice\tSPPT\t0\r\n") << QByteArray("A\r\tone\r\nB\ttwo\r\n")
        << QByteArray("A\tone\nB\ttwo\nVoice\tSPPT\t0\r\n");
    QTest::newRow("a last downloaded line without line feed gets one")
        << QByteArray("LastSession\tcallsign\tBRM_W_APP\r\n") << QByteArray("A\tone\r\nB\ttwo")
        << QByteArray("A\tone\nB\ttwo\nLastSession\tcallsign\tBRM_W_APP\r\n");
    QTest::newRow("a last downloaded keyed line without line feed is dropped")
        << QByteArray("LastSession\tcallsign\tBRM_W_APP\n")
        << QByteArray("A\tone\nLastSession\tcallsign\tBRM_OBS")
        << QByteArray("A\tone\nLastSession\tcallsign\tBRM_W_APP\n");
    QTest::newRow("the user's last line keeps its missing line feed")
        << QByteArray("X\tmine\nSECTORTITLE:Mine") << QByteArray("A\tone\n")
        << QByteArray("A\tone\nSECTORTITLE:Mine");
    QTest::newRow("lines in a legacy code page pass byte for byte")
        << QByteArray("Voice\tinput_hardware\tMikrofon (Ger\xe4t \xae)\r\nX\t\xe9t\xe9\r\n")
        << QByteArray("Caf\xe9\tn\xb0 1\r\nVoice\tinput_hardware\t\r\n\xff\xfe\tbytes\r\n")
        << QByteArray("Caf\xe9\tn\xb0 1\n\xff\xfe\tbytes\nVoice\tinput_hardware\tMikrofon "
                      "(Ger\xe4t \xae)\r\n");
    QTest::newRow("a marker counts anywhere in a line")
        << QByteArray("; was SECTORFILE:old.sct\n") << QByteArray("A\tone\n  sectortitle:Brenmar\n")
        << QByteArray("A\tone\n; was SECTORFILE:old.sct\n");
    QTest::newRow("a tab is part of the marker")
        << QByteArray() << QByteArray("Sounds CONFLICT\nLastSession callsign\nSounds\tX\n")
        << QByteArray("Sounds CONFLICT\nLastSession callsign\n");
}

void TestFilesChecker::mergesLines()
{
    QFETCH(QByteArray, userCopy);
    QFETCH(QByteArray, downloaded);
    QFETCH(QByteArray, merged);
    QVERIFY2(!merged.isEmpty(), "The profile test data could not be read.");
    QCOMPARE(ProfileMerge::MergeProfile(userCopy, downloaded), merged);
}

void TestFilesChecker::recognisesEveryMarker_data()
{
    QTest::addColumn<QByteArray>("marker");
    for (const QByteArray &marker : userLineMarkers())
        QTest::newRow(marker.constData()) << marker;
}

void TestFilesChecker::recognisesEveryMarker()
{
    QFETCH(QByteArray, marker);
    QVERIFY2(ProfileMerge::isKeyedLine(marker.toLower() + "\tvalue\r\n"),
             "A marker's line in lower case is not keyed.");
    QVERIFY2(ProfileMerge::isKeyedLine("prefix " + marker.toUpper()),
             "A marker in upper case in the middle of a line is not keyed.");
    QVERIFY2(!ProfileMerge::isKeyedLine(marker.mid(1) + "\n"),
             "A line holding a marker without its first letter is keyed.");
}

void TestFilesChecker::appliesToProfilesAndAsrFiles_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<bool>("merged");
    QTest::newRow("community profile") << QStringLiteral("/home/jo/Sector/Brenmar.prf") << true;
    QTest::newRow("profile in upper case")
        << QStringLiteral("/home/jo/Sector//BRENMAR.PRF") << true;
    QTest::newRow("ASR file") << QStringLiteral("/home/jo/Sector/Brenmar/APP.asr") << true;
    QTest::newRow("ASR file in upper case") << QStringLiteral("/home/jo/Sector/TWR.ASR") << true;
    QTest::newRow("folder named like an ASR file")
        << QStringLiteral("/s/old.asr/notes.txt") << true;
    QTest::newRow("other text file") << QStringLiteral("/home/jo/Sector/Brenmar.txt") << false;
    QTest::newRow("other profile") << QStringLiteral("/home/jo/Sector/Other.prf") << false;
}

void TestFilesChecker::appliesToProfilesAndAsrFiles()
{
    QFETCH(QString, path);
    QFETCH(bool, merged);
    QCOMPARE(ProfileMerge::appliesTo(path), merged);
}

QTEST_GUILESS_MAIN(TestFilesChecker)
#include "tst_fileschecker.moc"
