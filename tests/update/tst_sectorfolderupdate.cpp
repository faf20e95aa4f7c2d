// Sector downloads: the window, streaming into part files, service times,
// profile merges and failed writes.

#include "FilesCheckerFixture.h"

#include "net/RequestSender.h"
#include "update/AtomicFileWriter.h"
#include "update/SectorDownloadQueue.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkAccessManager>

#include <algorithm>

class TestSectorFolderUpdate : public FilesCheckerFixture
{
    Q_OBJECT

private Q_SLOTS:
    void sectorDownloadsWithServiceTimes();
    void sectorDuplicatePathIsDownloadedTwice();
    void sectorLargeBatchArrivesWhole();
    void sectorLargeFileIsStreamedWhole();
    void sectorDropMidBodyLeavesTheOldFile();
    void sectorLargeFilesBeyondTheCapAllArrive();
    void sectorDownloadWithoutContentDispositionStaysPending();
    void sectorNothingPending();
    void sectorProfilesAreMerged();
    void sectorReplacementKeepsPermissions();
    void sectorStalePartFilesAreRemoved();
    void partClearingKeepsLiveParts();
    void sectorWriteFailuresAreCounted();
    void sectorWriteIntoReadOnlyFolderFails();
    void interruptedWriteLeavesTheOldFile();
};

void TestSectorFolderUpdate::sectorDownloadsWithServiceTimes()
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
    QVERIFY2(next.PendingFiles().isEmpty(), "Files just downloaded are outdated at the next check.");
}

void TestSectorFolderUpdate::sectorDuplicatePathIsDownloadedTwice()
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

