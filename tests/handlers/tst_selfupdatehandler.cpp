#include "TestService.h"

#include "handlers/SelfUpdateHandler.h"
#include "handlers/SettingsHandler.h"
#include "net/RequestSender.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QProcess>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTimer>

#include <memory>

namespace {
// The program folder of the in-process handler is this test's own folder.
const QStringList dataFiles = {QStringLiteral("data.txt"), QStringLiteral("sub/lib.dat"),
                               QStringLiteral("extra.txt"), QStringLiteral("blocked")};
const QString helperName = QFileInfo(QStringLiteral(TARN_UPDATE_HELPER)).fileName();
// A process of the helper names the file it runs from: a restart must run the
// new file, not the copy set aside.
const QString startLine = QStringLiteral("start ") + helperName;
constexpr int processTimeoutMs = 120000;

QString programFile(const QString &relative)
{
    return QCoreApplication::applicationDirPath() + QLatin1Char('/') + relative;
}

// A handler started in this process, with spies on both of its outcomes.
struct StartedHandler
{
    const std::unique_ptr<SelfUpdateHandler> handler = std::make_unique<SelfUpdateHandler>();
    QSignalSpy updated{handler.get(), &SelfUpdateHandler::selfUpdated};
    QSignalSpy error{handler.get(), &SelfUpdateHandler::errorFound};

    QTimer *watchdog() const
    {
        return handler->findChild<QTimer *>(QStringLiteral("selfUpdateWatchdog"));
    }
    // Fires the watchdog as 90 seconds would.
    bool fireWatchdog() const
    {
        return watchdog() && QMetaObject::invokeMethod(watchdog(), "timeout");
    }
};

// The self-update helper run as a program of its own in a temporary program
// folder: each of its processes writes run-<pid>.txt there and waits for a
// go-<pid> file before it starts its update.
class ProgramFolder
{
public:
    ProgramFolder()
    {
        QFile::copy(QStringLiteral(TARN_UPDATE_HELPER), program());
        writeFile(m_folder.filePath(QStringLiteral("gate")), {});
        m_firstBuild = readFile(program());
    }

    bool isValid() const
    {
        return m_folder.isValid() && m_output.isValid() && QFileInfo(program()).isExecutable();
    }
    QString program() const { return m_folder.filePath(helperName); }
    QString path(const QString &name) const { return m_folder.filePath(name); }
    // The program as it was copied, and later builds of it.
    QByteArray firstBuild() const { return m_firstBuild; }
    QByteArray build(int number) const
    {
        return m_firstBuild + "\nbuild " + QByteArray::number(number) + '\n';
    }

    // Starts the first process and lets it run to its end; its pid, or 0.
    qint64 runFirst(QProcess &process)
    {
        process.setProcessEnvironment(serviceEnvironment());
        process.setWorkingDirectory(m_folder.path());
        // Files rather than pipes: a restarted process inherits them and
        // outlives this one.
        process.setStandardOutputFile(m_output.filePath(QStringLiteral("stdout.txt")));
        process.setStandardErrorFile(m_output.filePath(QStringLiteral("stderr.txt")));
        process.start(program(), QStringList());
        if (!process.waitForStarted())
            return 0;
        const qint64 pid = process.processId();
        open(pid);
        return process.waitForFinished(processTimeoutMs) ? pid : 0;
    }

    void open(qint64 pid) { writeFile(path(QStringLiteral("go-%1").arg(pid)), {}); }

    // The processes that ran, by pid, with the lines each wrote.
    QHash<qint64, QStringList> runs() const
    {
        QHash<qint64, QStringList> runs;
        const QStringList logs
            = QDir(m_folder.path()).entryList({QStringLiteral("run-*.txt")}, QDir::Files);
        for (const QString &log : logs) {
            const qint64 pid = log.mid(4, log.size() - 8).toLongLong();
            runs.insert(
                pid,
                QString::fromUtf8(readFile(path(log))).split(QLatin1Char('\n'), Qt::SkipEmptyParts));
        }
        return runs;
    }

    // Waits for a process other than firstPid to reach the gate.
    qint64 waitForNextProcess(qint64 firstPid) const
    {
        qint64 next = 0;
        waitUntil(
            [&] {
                const auto all = runs();
                for (auto it = all.cbegin(); it != all.cend(); ++it) {
                    if (it.key() != firstPid)
                        next = it.key();
                }
                return next != 0;
            },
            processTimeoutMs);
        return next;
    }

    // Waits until the process has written its outcome after "start".
    QStringList waitForOutcome(qint64 pid) const
    {
        waitUntil([&] { return runs().value(pid).size() >= 2; }, processTimeoutMs);
        return runs().value(pid);
    }

