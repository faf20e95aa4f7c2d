#include "TestService.h"

#include "net/RequestSender.h"
#include "update/FilesChecker.h"

#include <QCryptographicHash>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QProcess>
#include <QSignalSpy>
#include <QTemporaryDir>

#include <algorithm>
#include <cstring>
#include <memory>

namespace {
const QString clientList = QStringLiteral("checkClient.php");
const QString sectorList = QStringLiteral("getfilelist.php");
const std::string clientDownload = "/api/tarn/downloadFile.php";
const std::string sectorDownload = "/api/tarn/downloadSectorFile.php";
constexpr int helperTimeoutMs = 60000;

const QDateTime listedTime(QDate(2021, 2, 1), QTime(10, 0, 0), Qt::LocalTime);
const QString listedTimeText = QStringLiteral("01-02-2021 10:00:00");

// The update warnings logged since the last clear.
QStringList updateWarnings;
QtMessageHandler defaultHandler = nullptr;

void recordMessage(QtMsgType type, const QMessageLogContext &context, const QString &message)
{
    if (type == QtWarningMsg && qstrcmp(context.category, "tarn.update") == 0)
        updateWarnings.append(message);
    defaultHandler(type, context, message);
}

QString sha1Hex(const QByteArray &bytes)
{
    return QString::fromLatin1(QCryptographicHash::hash(bytes, QCryptographicHash::Sha1).toHex());
}

QStringList requestedFiles(const std::string &path)
{
    QStringList files;
    for (const auto &request : requestsTo(path)) {
        const auto file = request.fields.find("file");
        files.append(file == request.fields.end() ? QString()
                                                  : QString::fromStdString(file->second));
    }
    files.sort();
    return files;
}

// The next list request of endpoint is answered with HTTP 401.
void answerNextListWithUnauthorized(const std::string &endpoint)
{
    devservice::Fault fault;
    fault.endpoint = endpoint;
    fault.status = 401;
    fault.times = 1;
    testService().addFault(fault);
}

void setList(const QString &endpoint, const QByteArray &json)
{
    testService().setListOverride(endpoint.toStdString(), json.toStdString());
}

QByteArray helperBytes()
{
    return readFile(QStringLiteral(TARN_UPDATE_HELPER));
}

// Bytes in which every four-byte word differs from its neighbours, so a lost,
// repeated or reordered piece changes the content.
QByteArray patterned(int size, quint32 seed)
{
    QByteArray bytes(size, Qt::Uninitialized);
    for (int i = 0; i + 4 <= size; i += 4) {
        const quint32 word = seed * 2654435761u + quint32(i);
        memcpy(bytes.data() + i, &word, 4);
    }
    for (int i = size - size % 4; i < size; ++i)
        bytes[i] = char(i);
    return bytes;
}

// The sector downloads posted and not finished yet.
int unfinishedSectorDownloads()
{
    int count = 0;
    const auto replies = RequestSender::sharedManager()->findChildren<QNetworkReply *>();
    for (const QNetworkReply *reply : replies) {
        if (!reply->isFinished()
            && reply->url().path().endsWith(QLatin1String("/downloadSectorFile.php")))
            ++count;
    }
    return count;
}
} // namespace

class TestFilesChecker : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void init();
    void cleanup();

    void clientComparison();
    void clientListedModes_data();
    void clientListedModes();
    void clientHashesInUpperCase();
    void clientListFailures();
    void clientPathsLeavingTheFolderAreSkipped();
    void clientDownloadsWriteInPlace();
    void clientNothingPending();
    void clientFileInUseIsSetAside();
    void clientCorruptedDownloadIsRefused();
    void clientDownloadWithoutContentDispositionStaysPending();
    void clientWriteFailureIsCounted();

    void sectorWalk();
    void sectorListsWithoutElements();
    void sectorOutdatedTest_data();
    void sectorOutdatedTest();
    void sectorTimeThatDoesNotParse();
    void sectorPathsLeavingTheFolderAreSkipped();
    void sectorDownloadsWithServiceTimes();
    void sectorDuplicatePathIsDownloadedTwice();
    void sectorLargeBatchArrivesWhole();
    void sectorLargeFileIsStreamedWhole();
    void sectorDropMidBodyLeavesTheOldFile();
    void sectorLargeFilesBeyondTheCapAllArrive();
    void sectorDownloadWithoutContentDispositionStaysPending();
    void sectorNothingPending();
    void sectorErrorReplyEmptiesTheLists();
    void sectorProfilesAreMerged();
    void sectorReplacementKeepsPermissions();
    void sectorStalePartFilesAreRemoved();
    void sectorWriteFailuresAreCounted();
    void sectorWriteIntoReadOnlyFolderFails();
    void interruptedWriteLeavesTheOldFile();

private:
    QString contentPath(const QString &relative) const { return m_content->filePath(relative); }
    QString localPath(const QString &relative) const { return m_local->filePath(relative); }
    // Runs a "client" comparison of the local folder; false when it did not come.
    bool compareClient(FilesChecker &checker);
    bool compareSector(FilesChecker &checker);
    // Downloads what a sector comparison found; false when the batch did not end.
    static bool downloadSector(FilesChecker &checker);
    // Waits until count more replies of the shared access manager have finished,
    // counting from when the spy was made.
    static bool waitForReplies(QSignalSpy &finished, int count);
    // Runs the helper's sector update of the local folder.
    bool runSectorHelper(QProcess &helper, const QStringList &options);

    std::unique_ptr<QTemporaryDir> m_content;
    std::unique_ptr<QTemporaryDir> m_local;
};

void TestFilesChecker::initTestCase()
{
    defaultHandler = qInstallMessageHandler(&recordMessage);
    qRegisterMetaType<QNetworkReply *>();
}

void TestFilesChecker::init()
{
    m_content = std::make_unique<QTemporaryDir>();
    m_local = std::make_unique<QTemporaryDir>();
    QVERIFY2(m_content->isValid() && m_local->isValid(),
             "The temporary folders could not be made.");
    resetTestService(m_content->path());
    updateWarnings.clear();
}

