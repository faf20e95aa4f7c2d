// The sector list: the walk of its trees and the time comparison with the
// sector folder.

#include "FilesCheckerFixture.h"

#include "net/RequestSender.h"

#include <QFileInfo>
#include <QNetworkAccessManager>

class TestSectorTreeWalk : public FilesCheckerFixture
{
    Q_OBJECT

private Q_SLOTS:
    void sectorWalk();
    void sectorListsWithoutElements();
    void sectorOutdatedTest_data();
    void sectorOutdatedTest();
    void sectorTimeThatDoesNotParse();
    void sectorPathsLeavingTheFolderAreSkipped();
    void sectorErrorReplyEmptiesTheLists();
};

void TestSectorTreeWalk::sectorWalk()
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

void TestSectorTreeWalk::sectorListsWithoutElements()
{
    for (const QByteArray &body :
         {QByteArray("[]"), QByteArray(R"({"A": {"b.txt": "01-02-2021 10:00:00"}})"),
          QByteArray("not json")}) {
        setList(sectorList, body);
        FilesChecker checker(nullptr, false);
        checker.SetRootPath(localRoot());
        checker.SetMode(QStringLiteral("sector"));
        QSignalSpy compared(&checker, &FilesChecker::FilesCompared);
        QSignalSpy replies(RequestSender::sharedManager(), &QNetworkAccessManager::finished);
        checker.RequestFilelist(sectorList);
        QVERIFY2(waitForReplies(replies, 1), "The sector list reply did not come.");
        QVERIFY2(compared.isEmpty(), "A sector list without elements emitted FilesCompared().");
        QCOMPARE(checker.PendingCount(), quint64(0));
    }
}

void TestSectorTreeWalk::sectorOutdatedTest_data()
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

void TestSectorTreeWalk::sectorOutdatedTest()
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

void TestSectorTreeWalk::sectorTimeThatDoesNotParse()
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
    QCOMPARE(updateWarnings().size(), 1);
    QVERIFY2(updateWarnings().first().contains(QStringLiteral("present.txt")),
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

void TestSectorTreeWalk::sectorPathsLeavingTheFolderAreSkipped()
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
    QCOMPARE(updateWarnings().size(), 8);

    QVERIFY2(downloadSector(checker), "The sector download did not finish.");
    QCOMPARE(requestedFiles(sectorDownload), QStringList{QStringLiteral("//up/ok.txt")});
    QCOMPARE(readFile(localPath(QStringLiteral("up/ok.txt"))), QByteArray("ok"));
}

void TestSectorTreeWalk::sectorErrorReplyEmptiesTheLists()
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

QTEST_GUILESS_MAIN(TestSectorTreeWalk)
#include "tst_sectortreewalk.moc"