    QByteArray output() const { return readFile(m_output.filePath(QStringLiteral("stderr.txt"))); }

private:
    QTemporaryDir m_folder;
    QTemporaryDir m_output;
    QByteArray m_firstBuild;
};
} // namespace

class TestSelfUpdateHandler : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void init();
    void cleanup();

    void everythingCurrent();
    void changedDataFilesAreReplacedInPlace();
    void upperCaseHashesMatch();
    void watchdogReportsOnce();
    void selfUpdatedAfterTheWatchdog();
    void downloadWithoutContentDispositionEndsInTheWatchdog();
    void corruptedDownloadIsAnError();
    void failedWriteIsAnError();

    void programInUseIsReplacedAndRestartedOnce();
    void restartedProcessDoesNotRestartAgain();
    void corruptedProgramIsNotRestarted();

private:
    // Publishes a file of the client folder on the service.
    bool publish(const QString &relative, const QByteArray &data) const
    {
        return writeFile(m_content->filePath(QStringLiteral("client/") + relative), data);
    }

    std::unique_ptr<QTemporaryDir> m_content;
};

void TestSelfUpdateHandler::initTestCase()
{
    qRegisterMetaType<QNetworkReply *>();
    new SettingsHandler(this);
}

void TestSelfUpdateHandler::init()
{
    m_content = std::make_unique<QTemporaryDir>();
    QVERIFY2(m_content->isValid(), "The temporary content folder could not be made.");
    QVERIFY(QDir(m_content->path()).mkdir(QStringLiteral("client")));
    resetTestService(m_content->path());
}

void TestSelfUpdateHandler::cleanup()
{
    for (const QString &file : dataFiles) {
        QFile::remove(programFile(file));
        QFile::remove(programFile(file + QStringLiteral(".delete")));
    }
    QDir(programFile(QStringLiteral("sub"))).removeRecursively();
}

// ---------------------------------------------------------------------------
// In this process, with data files only

void TestSelfUpdateHandler::everythingCurrent()
{
    QVERIFY(publish(QStringLiteral("data.txt"), "data"));
    QVERIFY(writeFile(programFile(QStringLiteral("data.txt")), "data"));
    QVERIFY(writeFile(programFile(QStringLiteral("extra.txt.delete")), "set aside earlier"));

    StartedHandler run;
    QVERIFY2(run.watchdog(), "The handler has no watchdog.");
    const QTimer *watchdog = run.watchdog();
    QVERIFY2(watchdog->isActive(), "The watchdog does not run while the update is under way.");
    QCOMPARE(watchdog->interval(), 90000);
    QVERIFY2(waitForSignals(run.updated), "selfUpdated() did not come.");

    QCOMPARE(run.updated.count(), 1);
    QCOMPARE(run.error.count(), 0);
    QVERIFY2(!run.watchdog()->isActive(), "The watchdog still runs after the update finished.");
    QCOMPARE(requestCount("/api/tarn/checkClient.php"), size_t(1));
    QCOMPARE(requestCount("/api/tarn/downloadFile.php"), size_t(0));
    QVERIFY2(!QFile::exists(programFile(QStringLiteral("extra.txt.delete"))),
             "The file set aside by an earlier update was not deleted.");
}

void TestSelfUpdateHandler::changedDataFilesAreReplacedInPlace()
{
    QVERIFY(publish(QStringLiteral("data.txt"), "new data"));
    QVERIFY(publish(QStringLiteral("sub/lib.dat"), "new library data"));
    QVERIFY(writeFile(programFile(QStringLiteral("data.txt")), "old data"));

    StartedHandler run;
    QVERIFY2(run.watchdog(), "The handler has no watchdog.");
    QVERIFY2(waitForSignals(run.updated), "selfUpdated() did not come, so a restart was wanted.");

    QCOMPARE(run.error.count(), 0);
    QCOMPARE(readFile(programFile(QStringLiteral("data.txt"))), QByteArray("new data"));
    QCOMPARE(readFile(programFile(QStringLiteral("sub/lib.dat"))), QByteArray("new library data"));
    QVERIFY2(!QFile::exists(programFile(QStringLiteral("data.txt.delete"))),
             "A data file that is not in use was set aside.");
    QCOMPARE(requestCount("/api/tarn/downloadFile.php"), size_t(2));
}