void TestFilesChecker::cleanup()
{
    // Folders that a test made read-only must not keep the cleanup out.
    for (const QString &folder : {QStringLiteral("Locked")})
        QFile::setPermissions(localPath(folder),
                              QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
}

bool TestFilesChecker::compareClient(FilesChecker &checker)
{
    checker.SetRootPath(m_local->path());
    checker.SetMode(QStringLiteral("client"));
    QSignalSpy compared(&checker, &FilesChecker::FilesCompared);
    checker.RequestFilelist(clientList);
    return waitForSignals(compared);
}

bool TestFilesChecker::compareSector(FilesChecker &checker)
{
    checker.SetRootPath(m_local->path());
    checker.SetMode(QStringLiteral("sector"));
    QSignalSpy compared(&checker, &FilesChecker::FilesCompared);
    checker.RequestFilelist(sectorList);
    return waitForSignals(compared);
}

bool TestFilesChecker::downloadSector(FilesChecker &checker)
{
    QSignalSpy finished(&checker, &FilesChecker::UpdateFinished);
    checker.DownloadSectorFiles();
    return waitForSignals(finished);
}

bool TestFilesChecker::waitForReplies(QSignalSpy &finished, int count)
{
    // The spy is connected before any sender, so by the time it has counted a
    // reply, the checker's handling of that reply has run as well.
    return waitForSignals(finished, count);
}

bool TestFilesChecker::runSectorHelper(QProcess &helper, const QStringList &options)
{
    helper.setProcessEnvironment(serviceEnvironment());
    helper.start(QStringLiteral(TARN_UPDATE_HELPER),
                 QStringList{QStringLiteral("sector-update"), m_local->path()} + options);
    return helper.waitForFinished(helperTimeoutMs);
}

// ---------------------------------------------------------------------------
// "client" lists and comparison

void TestFilesChecker::clientComparison()
{
    QVERIFY(writeFile(contentPath(QStringLiteral("client/same.txt")), "same"));
    QVERIFY(writeFile(contentPath(QStringLiteral("client/changed.txt")), "new content"));
    QVERIFY(writeFile(contentPath(QStringLiteral("client/dnt.txt")), "service copy"));
    QVERIFY(writeFile(contentPath(QStringLiteral("client/pam.txt")), "service copy"));
    QVERIFY(writeFile(contentPath(QStringLiteral("client/absent-dnt.txt")), "service copy"));
    QVERIFY(writeFile(contentPath(QStringLiteral("client/sub/deep/new.dll")), "library"));
    QVERIFY(writeFile(contentPath(QStringLiteral("client/Case.txt")), "case"));
    QVERIFY(writeFile(contentPath(QStringLiteral("client/.modes.json")),
                      R"({"dnt.txt": "DNT", "pam.txt": "PAM", "absent-dnt.txt": "DNT"})"));

    QVERIFY(writeFile(localPath(QStringLiteral("same.txt")), "same"));
    QVERIFY(writeFile(localPath(QStringLiteral("changed.txt")), "old content"));
    QVERIFY(writeFile(localPath(QStringLiteral("dnt.txt")), "user copy"));
    QVERIFY(writeFile(localPath(QStringLiteral("pam.txt")), "user copy"));
    QVERIFY(writeFile(localPath(QStringLiteral("case.txt")), "case"));
    QVERIFY(writeFile(localPath(QStringLiteral("unlisted.txt")), "mine"));
    QVERIFY(writeFile(localPath(QStringLiteral("Tarn.exe.delete")), "old program"));
    QVERIFY(writeFile(localPath(QStringLiteral("sub/lib.dll.delete")), "old library"));
    QVERIFY(writeFile(localPath(QStringLiteral("sub/lib.dll.DELETE")), "not ours"));
    QVERIFY(writeFile(localPath(QStringLiteral("data.bin.tarn-part")), "half a file"));
    QVERIFY(writeFile(localPath(QStringLiteral(".hidden/old.delete")), "hidden"));

    FilesChecker checker(nullptr, false);
    QSignalSpy compared(&checker, &FilesChecker::FilesCompared);
    QSignalSpy finished(&checker, &FilesChecker::UpdateFinished);
    QVERIFY2(compareClient(checker), "The client comparison did not finish.");

    QCOMPARE(compared.count(), 1);
    QCOMPARE(checker.PendingFiles(),
             (QStringList{QStringLiteral("Case.txt"), QStringLiteral("absent-dnt.txt"),
                          QStringLiteral("changed.txt"), QStringLiteral("sub/deep/new.dll")}));
    QCOMPARE(checker.PendingCount(), quint64(4));
    QVERIFY2(!QFile::exists(localPath(QStringLiteral("Tarn.exe.delete"))),
             "A file set aside earlier was not deleted.");
    QVERIFY2(!QFile::exists(localPath(QStringLiteral("sub/lib.dll.delete"))),
             "A file set aside earlier in a subfolder was not deleted.");
    QVERIFY2(!QFile::exists(localPath(QStringLiteral("data.bin.tarn-part"))),
             "A partial file of an interrupted write was not deleted.");
    QVERIFY2(QFile::exists(localPath(QStringLiteral("sub/lib.dll.DELETE"))),
             "A file whose suffix differs in letter case from \".delete\" was deleted.");
    QVERIFY2(QFile::exists(localPath(QStringLiteral(".hidden/old.delete"))),
             "The walk went into a hidden folder.");
    QCOMPARE(readFile(localPath(QStringLiteral("unlisted.txt"))), QByteArray("mine"));
    QCOMPARE(readFile(localPath(QStringLiteral("dnt.txt"))), QByteArray("user copy"));
    QCOMPARE(finished.count(), 0);

    const auto lists = requestsTo("/api/tarn/checkClient.php");
    QCOMPARE(lists.size(), size_t(1));
    QCOMPARE(lists.front().method, std::string("POST"));
    QVERIFY2(lists.front().body.empty(), "The list request carried form fields.");
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
    const QByteArray wrongHash = sha1Hex("other bytes").toLatin1();
    setList(clientList,
            "[{\"path\": \"present.txt\", \"hash\": \"" + wrongHash + "\", " + modeMember
                + "}, {\"path\": \"absent.txt\", \"hash\": \"" + wrongHash + "\", " + modeMember
                + "}]");
    QVERIFY(writeFile(contentPath(QStringLiteral("client/present.txt")), "service copy"));
    QVERIFY(writeFile(contentPath(QStringLiteral("client/absent.txt")), "service copy"));
    QVERIFY(writeFile(localPath(QStringLiteral("present.txt")), "user copy"));

    FilesChecker checker(nullptr, false);
    QVERIFY2(compareClient(checker), "The client comparison did not finish.");
    QCOMPARE(checker.PendingFiles(),
             contentCompared
                 ? (QStringList{QStringLiteral("absent.txt"), QStringLiteral("present.txt")})
                 : QStringList{QStringLiteral("absent.txt")});

    QSignalSpy finished(&checker, &FilesChecker::UpdateFinished);
    checker.DownloadClientFiles();
    QVERIFY2(waitForSignals(finished), "The downloads did not finish.");
    // Only a file compared by content must match its listed hash; any other
    // is written as it comes, or it would be refused at every start.
    QCOMPARE(checker.FailedWriteCount(), quint64(contentCompared ? 2 : 0));
    QCOMPARE(readFile(localPath(QStringLiteral("absent.txt"))),
             contentCompared ? QByteArray() : QByteArray("service copy"));
    QCOMPARE(readFile(localPath(QStringLiteral("present.txt"))), QByteArray("user copy"));
}

void TestFilesChecker::clientHashesInUpperCase()
{
    QVERIFY(writeFile(contentPath(QStringLiteral("client/same.txt")), "same"));
    QVERIFY(writeFile(contentPath(QStringLiteral("client/changed.txt")), "new"));
    QVERIFY(writeFile(localPath(QStringLiteral("same.txt")), "same"));
    QVERIFY(writeFile(localPath(QStringLiteral("changed.txt")), "old"));
    testService().setUpperCaseHashes(true);

    FilesChecker checker(nullptr, true);
    QSignalSpy finished(&checker, &FilesChecker::UpdateFinished);
    QVERIFY2(compareClient(checker), "The client comparison did not finish.");
    QCOMPARE(checker.PendingFiles(), QStringList{QStringLiteral("changed.txt")});

    QVERIFY2(waitForSignals(finished), "The download of the changed file did not finish.");
    QCOMPARE(checker.FailedWriteCount(), quint64(0));
    QCOMPARE(readFile(localPath(QStringLiteral("changed.txt"))), QByteArray("new"));

    FilesChecker again(nullptr, false);
    QVERIFY2(compareClient(again), "The second client comparison did not finish.");
    QVERIFY2(again.PendingFiles().isEmpty(),
             "A file whose content matches an upper-case listed hash is still scheduled.");
}

void TestFilesChecker::clientListFailures()
{
    QVERIFY(writeFile(localPath(QStringLiteral("Tarn.exe.delete")), "old program"));
    QVERIFY(writeFile(localPath(QStringLiteral("data.txt")), "data"));
    {
        QSignalSpy replies(RequestSender::sharedManager(), &QNetworkAccessManager::finished);
        answerNextListWithUnauthorized("checkClient.php");
        FilesChecker checker(nullptr, true);
        QSignalSpy compared(&checker, &FilesChecker::FilesCompared);
        checker.SetRootPath(m_local->path());
        checker.SetMode(QStringLiteral("client"));
        checker.RequestFilelist(clientList);
        QVERIFY2(waitForReplies(replies, 1), "The list reply did not come.");
        QCOMPARE(compared.count(), 0);
        QVERIFY2(QFile::exists(localPath(QStringLiteral("Tarn.exe.delete"))),
                 "An error reply still ran the comparison.");
    }

    setList(clientList, R"({"path": "data.txt"})");
    FilesChecker checker(nullptr, true);
    QSignalSpy finished(&checker, &FilesChecker::UpdateFinished);
    QVERIFY2(compareClient(checker), "A list that is not an array gave no comparison.");
    QVERIFY2(!QFile::exists(localPath(QStringLiteral("Tarn.exe.delete"))),
             "A list that is not an array did not still delete the files set aside.");
    QCOMPARE(checker.PendingCount(), quint64(0));
    QCOMPARE(finished.count(), 1);
    QCOMPARE(readFile(localPath(QStringLiteral("data.txt"))), QByteArray("data"));
}

void TestFilesChecker::clientPathsLeavingTheFolderAreSkipped()
{
    QVERIFY(writeFile(contentPath(QStringLiteral("client/good.txt")), "good"));
    const QString goodHash = sha1Hex("good");
    const QStringList unsafe
        = {QStringLiteral("../escape.txt"),     QStringLiteral("sub/../../escape.txt"),
           QStringLiteral("/tmp/absolute.txt"), QStringLiteral("C:/Windows/win.ini"),
           QStringLiteral("C:win.ini"),         QStringLiteral("sub\\back.txt"),
           QStringLiteral("./dot.txt"),         QStringLiteral("sub//double.txt"),
           QStringLiteral("trailing/"),         QStringLiteral(""),
           QStringLiteral("bell\a.txt"),        QStringLiteral("..")};
    QJsonArray list{QJsonObject{{QStringLiteral("path"), QStringLiteral("good.txt")},
                                {QStringLiteral("hash"), goodHash},
                                {QStringLiteral("mode"), QStringLiteral("EXT")}}};
    for (const QString &path : unsafe)
        list.append(QJsonObject{{QStringLiteral("path"), path},
                                {QStringLiteral("hash"), goodHash},
                                {QStringLiteral("mode"), QStringLiteral("EXT")}});
    setList(clientList, QJsonDocument(list).toJson());

    FilesChecker checker(nullptr, true);
    QSignalSpy finished(&checker, &FilesChecker::UpdateFinished);
    QVERIFY2(compareClient(checker), "The client comparison did not finish.");
    QVERIFY2(waitForSignals(finished), "The download of the one safe file did not finish.");

    QCOMPARE(checker.PendingCount(), quint64(0));
    QCOMPARE(requestedFiles(clientDownload), QStringList{QStringLiteral("good.txt")});
    QCOMPARE(readFile(localPath(QStringLiteral("good.txt"))), QByteArray("good"));
    QVERIFY2(
        !QFile::exists(QFileInfo(m_local->path()).dir().filePath(QStringLiteral("escape.txt"))),
        "A file was written outside the program folder.");
    QCOMPARE(updateWarnings.size(), unsafe.size());
}

void TestFilesChecker::clientDownloadsWriteInPlace()
{
    QVERIFY(writeFile(contentPath(QStringLiteral("client/data.txt")), "new data"));
    QVERIFY(writeFile(contentPath(QStringLiteral("client/sub/new/file.dat")), "new file"));
    QVERIFY(writeFile(contentPath(QStringLiteral("client/Brenmar.prf")),
                      "Settings\tX\t1\r\nLastSession\tcallsign\tBRM_OBS\r\n"));
    QVERIFY(writeFile(localPath(QStringLiteral("data.txt")), "old data"));
    QVERIFY(writeFile(localPath(QStringLiteral("Brenmar.prf")),
                      "Settings\tX\t0\r\nLastSession\tcallsign\tBRM_W_APP\r\n"));

    FilesChecker checker(nullptr, true);
    QSignalSpy updated(&checker, &FilesChecker::OneFileUpdated);
    QSignalSpy finished(&checker, &FilesChecker::UpdateFinished);
    int updatedWhenFinished = -1;
    connect(&checker, &FilesChecker::UpdateFinished, this,
            [&] { updatedWhenFinished = updated.count(); });
    const QDateTime before = QDateTime::currentDateTime().addSecs(-2);
    QVERIFY2(compareClient(checker), "The client comparison did not finish.");
    QVERIFY2(waitForSignals(finished), "The downloads did not finish.");
    const QDateTime after = QDateTime::currentDateTime().addSecs(2);

    QCOMPARE(updated.count(), 3);
    QCOMPARE(finished.count(), 1);
    QCOMPARE(updatedWhenFinished, 3);
    QCOMPARE(checker.FailedWriteCount(), quint64(0));
    QCOMPARE(readFile(localPath(QStringLiteral("data.txt"))), QByteArray("new data"));
    QCOMPARE(readFile(localPath(QStringLiteral("sub/new/file.dat"))), QByteArray("new file"));
    // The probe for a file in use must not have emptied the user's copy.
    QCOMPARE(readFile(localPath(QStringLiteral("Brenmar.prf"))),
             QByteArray("Settings\tX\t1\nLastSession\tcallsign\tBRM_W_APP\r\n"));
    QVERIFY2(!QFile::exists(localPath(QStringLiteral("data.txt.delete"))),
             "A file that is not in use was set aside.");
    const QDateTime written = QFileInfo(localPath(QStringLiteral("data.txt"))).lastModified();
    QVERIFY2(written >= before && written <= after,
             "A program file written without a server time does not carry its time of writing.");

    const auto downloads = requestsTo(clientDownload);
    QCOMPARE(downloads.size(), size_t(3));
    for (const auto &request : downloads) {
        QCOMPARE(request.fields.size(), size_t(2));
        QCOMPARE(request.fields.at("mode"), std::string("client"));
    }
    QCOMPARE(requestedFiles(clientDownload),
             (QStringList{QStringLiteral("Brenmar.prf"), QStringLiteral("data.txt"),
                          QStringLiteral("sub/new/file.dat")}));
}

void TestFilesChecker::clientNothingPending()
{
    QVERIFY(writeFile(contentPath(QStringLiteral("client/same.txt")), "same"));
    QVERIFY(writeFile(localPath(QStringLiteral("same.txt")), "same"));
    FilesChecker checker(nullptr, true);
    QSignalSpy finished(&checker, &FilesChecker::UpdateFinished);
    int finishedWhenCompared = -1;
    connect(&checker, &FilesChecker::FilesCompared, this,
            [&] { finishedWhenCompared = finished.count(); });
    QVERIFY2(compareClient(checker), "The client comparison did not finish.");
    QCOMPARE(finishedWhenCompared, 0);
    QCOMPARE(finished.count(), 1);
    QVERIFY2(requestsTo(clientDownload).empty(), "A download was requested with nothing pending.");

    FilesChecker idle(nullptr, false);
    QSignalSpy idleFinished(&idle, &FilesChecker::UpdateFinished);
    idle.SetMode(QStringLiteral("client"));
    idle.DownloadClientFiles();
    QCOMPARE(idleFinished.count(), 1);
}

void TestFilesChecker::clientFileInUseIsSetAside()
{
    const QByteArray oldProgram = helperBytes();
    const QByteArray newProgram = oldProgram + "\nnew build\n";
    QVERIFY(writeFile(contentPath(QStringLiteral("client/program")), newProgram));
    const QString program = localPath(QStringLiteral("program"));
    QVERIFY(QFile::copy(QStringLiteral(TARN_UPDATE_HELPER), program));

    QProcess running;
    running.start(program, {QStringLiteral("hold")});
    QVERIFY2(running.waitForStarted(), "The copied program did not start.");
    {
        QFile probe(program);
        QVERIFY2(!probe.open(QIODevice::WriteOnly | QIODevice::Append),
                 "A running program could be opened for writing, so it is not in use.");
    }

    FilesChecker checker(nullptr, true);
    QSignalSpy finished(&checker, &FilesChecker::UpdateFinished);
    QVERIFY2(compareClient(checker), "The client comparison did not finish.");
    QVERIFY2(waitForSignals(finished), "The download did not finish.");

    QCOMPARE(checker.FailedWriteCount(), quint64(0));
    QVERIFY2(readFile(program + QStringLiteral(".delete")) == oldProgram,
             "The program in use was not set aside under its name plus \".delete\".");
    QVERIFY2(readFile(program) == newProgram, "The new program is not in place.");
    QVERIFY2(QFileInfo(program).isExecutable(), "The new program lost the executable permission.");

    FilesChecker next(nullptr, false);
    QVERIFY2(compareClient(next), "The next client comparison did not finish.");
    QVERIFY2(!QFile::exists(program + QStringLiteral(".delete")),
             "The next comparison did not delete the file set aside.");
    QVERIFY2(next.PendingFiles().isEmpty(), "The new program is still scheduled.");

    running.closeWriteChannel();
    QVERIFY(running.waitForFinished());
}

void TestFilesChecker::clientCorruptedDownloadIsRefused()
{
    QVERIFY(writeFile(contentPath(QStringLiteral("client/bad.dll")), "tampered bytes"));
    QVERIFY(writeFile(contentPath(QStringLiteral("client/good.txt")), "good"));
    QVERIFY(writeFile(localPath(QStringLiteral("bad.dll")), "working library"));
    testService().setWrongHash("bad.dll");

    FilesChecker checker(nullptr, true);
    QSignalSpy updated(&checker, &FilesChecker::OneFileUpdated);
    QSignalSpy finished(&checker, &FilesChecker::UpdateFinished);
    QVERIFY2(compareClient(checker), "The client comparison did not finish.");
    QVERIFY2(waitForSignals(finished), "The batch with a corrupted download did not end.");

    QCOMPARE(updated.count(), 2);
    QCOMPARE(checker.FailedWriteCount(), quint64(1));
    QVERIFY2(readFile(localPath(QStringLiteral("bad.dll"))) == "working library",
             "A download whose content does not match its listed hash was written.");
    QVERIFY2(!QFile::exists(localPath(QStringLiteral("bad.dll.delete"))),
             "A refused download still set the old file aside.");
    QCOMPARE(readFile(localPath(QStringLiteral("good.txt"))), QByteArray("good"));
}

void TestFilesChecker::clientDownloadWithoutContentDispositionStaysPending()
{
    for (const QString &name :
         {QStringLiteral("a.txt"), QStringLiteral("b.txt"), QStringLiteral("c.txt")})
        QVERIFY(writeFile(contentPath(QStringLiteral("client/") + name), name.toLatin1()));
    answerWithoutContentDisposition("downloadFile.php", "b.txt");

    QSignalSpy replies(RequestSender::sharedManager(), &QNetworkAccessManager::finished);
    FilesChecker checker(nullptr, true);
    QSignalSpy updated(&checker, &FilesChecker::OneFileUpdated);
    QSignalSpy finished(&checker, &FilesChecker::UpdateFinished);
    QVERIFY2(compareClient(checker), "The client comparison did not finish.");
    QVERIFY2(waitForReplies(replies, 4), "The list and the three downloads were not all answered.");

    QCOMPARE(updated.count(), 2);
    QCOMPARE(finished.count(), 0);
    QCOMPARE(checker.PendingFiles(), QStringList{QStringLiteral("b.txt")});
    QVERIFY2(!QFile::exists(localPath(QStringLiteral("b.txt"))),
             "A reply without Content-Disposition was written.");
}

void TestFilesChecker::clientWriteFailureIsCounted()
{
    QVERIFY(writeFile(contentPath(QStringLiteral("client/blocked/file.txt")), "cannot land"));
    QVERIFY(writeFile(localPath(QStringLiteral("blocked")), "a file where a folder should be"));

    FilesChecker checker(nullptr, true);
    QSignalSpy updated(&checker, &FilesChecker::OneFileUpdated);
    QSignalSpy finished(&checker, &FilesChecker::UpdateFinished);
    QVERIFY2(compareClient(checker), "The client comparison did not finish.");
    QVERIFY2(waitForSignals(finished), "A batch with a failed write did not end.");
    QCOMPARE(updated.count(), 1);
    QCOMPARE(checker.FailedWriteCount(), quint64(1));
    QCOMPARE(readFile(localPath(QStringLiteral("blocked"))),
             QByteArray("a file where a folder should be"));
}

// ---------------------------------------------------------------------------
// Sector lists, comparison and downloads

void TestFilesChecker::sectorWalk()
{
    const QByteArray time = '"' + listedTimeText.toLatin1() + '"';
    setList(sectorList,
            "[{\"B\": {\"z.txt\": " + time + ", \"a.txt\": " + time + ", \"Sub\": {\"c.txt\": "
                + time + "}}, \"A.txt\": " + time + "}, {\"a\": {\"b.txt\": " + time + "}}, {}]");
    FilesChecker checker(nullptr, false);
    QList<quint64> countsWhenCompared;
    connect(&checker, &FilesChecker::FilesCompared, this,
            [&] { countsWhenCompared.append(checker.PendingCount()); });
    QSignalSpy replies(RequestSender::sharedManager(), &QNetworkAccessManager::finished);
    QVERIFY2(compareSector(checker), "The sector comparison did not finish.");
    QVERIFY(waitForReplies(replies, 1));

    QCOMPARE(countsWhenCompared, (QList<quint64>{4, 5, 5}));
    QCOMPARE(checker.PendingFiles(),
             (QStringList{QStringLiteral("//A.txt"), QStringLiteral("//B/Sub/c.txt"),
                          QStringLiteral("//B/a.txt"), QStringLiteral("//B/z.txt"),
                          QStringLiteral("//a/b.txt")}));
    QVERIFY2(requestsTo(sectorDownload).empty(), "A sector comparison started downloads.");
}

void TestFilesChecker::sectorListsWithoutElements()
{
    for (const QByteArray &body :
         {QByteArray("[]"), QByteArray(R"({"A": {"b.txt": "01-02-2021 10:00:00"}})"),
          QByteArray("not json")}) {
        setList(sectorList, body);
        FilesChecker checker(nullptr, false);
        checker.SetRootPath(m_local->path());
        checker.SetMode(QStringLiteral("sector"));
        QSignalSpy compared(&checker, &FilesChecker::FilesCompared);
        QSignalSpy replies(RequestSender::sharedManager(), &QNetworkAccessManager::finished);
        checker.RequestFilelist(sectorList);
        QVERIFY2(waitForReplies(replies, 1), "The sector list reply did not come.");
        QVERIFY2(compared.isEmpty(), "A sector list without elements emitted FilesCompared().");
        QCOMPARE(checker.PendingCount(), quint64(0));
    }
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
    setList(sectorList, "[{\"A\": {\"b.txt\": \"" + listedTimeText.toLatin1() + "\"}}]");
    if (present) {
        QVERIFY(writeFile(localPath(QStringLiteral("A/b.txt")), "local"));
        QVERIFY(setModificationTime(localPath(QStringLiteral("A/b.txt")),
                                    listedTime.addMSecs(offsetMs)));
    }
    FilesChecker checker(nullptr, false);
    QVERIFY2(compareSector(checker), "The sector comparison did not finish.");
    QCOMPARE(checker.PendingFiles(),
             outdated ? QStringList{QStringLiteral("//A/b.txt")} : QStringList());
}

void TestFilesChecker::sectorTimeThatDoesNotParse()
{
    setList(
        sectorList,
        R"([{"present.txt": "2021-02-01 10:00:00", "absent.txt": "yesterday", "number.txt": 5}])");
    QVERIFY(writeFile(localPath(QStringLiteral("present.txt")), "local"));
    QVERIFY(setModificationTime(localPath(QStringLiteral("present.txt")), listedTime.addYears(-5)));
    QVERIFY(writeFile(contentPath(QStringLiteral("sector/absent.txt")), "served"));
    QVERIFY(writeFile(contentPath(QStringLiteral("sector/number.txt")), "served"));

    FilesChecker checker(nullptr, false);
    QVERIFY2(compareSector(checker), "The sector comparison did not finish.");
    QCOMPARE(checker.PendingFiles(),
             (QStringList{QStringLiteral("//absent.txt"), QStringLiteral("//number.txt")}));
    QCOMPARE(updateWarnings.size(), 1);
    QVERIFY2(updateWarnings.first().contains(QStringLiteral("present.txt")),
             "The warning about an unreadable time does not name the file.");

    QSignalSpy finished(&checker, &FilesChecker::UpdateFinished);
    const QDateTime before = QDateTime::currentDateTime().addSecs(-2);
    checker.DownloadSectorFiles();
    QVERIFY2(waitForSignals(finished), "The sector downloads did not finish.");
    const QDateTime after = QDateTime::currentDateTime().addSecs(2);
    const QDateTime written = QFileInfo(localPath(QStringLiteral("absent.txt"))).lastModified();
    QVERIFY2(written >= before && written <= after,
             "A file whose listed time does not parse does not carry its time of writing.");
}

void TestFilesChecker::sectorPathsLeavingTheFolderAreSkipped()
{
    const QByteArray time = '"' + listedTimeText.toLatin1() + '"';
    setList(sectorList,
            "[{\"..\": " + time + ", \".\": {\"x.txt\": " + time + "}, \"a\\\\b.txt\": " + time
                + ", \"c:x.txt\": " + time + ", \"\": " + time + ", \"bell\\u0007.txt\": " + time
                + ", \"up\": {\"../../../escape.txt\": " + time + ", \"ok.txt\": " + time
                + "}, \"..\\/..\\/escape.txt\": " + time + "}]");
    QVERIFY(writeFile(contentPath(QStringLiteral("sector/up/ok.txt")), "ok"));

    FilesChecker checker(nullptr, false);
    QVERIFY2(compareSector(checker), "The sector comparison did not finish.");
    QCOMPARE(checker.PendingFiles(), QStringList{QStringLiteral("//up/ok.txt")});
    QCOMPARE(updateWarnings.size(), 8);

    QVERIFY2(downloadSector(checker), "The sector download did not finish.");
    QCOMPARE(requestedFiles(sectorDownload), QStringList{QStringLiteral("//up/ok.txt")});
    QCOMPARE(readFile(localPath(QStringLiteral("up/ok.txt"))), QByteArray("ok"));
}

void TestFilesChecker::sectorLargeBatchArrivesWhole()
{
    // More files than are posted in one turn of the event loop.
    constexpr int count = 250;
    for (int i = 0; i < count; ++i)
        QVERIFY(writeFile(contentPath(QStringLiteral("sector/Batch/f%1.txt").arg(i)), QByteArray::number(i)));

    FilesChecker checker(nullptr, false);
    QVERIFY2(compareSector(checker), "The sector comparison did not finish.");
    QCOMPARE(checker.PendingCount(), quint64(count));

    QSignalSpy updated(&checker, &FilesChecker::OneFileUpdated);
    QVERIFY2(downloadSector(checker), "A batch larger than one slice did not finish.");
    QCOMPARE(updated.count(), count);
    QCOMPARE(int(requestedFiles(sectorDownload).size()), count);
    for (int i = 0; i < count; ++i)
        QCOMPARE(readFile(localPath(QStringLiteral("Batch/f%1.txt").arg(i))), QByteArray::number(i));
    QCOMPARE(checker.PendingCount(), quint64(0));
}

void TestFilesChecker::sectorLargeFileIsStreamedWhole()
{
    const QDateTime serviceTime(QDate(2022, 3, 4), QTime(5, 6, 7), Qt::LocalTime);
    const QByteArray content = patterned(12 * 1024 * 1024 + 3, 1);
    QVERIFY(writeFile(contentPath(QStringLiteral("sector/Big/large.bin")), content));
    QVERIFY(setModificationTime(contentPath(QStringLiteral("sector/Big/large.bin")), serviceTime));
    QVERIFY(writeFile(localPath(QStringLiteral("Big/large.bin")), "old"));
    const QFile::Permissions permissions = QFile::ReadOwner | QFile::WriteOwner | QFile::ReadGroup;
    QVERIFY(QFile::setPermissions(localPath(QStringLiteral("Big/large.bin")), permissions));
    QVERIFY(setModificationTime(localPath(QStringLiteral("Big/large.bin")), serviceTime.addDays(-1)));

    FilesChecker checker(nullptr, false);
    QVERIFY2(compareSector(checker), "The sector comparison did not finish.");
    QCOMPARE(checker.PendingCount(), quint64(1));
    QSignalSpy updated(&checker, &FilesChecker::OneFileUpdated);
    QVERIFY2(downloadSector(checker), "The large download did not finish.");

    QCOMPARE(updated.count(), 1);
    QCOMPARE(checker.FailedWriteCount(), quint64(0));
    QCOMPARE(checker.PendingCount(), quint64(0));
    QVERIFY2(readFile(localPath(QStringLiteral("Big/large.bin"))) == content,
             "The large file was not written whole and in order.");
    QCOMPARE(QFileInfo(localPath(QStringLiteral("Big/large.bin"))).lastModified(), serviceTime);
    const QFile::Permissions kept = QFile::permissions(localPath(QStringLiteral("Big/large.bin")))
        & ~(QFile::ReadUser | QFile::WriteUser | QFile::ExeUser);
    QVERIFY2(kept == permissions, "The replaced file did not keep the permissions of the old one.");
    QCOMPARE(QDir(localPath(QStringLiteral("Big"))).entryList(QDir::Files | QDir::Hidden),
             QStringList{QStringLiteral("large.bin")});
}

void TestFilesChecker::sectorDropMidBodyLeavesTheOldFile()
{
    const QByteArray oldContent = patterned(256 * 1024, 2);
    QVERIFY(writeFile(contentPath(QStringLiteral("sector/Data/big.bin")), patterned(4 * 1024 * 1024, 3)));
    QVERIFY(writeFile(contentPath(QStringLiteral("sector/Data/ok.txt")), "ok"));
    QVERIFY(writeFile(localPath(QStringLiteral("Data/big.bin")), oldContent));
    QVERIFY(setModificationTime(localPath(QStringLiteral("Data/big.bin")), listedTime.addYears(-40)));
    devservice::Fault drop;
    drop.endpoint = "downloadSectorFile.php";
    drop.file = "//Data/big.bin";
    drop.dropMidBody = true;
    testService().addFault(drop);

    FilesChecker checker(nullptr, false);
    QVERIFY2(compareSector(checker), "The sector comparison did not finish.");
    QCOMPARE(checker.PendingCount(), quint64(2));
    QSignalSpy replies(RequestSender::sharedManager(), &QNetworkAccessManager::finished);
    QSignalSpy updated(&checker, &FilesChecker::OneFileUpdated);
    QSignalSpy finished(&checker, &FilesChecker::UpdateFinished);
    checker.DownloadSectorFiles();
    QVERIFY2(waitForReplies(replies, 2), "The two downloads were not both answered.");

    QCOMPARE(updated.count(), 1);
    QCOMPARE(finished.count(), 0);
    QCOMPARE(checker.FailedWriteCount(), quint64(0));
    QCOMPARE(checker.PendingFiles(), QStringList{QStringLiteral("//Data/big.bin")});
    QVERIFY2(readFile(localPath(QStringLiteral("Data/big.bin"))) == oldContent,
             "A download dropped in the middle of its body changed the old file.");
    QCOMPARE(readFile(localPath(QStringLiteral("Data/ok.txt"))), QByteArray("ok"));
    QCOMPARE(QDir(localPath(QStringLiteral("Data"))).entryList(QDir::Files | QDir::Hidden),
             (QStringList{QStringLiteral("big.bin"), QStringLiteral("ok.txt")}));
}

void TestFilesChecker::sectorLargeFilesBeyondTheCapAllArrive()
{
    // Large files first, so the batch learns their size, then small ones.
    constexpr int largeCount = 5;
    constexpr int largeSize = 7 * 1024 * 1024;
    constexpr int smallCount = 60;
    QStringList order;
    for (int i = 0; i < largeCount; ++i) {
        QVERIFY(writeFile(contentPath(QStringLiteral("sector/Mixed/large%1.bin").arg(i)),
                          patterned(largeSize, quint32(10 + i))));
        order.append(QStringLiteral("large%1.bin").arg(i));
    }
    for (int i = 0; i < smallCount; ++i) {
        QVERIFY(writeFile(contentPath(QStringLiteral("sector/Mixed/small%1.txt").arg(i)),
                          QByteArray::number(i)));
        order.append(QStringLiteral("small%1.txt").arg(i));
    }
    QJsonObject folder;
    for (const QString &name : qAsConst(order))
        folder.insert(name, listedTimeText);
    // A JSON object lists its members sorted, so "large" comes before "small".
    setList(sectorList, QJsonDocument(QJsonArray{QJsonObject{{QStringLiteral("Mixed"), folder}}})
                            .toJson(QJsonDocument::Compact));

    FilesChecker checker(nullptr, false);
    QVERIFY2(compareSector(checker), "The sector comparison did not finish.");
    QCOMPARE(checker.PendingCount(), quint64(largeCount + smallCount));
    QVERIFY(checker.PendingFiles().first().endsWith(QLatin1String("large0.bin")));

    QSignalSpy updated(&checker, &FilesChecker::OneFileUpdated);
    int mostLargeRunning = 0;
    connect(&checker, &FilesChecker::OneFileUpdated, this, [&] {
        // Until then at least two large files are left, so every download
        // still running is a large one.
        if (updated.count() <= largeCount - 2)
            mostLargeRunning = std::max(mostLargeRunning, unfinishedSectorDownloads());
    });
    QVERIFY2(downloadSector(checker), "A batch with more files than are let in at once did not finish.");

    QCOMPARE(updated.count(), largeCount + smallCount);
    QCOMPARE(checker.FailedWriteCount(), quint64(0));
    QCOMPARE(int(requestedFiles(sectorDownload).size()), largeCount + smallCount);
    QVERIFY2(mostLargeRunning <= 2,
             qPrintable(QStringLiteral("%1 downloads ran beside large ones, at most 2 may.")
                            .arg(mostLargeRunning)));
    for (int i = 0; i < largeCount; ++i)
        QVERIFY2(readFile(localPath(QStringLiteral("Mixed/large%1.bin").arg(i)))
                     == patterned(largeSize, quint32(10 + i)),
                 qPrintable(QStringLiteral("large%1.bin was not written whole.").arg(i)));
    for (int i = 0; i < smallCount; ++i)
        QCOMPARE(readFile(localPath(QStringLiteral("Mixed/small%1.txt").arg(i))),
                 QByteArray::number(i));
    QCOMPARE(QDir(localPath(QStringLiteral("Mixed"))).entryList(QDir::Files | QDir::Hidden).size(),
             largeCount + smallCount);
}

void TestFilesChecker::sectorDownloadsWithServiceTimes()
{
    const QDateTime aTime(QDate(2020, 12, 31), QTime(23, 59, 59), Qt::LocalTime);
    const QDateTime bTime(QDate(2021, 6, 15), QTime(8, 30, 0), Qt::LocalTime);
    const QDateTime topTime(QDate(2019, 1, 2), QTime(3, 4, 5), Qt::LocalTime);
    QVERIFY(writeFile(contentPath(QStringLiteral("sector/Data/a.txt")), "a, new"));
    QVERIFY(writeFile(contentPath(QStringLiteral("sector/Data/Sub/b.txt")), "b"));
    QVERIFY(writeFile(contentPath(QStringLiteral("sector/top.txt")), "top"));
    QVERIFY(setModificationTime(contentPath(QStringLiteral("sector/Data/a.txt")), aTime));
    QVERIFY(setModificationTime(contentPath(QStringLiteral("sector/Data/Sub/b.txt")), bTime));
    QVERIFY(setModificationTime(contentPath(QStringLiteral("sector/top.txt")), topTime));
    QVERIFY(writeFile(localPath(QStringLiteral("Data/a.txt")), "a, old"));
    QVERIFY(setModificationTime(localPath(QStringLiteral("Data/a.txt")), aTime.addDays(-1)));
    QVERIFY(writeFile(localPath(QStringLiteral("keep.txt")), "the user's own"));

    FilesChecker checker(nullptr, false);
    QVERIFY2(compareSector(checker), "The sector comparison did not finish.");
    QCOMPARE(checker.PendingCount(), quint64(3));

    QSignalSpy updated(&checker, &FilesChecker::OneFileUpdated);
    QSignalSpy finished(&checker, &FilesChecker::UpdateFinished);
    QList<quint64> pendingWhenUpdated;
    connect(&checker, &FilesChecker::OneFileUpdated, this,
            [&] { pendingWhenUpdated.append(checker.PendingCount()); });
    checker.DownloadSectorFiles();
    QVERIFY2(waitForSignals(finished), "The sector downloads did not finish.");

    QCOMPARE(updated.count(), 3);
    QCOMPARE(finished.count(), 1);
    QCOMPARE(pendingWhenUpdated, (QList<quint64>{3, 2, 1}));
    QCOMPARE(checker.FailedWriteCount(), quint64(0));
    QCOMPARE(readFile(localPath(QStringLiteral("Data/a.txt"))), QByteArray("a, new"));
    QCOMPARE(readFile(localPath(QStringLiteral("Data/Sub/b.txt"))), QByteArray("b"));
    QCOMPARE(readFile(localPath(QStringLiteral("top.txt"))), QByteArray("top"));
    QCOMPARE(QFileInfo(localPath(QStringLiteral("Data/a.txt"))).lastModified(), aTime);
    QCOMPARE(QFileInfo(localPath(QStringLiteral("Data/Sub/b.txt"))).lastModified(), bTime);
    QCOMPARE(QFileInfo(localPath(QStringLiteral("top.txt"))).lastModified(), topTime);
    QCOMPARE(readFile(localPath(QStringLiteral("keep.txt"))), QByteArray("the user's own"));

    const auto downloads = requestsTo(sectorDownload);
    QCOMPARE(downloads.size(), size_t(3));
    for (const auto &request : downloads)
        QCOMPARE(request.fields.size(), size_t(1));
    QCOMPARE(requestedFiles(sectorDownload),
             (QStringList{QStringLiteral("//Data/Sub/b.txt"), QStringLiteral("//Data/a.txt"),
                          QStringLiteral("//top.txt")}));

    FilesChecker next(nullptr, false);
    QVERIFY2(compareSector(next), "The next sector comparison did not finish.");
    QVERIFY2(next.PendingFiles().isEmpty(),
             "Files just downloaded are outdated at the next check.");
}

void TestFilesChecker::sectorDuplicatePathIsDownloadedTwice()
{
    setList(sectorList,
            "[{\"Data\": {\"x.txt\": \"" + listedTimeText.toLatin1()
                + "\"}}, {\"Data\": {\"x.txt\": \"" + listedTimeText.toLatin1() + "\"}}]");
    QVERIFY(writeFile(contentPath(QStringLiteral("sector/Data/x.txt")), "x"));
    FilesChecker checker(nullptr, false);
    QVERIFY2(compareSector(checker), "The sector comparison did not finish.");
    QCOMPARE(checker.PendingFiles(),
             (QStringList{QStringLiteral("//Data/x.txt"), QStringLiteral("//Data/x.txt")}));

    QSignalSpy updated(&checker, &FilesChecker::OneFileUpdated);
    QSignalSpy finished(&checker, &FilesChecker::UpdateFinished);
    int updatedWhenFinished = -1;
    connect(&checker, &FilesChecker::UpdateFinished, this,
            [&] { updatedWhenFinished = updated.count(); });
    checker.DownloadSectorFiles();
    QVERIFY2(waitForSignals(finished), "The sector downloads did not finish.");
    QCOMPARE(requestsTo(sectorDownload).size(), size_t(2));
    QCOMPARE(updatedWhenFinished, 2);
    QCOMPARE(finished.count(), 1);
}

void TestFilesChecker::sectorDownloadWithoutContentDispositionStaysPending()
{
    for (const QString &name :
         {QStringLiteral("a.txt"), QStringLiteral("b.txt"), QStringLiteral("c.txt")})
        QVERIFY(writeFile(contentPath(QStringLiteral("sector/S/") + name), name.toLatin1()));
    answerWithoutContentDisposition("downloadSectorFile.php", "//S/b.txt");

    FilesChecker checker(nullptr, false);
    QVERIFY2(compareSector(checker), "The sector comparison did not finish.");
    QSignalSpy replies(RequestSender::sharedManager(), &QNetworkAccessManager::finished);
    QSignalSpy updated(&checker, &FilesChecker::OneFileUpdated);
    QSignalSpy finished(&checker, &FilesChecker::UpdateFinished);
    checker.DownloadSectorFiles();
    QVERIFY2(waitForReplies(replies, 3), "The three downloads were not all answered.");

    QCOMPARE(updated.count(), 2);
    QCOMPARE(finished.count(), 0);
    QCOMPARE(checker.PendingFiles(), QStringList{QStringLiteral("//S/b.txt")});
    QVERIFY2(!QFile::exists(localPath(QStringLiteral("S/b.txt"))),
             "A reply without Content-Disposition was written.");
}

void TestFilesChecker::sectorNothingPending()
{
    FilesChecker checker(nullptr, false);
    checker.SetMode(QStringLiteral("sector"));
    checker.SetRootPath(m_local->path());
    QSignalSpy finished(&checker, &FilesChecker::UpdateFinished);
    checker.DownloadSectorFiles();
    QCOMPARE(finished.count(), 1);
    QVERIFY2(requestsTo(sectorDownload).empty(), "A download was requested with nothing pending.");
}

void TestFilesChecker::sectorErrorReplyEmptiesTheLists()
{
    QVERIFY(writeFile(contentPath(QStringLiteral("sector/a.txt")), "a"));
    FilesChecker checker(nullptr, false);
    QVERIFY2(compareSector(checker), "The sector comparison did not finish.");
    QCOMPARE(checker.PendingCount(), quint64(1));

    answerNextListWithUnauthorized("getfilelist.php");
    QSignalSpy replies(RequestSender::sharedManager(), &QNetworkAccessManager::finished);
    QSignalSpy compared(&checker, &FilesChecker::FilesCompared);
    checker.RequestFilelist(sectorList);
    QVERIFY2(waitForReplies(replies, 1), "The sector list reply did not come.");
    QCOMPARE(compared.count(), 0);
    QCOMPARE(checker.PendingCount(), quint64(0));
}

void TestFilesChecker::sectorProfilesAreMerged()
{
    const QString data = QStringLiteral(TARN_TEST_DATA_DIR "/profiles/");
    QVERIFY(writeFile(contentPath(QStringLiteral("sector/Brenmar.prf")),
                      readFile(data + QStringLiteral("service/Brenmar.prf"))));
    QVERIFY(writeFile(contentPath(QStringLiteral("sector/Brenmar/ASR/APP.ASR")),
                      readFile(data + QStringLiteral("service/Brenmar_APP.asr"))));
    QVERIFY(writeFile(contentPath(QStringLiteral("sector/Brenmar/notes.txt")),
                      "LastSession\tcallsign\tkept\r\n"));
    QVERIFY(writeFile(localPath(QStringLiteral("Brenmar.prf")),
                      readFile(data + QStringLiteral("user/Brenmar.prf"))));
    QVERIFY(writeFile(localPath(QStringLiteral("Brenmar/ASR/APP.ASR")),
                      readFile(data + QStringLiteral("user/Brenmar_APP.asr"))));
    QVERIFY(setModificationTime(contentPath(QStringLiteral("sector/Brenmar.prf")), listedTime));
    for (const QString &file :
         {QStringLiteral("Brenmar.prf"), QStringLiteral("Brenmar/ASR/APP.ASR")})
        QVERIFY(setModificationTime(localPath(file), listedTime.addYears(-3)));

    FilesChecker checker(nullptr, false);
    QVERIFY2(compareSector(checker), "The sector comparison did not finish.");
    QCOMPARE(checker.PendingCount(), quint64(3));
    QVERIFY2(downloadSector(checker), "The sector downloads did not finish.");

    QVERIFY2(readFile(localPath(QStringLiteral("Brenmar.prf")))
                 == readFile(data + QStringLiteral("merged/Brenmar.prf")),
             "The downloaded profile does not carry the user's lines.");
    QVERIFY2(readFile(localPath(QStringLiteral("Brenmar/ASR/APP.ASR")))
                 == readFile(data + QStringLiteral("merged/Brenmar_APP.asr")),
             "The downloaded ASR file does not carry the user's lines.");
    QVERIFY2(readFile(localPath(QStringLiteral("Brenmar/notes.txt")))
                 == "LastSession\tcallsign\tkept\r\n",
             "A file that is neither profile nor ASR file was merged.");
    QCOMPARE(QFileInfo(localPath(QStringLiteral("Brenmar.prf"))).lastModified(), listedTime);
}

void TestFilesChecker::sectorReplacementKeepsPermissions()
{
    QVERIFY(writeFile(contentPath(QStringLiteral("sector/Tools/run.sh")), "#!/bin/sh\necho new\n"));
    QVERIFY(writeFile(localPath(QStringLiteral("Tools/run.sh")), "#!/bin/sh\necho old\n"));
    const QFile::Permissions permissions = QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner
        | QFile::ReadGroup | QFile::ExeGroup;
    QVERIFY(QFile::setPermissions(localPath(QStringLiteral("Tools/run.sh")), permissions));
    QVERIFY(
        setModificationTime(localPath(QStringLiteral("Tools/run.sh")), listedTime.addYears(-40)));

    FilesChecker checker(nullptr, false);
    QVERIFY2(compareSector(checker), "The sector comparison did not finish.");
    QVERIFY2(downloadSector(checker), "The sector download did not finish.");
    QCOMPARE(readFile(localPath(QStringLiteral("Tools/run.sh"))),
             QByteArray("#!/bin/sh\necho new\n"));
    const QFile::Permissions kept = QFile::permissions(localPath(QStringLiteral("Tools/run.sh")))
        & ~(QFile::ReadUser | QFile::WriteUser | QFile::ExeUser);
    QVERIFY2(kept == permissions, "The replaced file did not keep the permissions of the old one.");
}

void TestFilesChecker::sectorStalePartFilesAreRemoved()
{
    QVERIFY(writeFile(contentPath(QStringLiteral("sector/Data/a.txt")), "a"));
    QVERIFY(writeFile(localPath(QStringLiteral("Data/a.txt.tarn-part")), "half of a"));
    QVERIFY(writeFile(localPath(QStringLiteral("Data/gone.txt.tarn-part")),
                      "half of a file no longer listed"));
    QVERIFY(
        writeFile(localPath(QStringLiteral("Data/.hidden.tarn-part")), "half of a hidden file"));

    FilesChecker checker(nullptr, false);
    QVERIFY2(compareSector(checker), "The sector comparison did not finish.");
    QVERIFY2(downloadSector(checker), "The sector download did not finish.");
    QCOMPARE(readFile(localPath(QStringLiteral("Data/a.txt"))), QByteArray("a"));
    QCOMPARE(QDir(localPath(QStringLiteral("Data"))).entryList(QDir::Files | QDir::Hidden),
             QStringList{QStringLiteral("a.txt")});
}

void TestFilesChecker::sectorWriteFailuresAreCounted()
{
    QVERIFY(writeFile(contentPath(QStringLiteral("sector/Blocked/x.txt")), "x"));
    QVERIFY(writeFile(contentPath(QStringLiteral("sector/Folder.txt")), "a file"));
    QVERIFY(writeFile(contentPath(QStringLiteral("sector/fine.txt")), "fine"));
    // Listed as newer than anything local, so all three are outdated.
    const QDateTime future = QDateTime::currentDateTime().addYears(1);
    const QDateTime serviceTime(future.date(), QTime(future.time().hour(), 0), Qt::LocalTime);
    for (const QString &file : {QStringLiteral("Blocked/x.txt"), QStringLiteral("Folder.txt"),
                                QStringLiteral("fine.txt")})
        QVERIFY(setModificationTime(contentPath(QStringLiteral("sector/") + file), serviceTime));
    QVERIFY(writeFile(localPath(QStringLiteral("Blocked")), "a file where a folder should be"));
    QVERIFY(writeFile(localPath(QStringLiteral("Folder.txt/inside.txt")),
                      "a folder where a file should be"));

    FilesChecker checker(nullptr, false);
    QVERIFY2(compareSector(checker), "The sector comparison did not finish.");
    QCOMPARE(checker.PendingCount(), quint64(3));
    QSignalSpy updated(&checker, &FilesChecker::OneFileUpdated);
    QVERIFY2(downloadSector(checker), "A sector batch with failed writes did not end.");

    QCOMPARE(updated.count(), 3);
    QCOMPARE(checker.FailedWriteCount(), quint64(2));
    QCOMPARE(readFile(localPath(QStringLiteral("fine.txt"))), QByteArray("fine"));
    QCOMPARE(readFile(localPath(QStringLiteral("Folder.txt/inside.txt"))),
             QByteArray("a folder where a file should be"));
    QVERIFY2(!QFile::exists(localPath(QStringLiteral("Folder.txt.tarn-part"))),
             "A failed write left its partial file behind.");

    // The count belongs to one download.
    checker.DownloadSectorFiles();
    QCOMPARE(checker.FailedWriteCount(), quint64(0));
}

void TestFilesChecker::sectorWriteIntoReadOnlyFolderFails()
{
    // Run in a process of its own that drops root rights, so that the folder's
    // permissions apply whoever runs the tests.
    QVERIFY(writeFile(contentPath(QStringLiteral("sector/Locked/a.txt")), "new a"));
    QVERIFY(writeFile(contentPath(QStringLiteral("sector/Open/b.txt")), "new b"));
    QVERIFY(writeFile(localPath(QStringLiteral("Locked/a.txt")), "old a"));
    QVERIFY(QDir(m_local->path()).mkdir(QStringLiteral("Open")));
    QVERIFY(
        setModificationTime(localPath(QStringLiteral("Locked/a.txt")), listedTime.addYears(-40)));
    const QFile::Permissions readable = QFile::ReadOwner | QFile::ExeOwner | QFile::ReadGroup
        | QFile::ExeGroup | QFile::ReadOther | QFile::ExeOther;
    QVERIFY(QFile::setPermissions(m_local->path(), readable | QFile::WriteOwner));
    QVERIFY(QFile::setPermissions(localPath(QStringLiteral("Locked")), readable));
    QVERIFY(QFile::setPermissions(localPath(QStringLiteral("Locked/a.txt")),
                                  QFile::ReadOwner | QFile::WriteOwner | QFile::ReadGroup
                                      | QFile::ReadOther));
    QVERIFY(QFile::setPermissions(localPath(QStringLiteral("Open")),
                                  readable | QFile::WriteOwner | QFile::WriteGroup
                                      | QFile::WriteOther));

    QProcess helper;
    QVERIFY2(runSectorHelper(helper, {QStringLiteral("unprivileged")}),
             "The helper did not finish.");
    QVERIFY2(helper.exitStatus() == QProcess::NormalExit && helper.exitCode() == 0,
             helper.readAllStandardError().constData());
    QCOMPARE(helper.readAllStandardOutput().trimmed(), QByteArray("failed=1"));
    QCOMPARE(readFile(localPath(QStringLiteral("Locked/a.txt"))), QByteArray("old a"));
    QCOMPARE(readFile(localPath(QStringLiteral("Open/b.txt"))), QByteArray("new b"));
}

void TestFilesChecker::interruptedWriteLeavesTheOldFile()
{
    constexpr int limit = 64 * 1024;
    const QByteArray oldContent(100 * 1024, 'o');
    QByteArray newContent;
    for (int i = 0; newContent.size() < 1024 * 1024; ++i)
        newContent += "line " + QByteArray::number(i) + " of the new sector file\r\n";
    QVERIFY(writeFile(contentPath(QStringLiteral("sector/Data/big.sct")), newContent));
    QVERIFY(writeFile(localPath(QStringLiteral("Data/big.sct")), oldContent));
    QVERIFY(
        setModificationTime(localPath(QStringLiteral("Data/big.sct")), listedTime.addYears(-40)));

    // The helper's file size limit kills it in the middle of writing the file.
    QProcess helper;
    QVERIFY2(runSectorHelper(helper, {QStringLiteral("file-size-limit"), QString::number(limit)}),
             "The helper did not finish.");
    QVERIFY2(helper.exitStatus() == QProcess::CrashExit,
             "The helper was not killed by its file size limit, so nothing was interrupted.");
    QVERIFY2(readFile(localPath(QStringLiteral("Data/big.sct"))) == oldContent,
             "An interrupted write left the file changed or truncated.");
    const QString part = localPath(QStringLiteral("Data/big.sct.tarn-part"));
    QVERIFY2(QFile::exists(part) && QFileInfo(part).size() <= limit,
             "The interrupted write left no recognisable partial file.");

    FilesChecker checker(nullptr, false);
    QVERIFY2(compareSector(checker), "The sector comparison did not finish.");
    QVERIFY2(downloadSector(checker), "The sector download did not finish.");
    QVERIFY2(readFile(localPath(QStringLiteral("Data/big.sct"))) == newContent,
             "The next update did not write the file.");
    QVERIFY2(!QFile::exists(part), "The partial file of the interrupted write is still there.");
}

QTEST_GUILESS_MAIN(TestFilesChecker)
#include "tst_fileschecker.moc"