void TestSectorFolderUpdate::sectorLargeBatchArrivesWhole()
{
    // More files than are posted in one turn of the event loop.
    constexpr int count = 250;
    for (int i = 0; i < count; ++i)
        QVERIFY(writeFile(contentPath(QStringLiteral("sector/Batch/f%1.txt").arg(i)),
                          QByteArray::number(i)));

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

void TestSectorFolderUpdate::sectorLargeFileIsStreamedWhole()
{
    const QDateTime serviceTime(QDate(2022, 3, 4), QTime(5, 6, 7), Qt::LocalTime);
    const QByteArray content = patterned(12 * 1024 * 1024 + 3, 1);
    QVERIFY(writeFile(contentPath(QStringLiteral("sector/Big/large.bin")), content));
    QVERIFY(setModificationTime(contentPath(QStringLiteral("sector/Big/large.bin")), serviceTime));
    QVERIFY(writeFile(localPath(QStringLiteral("Big/large.bin")), "old"));
    const QFile::Permissions permissions = QFile::ReadOwner | QFile::WriteOwner | QFile::ReadGroup;
    QVERIFY(QFile::setPermissions(localPath(QStringLiteral("Big/large.bin")), permissions));
    QVERIFY(
        setModificationTime(localPath(QStringLiteral("Big/large.bin")), serviceTime.addDays(-1)));

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

void TestSectorFolderUpdate::sectorDropMidBodyLeavesTheOldFile()
{
    const QByteArray oldContent = patterned(256 * 1024, 2);
    QVERIFY(writeFile(contentPath(QStringLiteral("sector/Data/big.bin")),
                      patterned(4 * 1024 * 1024, 3)));
    QVERIFY(writeFile(contentPath(QStringLiteral("sector/Data/ok.txt")), "ok"));
    QVERIFY(writeFile(localPath(QStringLiteral("Data/big.bin")), oldContent));
    QVERIFY(
        setModificationTime(localPath(QStringLiteral("Data/big.bin")), listedTime.addYears(-40)));
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

void TestSectorFolderUpdate::sectorLargeFilesBeyondTheCapAllArrive()
{
    // Large files first, so the batch learns their size, then small ones. Two
    // of them fit the byte budget at once, three do not.
    constexpr int largeCount = 5;
    constexpr int largeSize = int(SectorDownloadQueue::byteBudget / 2) - 1024 * 1024;
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
    setList(sectorList,
            QJsonDocument(QJsonArray{QJsonObject{{QStringLiteral("Mixed"), folder}}})
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
    QVERIFY2(downloadSector(checker),
             "A batch with more files than are let in at once did not finish.");

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

void TestSectorFolderUpdate::sectorDownloadWithoutContentDispositionStaysPending()
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

void TestSectorFolderUpdate::sectorNothingPending()
{
    FilesChecker checker(nullptr, false);
    checker.SetMode(QStringLiteral("sector"));
    checker.SetRootPath(localRoot());
    QSignalSpy finished(&checker, &FilesChecker::UpdateFinished);
    checker.DownloadSectorFiles();
    QCOMPARE(finished.count(), 1);
    QVERIFY2(requestsTo(sectorDownload).empty(), "A download was requested with nothing pending.");
}

void TestSectorFolderUpdate::sectorProfilesAreMerged()
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

void TestSectorFolderUpdate::sectorReplacementKeepsPermissions()
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

void TestSectorFolderUpdate::sectorStalePartFilesAreRemoved()
{
    QVERIFY(writeFile(contentPath(QStringLiteral("sector/Data/a.txt")), "a"));
    QVERIFY(writeFile(localPath(QStringLiteral("Data/a.txt.tarn-part")), "half of a"));
    QVERIFY(writeFile(localPath(QStringLiteral("Data/gone.txt.tarn-part")),
                      "half of a file no longer listed"));
    QVERIFY(writeFile(localPath(QStringLiteral("Data/.hidden.tarn-part")), "half of a hidden file"));

    FilesChecker checker(nullptr, false);
    QVERIFY2(compareSector(checker), "The sector comparison did not finish.");
    QVERIFY2(downloadSector(checker), "The sector download did not finish.");
    QCOMPARE(readFile(localPath(QStringLiteral("Data/a.txt"))), QByteArray("a"));
    QCOMPARE(QDir(localPath(QStringLiteral("Data"))).entryList(QDir::Files | QDir::Hidden),
             QStringList{QStringLiteral("a.txt")});
}

// A download of an earlier batch may still be writing into a folder that the
// next batch clears of stale part files: its part must survive.
void TestSectorFolderUpdate::partClearingKeepsLiveParts()
{
    const QString folder = localPath(QStringLiteral("Data"));
    QVERIFY(writeFile(folder + QStringLiteral("/stale.txt.tarn-part"), "half of a stale file"));
    AtomicFileWriter::Incremental running(folder + QStringLiteral("/running.txt"));
    QVERIFY2(running.open() && running.append("first half "), "The running write could not start.");
    AtomicFileWriter::removePartFiles(folder, {running.partFileName()});
    QVERIFY2(!QFile::exists(folder + QStringLiteral("/stale.txt.tarn-part")),
             "The stale part file was not removed.");
    QVERIFY2(running.append("second half")
                 && running.finish(QDateTime::currentDateTime(), QString()),
             "The running write lost its part file.");
    QCOMPARE(readFile(folder + QStringLiteral("/running.txt")),
             QByteArray("first half second half"));
}

void TestSectorFolderUpdate::sectorWriteFailuresAreCounted()
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

void TestSectorFolderUpdate::sectorWriteIntoReadOnlyFolderFails()
{
    // Run in a process of its own that drops root rights, so that the folder's
    // permissions apply whoever runs the tests.
    QVERIFY(writeFile(contentPath(QStringLiteral("sector/Locked/a.txt")), "new a"));
    QVERIFY(writeFile(contentPath(QStringLiteral("sector/Open/b.txt")), "new b"));
    QVERIFY(writeFile(localPath(QStringLiteral("Locked/a.txt")), "old a"));
    QVERIFY(QDir(localRoot()).mkdir(QStringLiteral("Open")));
    QVERIFY(
        setModificationTime(localPath(QStringLiteral("Locked/a.txt")), listedTime.addYears(-40)));
    const QFile::Permissions readable = QFile::ReadOwner | QFile::ExeOwner | QFile::ReadGroup
        | QFile::ExeGroup | QFile::ReadOther | QFile::ExeOther;
    QVERIFY(QFile::setPermissions(localRoot(), readable | QFile::WriteOwner));
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

void TestSectorFolderUpdate::interruptedWriteLeavesTheOldFile()
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

QTEST_GUILESS_MAIN(TestSectorFolderUpdate)
#include "tst_sectorfolderupdate.moc"