void TestSelfUpdateHandler::upperCaseHashesMatch()
{
    QVERIFY(publish(QStringLiteral("data.txt"), "data"));
    QVERIFY(writeFile(programFile(QStringLiteral("data.txt")), "data"));
    testService().setUpperCaseHashes(true);

    StartedHandler run;
    QVERIFY2(run.watchdog(), "The handler has no watchdog.");
    QVERIFY2(waitForSignals(run.updated), "selfUpdated() did not come.");
    QVERIFY2(requestCount("/api/tarn/downloadFile.php") == 0,
             "A current file was downloaded because its listed hash is in upper case.");
}

void TestSelfUpdateHandler::watchdogReportsOnce()
{
    devservice::Fault fault;
    fault.endpoint = "checkClient.php";
    fault.status = 503;
    testService().addFault(fault);

    QSignalSpy replies(RequestSender::sharedManager(), &QNetworkAccessManager::finished);
    StartedHandler run;
    QVERIFY2(run.watchdog(), "The handler has no watchdog.");
    QVERIFY2(waitForSignals(replies), "The failed list request did not end.");
    QCOMPARE(run.error.count(), 0);

    QVERIFY2(run.fireWatchdog(), "The watchdog could not be fired.");
    QCOMPARE(run.error.count(), 1);
    QVERIFY2(!run.watchdog()->isActive(),
             "The watchdog still runs after it reported, so it would report again.");
    QCOMPARE(run.updated.count(), 0);
}

void TestSelfUpdateHandler::selfUpdatedAfterTheWatchdog()
{
    QVERIFY(publish(QStringLiteral("data.txt"), "new data"));
    StartedHandler run;
    QVERIFY2(run.watchdog(), "The handler has no watchdog.");
    QStringList order;
    connect(run.handler.get(), &SelfUpdateHandler::errorFound, this,
            [&] { order.append(QStringLiteral("errorFound")); });
    connect(run.handler.get(), &SelfUpdateHandler::selfUpdated, this,
            [&] { order.append(QStringLiteral("selfUpdated")); });

    // Replies are only handled by the event loop, so the list has not been compared yet.
    QVERIFY2(run.fireWatchdog(), "The watchdog could not be fired.");
    QVERIFY2(waitForSignals(run.updated), "selfUpdated() did not follow the watchdog.");
    QCOMPARE(order, (QStringList{QStringLiteral("errorFound"), QStringLiteral("selfUpdated")}));
    QCOMPARE(readFile(programFile(QStringLiteral("data.txt"))), QByteArray("new data"));
}

void TestSelfUpdateHandler::downloadWithoutContentDispositionEndsInTheWatchdog()
{
    for (const QString &file :
         {QStringLiteral("data.txt"), QStringLiteral("extra.txt"), QStringLiteral("sub/lib.dat")})
        QVERIFY(publish(file, file.toLatin1()));
    answerWithoutContentDisposition("downloadFile.php", "extra.txt");

    QSignalSpy replies(RequestSender::sharedManager(), &QNetworkAccessManager::finished);
    StartedHandler run;
    QVERIFY2(run.watchdog(), "The handler has no watchdog.");
    QVERIFY2(waitForSignals(replies, 4), "The list and the three downloads were not all answered.");

    QCOMPARE(readFile(programFile(QStringLiteral("data.txt"))), QByteArray("data.txt"));
    QCOMPARE(readFile(programFile(QStringLiteral("sub/lib.dat"))), QByteArray("sub/lib.dat"));
    QVERIFY2(!QFile::exists(programFile(QStringLiteral("extra.txt"))),
             "A reply without Content-Disposition was written.");
    QCOMPARE(run.updated.count() + run.error.count(), 0);
    QVERIFY2(run.watchdog()->isActive(), "The watchdog stopped although a file is still pending.");

    QVERIFY2(run.fireWatchdog(), "The watchdog could not be fired.");
    QCOMPARE(run.error.count(), 1);
    QCOMPARE(run.updated.count(), 0);
}

void TestSelfUpdateHandler::corruptedDownloadIsAnError()
{
    QVERIFY(publish(QStringLiteral("data.txt"), "tampered"));
    QVERIFY(publish(QStringLiteral("extra.txt"), "fine"));
    QVERIFY(writeFile(programFile(QStringLiteral("data.txt")), "working data"));
    testService().setWrongHash("data.txt");

    StartedHandler run;
    QVERIFY2(run.watchdog(), "The handler has no watchdog.");
    QVERIFY2(waitForSignals(run.error), "A refused download was not reported when the batch ended.");

    QVERIFY2(!run.watchdog()->isActive(),
             "The error came from the watchdog, not from the end of the batch.");
    QCOMPARE(run.updated.count(), 0);
    QCOMPARE(readFile(programFile(QStringLiteral("data.txt"))), QByteArray("working data"));
    QCOMPARE(readFile(programFile(QStringLiteral("extra.txt"))), QByteArray("fine"));
}

