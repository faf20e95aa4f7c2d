// FilesChecker as the handlers see it: the mode text picks the part that does
// the work, and WriteFile() reports every write. The parts have tests of their
// own: tst_programfolderupdate, tst_sectortreewalk, tst_sectorfolderupdate and
// tst_sectordownloadqueue.

#include "FilesCheckerFixture.h"

#include "net/RequestSender.h"

#include <QFile>
#include <QNetworkAccessManager>

class TestFilesChecker : public FilesCheckerFixture
{
    Q_OBJECT

private Q_SLOTS:
    void modeText_data();
    void modeText();
    void writeFileReportsEveryWrite_data();
    void writeFileReportsEveryWrite();
};

void TestFilesChecker::modeText_data()
{
    QTest::addColumn<QString>("mode");
    QTest::addColumn<QString>("endpoint");
    QTest::addColumn<bool>("compared");
    QTest::newRow("client") << QStringLiteral("client") << clientList << true;
    QTest::newRow("sector") << QStringLiteral("sector") << sectorList << true;
    QTest::newRow("empty") << QString() << clientList << false;
    QTest::newRow("upper-case client") << QStringLiteral("Client") << clientList << false;
    QTest::newRow("sectors") << QStringLiteral("sectors") << sectorList << false;
}

void TestFilesChecker::modeText()
{
    QFETCH(QString, mode);
    QFETCH(QString, endpoint);
    QFETCH(bool, compared);
    QVERIFY(writeFile(contentPath(QStringLiteral("client/a.txt")), "a"));
    QVERIFY(writeFile(contentPath(QStringLiteral("sector/a.txt")), "a"));
    QVERIFY(writeFile(localPath(QStringLiteral("Tarn.exe.delete")), "old program"));

    FilesChecker checker(nullptr, false);
    checker.SetRootPath(localRoot());
    checker.SetMode(mode);
    QSignalSpy comparisons(&checker, &FilesChecker::FilesCompared);
    QSignalSpy replies(RequestSender::sharedManager(), &QNetworkAccessManager::finished);
    checker.RequestFilelist(endpoint);
    QVERIFY2(waitForReplies(replies, 1), "The list reply did not come.");

    QCOMPARE(comparisons.count(), compared ? 1 : 0);
    QCOMPARE(checker.PendingCount(), quint64(compared ? 1 : 0));
    if (!compared)
        QVERIFY2(QFile::exists(localPath(QStringLiteral("Tarn.exe.delete"))),
                 "A checker without a known mode still compared its folder.");
}

void TestFilesChecker::writeFileReportsEveryWrite_data()
{
    QTest::addColumn<bool>("folderBlocked");
    QTest::newRow("written") << false;
    QTest::newRow("folder blocked by a file") << true;
}

void TestFilesChecker::writeFileReportsEveryWrite()
{
    QFETCH(bool, folderBlocked);
    if (folderBlocked)
        QVERIFY(writeFile(localPath(QStringLiteral("Data")), "a file where a folder should be"));

    FilesChecker checker(nullptr, false);
    checker.SetRootPath(localRoot());
    checker.SetMode(QStringLiteral("sector"));
    QSignalSpy updated(&checker, &FilesChecker::OneFileUpdated);
    const bool written = checker.WriteFile(localPath(QStringLiteral("Data/a.txt")), "new");

    QCOMPARE(written, !folderBlocked);
    QCOMPARE(updated.count(), 1);
    QCOMPARE(readFile(localPath(QStringLiteral("Data/a.txt"))),
             folderBlocked ? QByteArray() : QByteArray("new"));
}

QTEST_GUILESS_MAIN(TestFilesChecker)
#include "tst_fileschecker.moc"
