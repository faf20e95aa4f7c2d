// Program folder: the "client" list, its comparison with the folder, and the
// downloads with their hash check, set-aside and restart request.

#include "FilesCheckerFixture.h"

#include "net/RequestSender.h"

#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkAccessManager>

class TestProgramFolderUpdate : public FilesCheckerFixture
{
    Q_OBJECT

private Q_SLOTS:
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
};

void TestProgramFolderUpdate::clientComparison()
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

void TestProgramFolderUpdate::clientListedModes_data()
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

void TestProgramFolderUpdate::clientListedModes()
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

void TestProgramFolderUpdate::clientHashesInUpperCase()
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

void TestProgramFolderUpdate::clientListFailures()
{
    QVERIFY(writeFile(localPath(QStringLiteral("Tarn.exe.delete")), "old program"));
    QVERIFY(writeFile(localPath(QStringLiteral("data.txt")), "data"));
    {
        QSignalSpy replies(RequestSender::sharedManager(), &QNetworkAccessManager::finished);
        answerNextListWithUnauthorized("checkClient.php");
        FilesChecker checker(nullptr, true);
        QSignalSpy compared(&checker, &FilesChecker::FilesCompared);
        checker.SetRootPath(localRoot());
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

void TestProgramFolderUpdate::clientPathsLeavingTheFolderAreSkipped()
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
    QVERIFY2(!QFile::exists(QFileInfo(localRoot()).dir().filePath(QStringLiteral("escape.txt"))),
             "A file was written outside the program folder.");
    QCOMPARE(updateWarnings().size(), unsafe.size());
}

void TestProgramFolderUpdate::clientDownloadsWriteInPlace()
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
    QSignalSpy restart(&checker, &FilesChecker::RestartNeeded);
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
    QCOMPARE(restart.count(), 0);
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

void TestProgramFolderUpdate::clientNothingPending()
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

void TestProgramFolderUpdate::clientFileInUseIsSetAside()
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
    QSignalSpy restart(&checker, &FilesChecker::RestartNeeded);
    bool setAsideBeforeRestartRequest = false;
    connect(&checker, &FilesChecker::RestartNeeded, this, [&] {
        setAsideBeforeRestartRequest = QFile::exists(program + QStringLiteral(".delete"));
    });
    QVERIFY2(compareClient(checker), "The client comparison did not finish.");
    QVERIFY2(waitForSignals(finished), "The download did not finish.");

    QCOMPARE(restart.count(), 1);
    QVERIFY2(!setAsideBeforeRestartRequest,
             "The program was set aside before the restart was asked for.");
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

void TestProgramFolderUpdate::clientCorruptedDownloadIsRefused()
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

void TestProgramFolderUpdate::clientDownloadWithoutContentDispositionStaysPending()
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

void TestProgramFolderUpdate::clientWriteFailureIsCounted()
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

QTEST_GUILESS_MAIN(TestProgramFolderUpdate)
#include "tst_programfolderupdate.moc"