void TestSelfUpdateHandler::failedWriteIsAnError()
{
    QVERIFY(publish(QStringLiteral("blocked/file.txt"), "cannot land"));
    QVERIFY(writeFile(programFile(QStringLiteral("blocked")), "a file where a folder should be"));

    StartedHandler run;
    QVERIFY2(run.watchdog(), "The handler has no watchdog.");
    QVERIFY2(waitForSignals(run.error), "A failed write was not reported when the batch ended.");
    QVERIFY2(!run.watchdog()->isActive(),
             "The error came from the watchdog, not from the end of the batch.");
    QCOMPARE(run.updated.count(), 0);
}

// ---------------------------------------------------------------------------
// As a program of its own, whose executable is in use while it runs

void TestSelfUpdateHandler::programInUseIsReplacedAndRestartedOnce()
{
    ProgramFolder folder;
    QVERIFY2(folder.isValid(), "The program folder could not be prepared.");
    QVERIFY(publish(helperName, folder.build(2)));
    QVERIFY(publish(QStringLiteral("data.txt"), "data"));

    QProcess first;
    const qint64 firstPid = folder.runFirst(first);
    QVERIFY2(firstPid != 0, "The program did not run to its end.");
    QVERIFY2(first.exitStatus() == QProcess::NormalExit && first.exitCode() == 0,
             folder.output().constData());
    QCOMPARE(folder.runs().value(firstPid), (QStringList{startLine, QStringLiteral("quit")}));

    QVERIFY2(readFile(folder.program() + QStringLiteral(".delete")) == folder.firstBuild(),
             "The running program was not set aside under its name plus \".delete\".");
    QVERIFY2(readFile(folder.program()) == folder.build(2), "The new program is not in place.");
    QVERIFY2(QFileInfo(folder.program()).isExecutable(),
             "The new program lost the executable permission.");
    QCOMPARE(readFile(folder.path(QStringLiteral("data.txt"))), QByteArray("data"));

    const qint64 restarted = folder.waitForNextProcess(firstPid);
    QVERIFY2(restarted != 0, "The program did not restart itself.");
    folder.open(restarted);
    QCOMPARE(folder.waitForOutcome(restarted),
             (QStringList{startLine, QStringLiteral("selfUpdated")}));
    QVERIFY2(!QFile::exists(folder.program() + QStringLiteral(".delete")),
             "The restarted program did not delete the old one that was set aside.");
    QCOMPARE(folder.runs().size(), 2);
}

void TestSelfUpdateHandler::restartedProcessDoesNotRestartAgain()
{
    ProgramFolder folder;
    QVERIFY2(folder.isValid(), "The program folder could not be prepared.");
    QVERIFY(publish(helperName, folder.build(2)));

    QProcess first;
    const qint64 firstPid = folder.runFirst(first);
    QVERIFY2(firstPid != 0, "The program did not run to its end.");
    const qint64 restarted = folder.waitForNextProcess(firstPid);
    QVERIFY2(restarted != 0, "The program did not restart itself.");

    // A newer build appears while the restarted process starts: it would need
    // to restart once more.
    QVERIFY(publish(helperName, folder.build(3)));
    folder.open(restarted);
    QCOMPARE(folder.waitForOutcome(restarted),
             (QStringList{startLine, QStringLiteral("errorFound")}));
    QVERIFY2(readFile(folder.program()) == folder.build(3),
             "The restarted process did not put the newer build in place.");
    QCOMPARE(folder.runs().size(), 2);
}

void TestSelfUpdateHandler::corruptedProgramIsNotRestarted()
{
    ProgramFolder folder;
    QVERIFY2(folder.isValid(), "The program folder could not be prepared.");
    QVERIFY(publish(helperName, folder.build(2)));
    testService().setWrongHash(helperName.toStdString());

    QProcess first;
    const qint64 firstPid = folder.runFirst(first);
    QVERIFY2(firstPid != 0, "The program did not run to its end.");
    QCOMPARE(folder.runs().value(firstPid), (QStringList{startLine, QStringLiteral("errorFound")}));
    QVERIFY2(readFile(folder.program()) == folder.firstBuild(),
             "A program whose content does not match its hash was written.");
    QVERIFY2(!QFile::exists(folder.program() + QStringLiteral(".delete")),
             "The running program was set aside for nothing.");
    QCOMPARE(folder.runs().size(), 1);
}

QTEST_GUILESS_MAIN(TestSelfUpdateHandler)
#include "tst_selfupdatehandler.moc"
