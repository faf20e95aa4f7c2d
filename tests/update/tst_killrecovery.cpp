// Each row runs an update in a process of its own and kills it with SIGKILL
// at a random moment of its run, many times over: whatever the moment, every
// file must be whole (old or new), the settings must load, and the next run
// must finish the update without leaving partial files behind.

#include "HelperProcess.h"

#include <QDir>
#include <QElapsedTimer>
#include <QJsonDocument>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QThread>

#include <signal.h>

#include <optional>

#ifndef TARN_KILL_RUNS
#define TARN_KILL_RUNS 50
#endif

namespace {
constexpr int killRuns = TARN_KILL_RUNS;
constexpr int timeoutMs = 120000;
const QString settingsName = QStringLiteral("settings.dat");
const QString knownUser = QStringLiteral("1084211");

// One file that an update touches: what the service publishes, what the
// update must leave, and what stands there before (nothing when absent).
struct TrackedFile
{
    QString path;
    QByteArray published, after;
    std::optional<QByteArray> before = {};
};

// A sector update of 200 files, in the program folder's "sector" folder so
// that one walk finds every stray file: community profiles and ASR files
// whose CRLF download the merge turns into bare line feeds around the user's
// lines, then data files. A self-update of 50: the running executable, padded
// by 8 MiB so that writing it takes a stretch of the run the kills reach, then
// data files. Data files are of up to 64 KiB, every 48th of 2 MiB; two in
// three are present with old content.
QVector<TrackedFile> trackedFiles(bool self)
{
    QVector<TrackedFile> files;
    const QByteArray firstBuild = readFile(QStringLiteral(TARN_UPDATE_HELPER));
    const QByteArray secondBuild = firstBuild + "\nbuild 2\n" + QByteArray(8 * 1024 * 1024, 'p');
    if (self)
        files.append({helperName(), secondBuild, secondBuild, firstBuild});
    for (int i = 0; !self && i < 12; ++i) {
        const QByteArray n = QByteArray::number(i);
        const QByteArray user = "LastSession\tcallsign\tEDWW_CTR_" + n + "\r\nsounds\tALARM\tb" + n
            + ".wav\nSECTORFILE:C:\\Sector" + n + ".sct\r\n";
        const QByteArray kept = "Settings\tSYMBOLOGY\tS" + n + "\nPlugins\tR" + n + ".dll\n";
        const bool present = i % 4 != 1;
        files.append(
            {i % 2 ? QStringLiteral("sector/Area%1/Sector_%2.asr").arg(i % 8).arg(i)
                   : QStringLiteral("sector/Profiles/P%1/Brenmar.prf").arg(i),
             QByteArray(kept).replace("\n", "\r\n")
                 + "LastSession\tcallsign\tEDDF_APP\r\nVoice\tinput_hardware\tx\r\n",
             kept + (present ? user : QByteArray()),
             present ? std::optional("Settings\tSYMBOLOGY\tOld.txt\r\n" + user) : std::nullopt});
    }
    for (int i = files.size(); i < (self ? 50 : 200); ++i) {
        const QByteArray after(i % 48 == 0 ? 2 * 1024 * 1024 : i * 331 % 65536 + 1,
                               char('a' + i % 26));
        files.append({QLatin1String(self ? "" : "sector/")
                          + QStringLiteral("Area%1/Sub%2/file%3.bin").arg(i % 8).arg(i % 5).arg(i),
                      after, after,
                      i % 3 ? std::optional(QByteArray(i * 97 % 32768 + 1, char('A' + i % 26)))
                            : std::nullopt});
    }
    return files;
}

// The processes whose executable lies in folder: the update and any process
// that its restart started.
QVector<pid_t> processesRunningFrom(const QString &folder)
{
    const QString prefix = QFileInfo(folder).canonicalFilePath() + QLatin1Char('/');
    QVector<pid_t> pids;
    for (const QString &entry : QDir(QStringLiteral("/proc")).entryList(QDir::Dirs))
        if (QFileInfo(QStringLiteral("/proc/%1/exe").arg(entry)).symLinkTarget().startsWith(prefix))
            pids.append(pid_t(entry.toInt()));
    return pids;
}
} // namespace

class TestKillRecovery : public QObject
{
    Q_OBJECT

    // The old state: the old files, a fresh settings file, no run logs.
    bool prepare() const
    {
        bool ok = QDir(m_program.path()).removeRecursively()
            && writeFile(m_program.filePath(settingsName),
                         settingsFileBytes({{QStringLiteral("username"), knownUser}}))
            && (m_self || copyHelperInto(m_program.path()));
        // Executable, as the copy of the helper among them must be.
        for (const TrackedFile &file : m_files) {
            const QString path = m_program.filePath(file.path);
            ok = ok
                && (!file.before
                    || (writeFile(path, *file.before, QDateTime(QDate(2023, 1, 2), QTime(8, 0)))
                        && QFile::setPermissions(
                            path, QFile::permissions(QStringLiteral(TARN_UPDATE_HELPER)))));
        }
        return ok;
    }

    void start()
    {
        m_process = std::make_unique<QProcess>();
        m_process->setStandardErrorFile(m_content.filePath(QStringLiteral("stderr.txt")));
        startHelper(*m_process, m_program.path(),
                    m_self ? QStringList()
                           : QStringList{QStringLiteral("sector-update"),
                                         m_program.filePath(QStringLiteral("sector"))});
        m_process->waitForStarted();
    }

    // Why a run to its end did not finish the update; empty when it did.
    QString runToTheEnd()
    {
        start();
        const bool ended = m_process->waitForFinished(timeoutMs)
            && waitUntil([&] { return processesRunningFrom(m_program.path()).isEmpty(); },
                         timeoutMs);
        // The stories of the helper's processes, the restarted one included.
        QString logs;
        for (const QString &log : QDir(m_program.path()).entryList({QStringLiteral("run-*.txt")}))
            logs += log + QStringLiteral(": ")
                + QString::fromUtf8(readFile(m_program.filePath(log)));
        if (ended && !logs.contains(QLatin1String("errorFound"))
            && logs.contains(m_self ? QLatin1String("selfUpdated") : QLatin1String("failed=0")))
            return {};
        return QStringLiteral("The update did not finish:\n") + logs
            + QString::fromUtf8(readFile(m_content.filePath(QStringLiteral("stderr.txt"))))
            + realServerErrorLog();
    }

    // What is wrong in the folders; empty when nothing is. After a kill every
    // file holds its old or new content; after a complete run its new one,
    // and no file of an interrupted write is left.
    QString problem(bool complete) const
    {
        for (const TrackedFile &file : m_files) {
            const QString path = m_program.filePath(file.path);
            const QByteArray now = readFile(path);
            if (QFileInfo::exists(path) ? now != file.after && (complete || now != file.before)
                                        : complete || file.before)
                return file.path + QStringLiteral(" is missing or wrong");
        }
        QT_WARNING_PUSH
        QT_WARNING_DISABLE_DEPRECATED
        if (QJsonDocument::fromBinaryData(readFile(m_program.filePath(settingsName)),
                                          QJsonDocument::Validate)
                .object()
                .value(QStringLiteral("username"))
            != knownUser)
            return QStringLiteral("The settings file no longer loads.");
        QT_WARNING_POP
        for (const QString &path : contents(snapshot(m_program.path())).keys())
            if (complete && !m_expected.contains(path) && !path.startsWith(QLatin1String("run-")))
                return QStringLiteral("An interrupted write left ") + path;
        return {};
    }

    QTemporaryDir m_content, m_program;
    std::unique_ptr<QProcess> m_process;
    QVector<TrackedFile> m_files;
    // Every file that may stand in either folder after a complete run.
    QSet<QString> m_expected;
    bool m_self = false;
    quint32 m_seed = 0;

private Q_SLOTS:
    void initTestCase()
    {
        TARN_REQUIRE_SERVICE();
        m_seed = qEnvironmentVariableIsSet("TARN_KILL_SEED")
            ? qEnvironmentVariable("TARN_KILL_SEED").toUInt()
            : QRandomGenerator::system()->generate();
        qInfo("Kill seed: %u (set TARN_KILL_SEED to repeat these moments)", m_seed);
        QVERIFY(m_content.isValid() && m_program.isValid());
    }

    void updateSurvivesKills_data()
    {
        QTest::addColumn<bool>("self");
        QTest::newRow("sector update") << false;
        QTest::newRow("self-update") << true;
    }

    void updateSurvivesKills()
    {
        QFETCH(bool, self);
        m_self = self;
        resetTestService(m_content.path());
        m_files = trackedFiles(self);
        m_expected = {helperName(), settingsName};
        for (const TrackedFile &file : qAsConst(m_files)) {
            QVERIFY(writeFile(m_content.filePath(QLatin1String(self ? "client/" : "") + file.path),
                              file.published, QDateTime(QDate(2024, 3, 9), QTime(17, 45, 12))));
            m_expected.insert(file.path);
        }
        // One run nobody interrupts gives the duration; the kills cover a
        // quarter more, since the machine's load makes runs vary.
        QVERIFY(prepare());
        QElapsedTimer clock;
        clock.start();
        QCOMPARE(runToTheEnd(), QString());
        const qint64 sliceUs = std::max<qint64>(clock.nsecsElapsed() / 800 / killRuns, 1);
        QCOMPARE(problem(true), QString());

        QRandomGenerator random(m_seed + (self ? 1 : 0));
        int landed = 0;
        for (int run = 0; run < killRuns; ++run) {
            QVERIFY(prepare());
            // One random moment in each of killRuns equal slices of the run.
            const qint64 delayUs = run * sliceUs + qint64(random.bounded(quint32(sliceUs)));
            clock.start();
            start();
            QThread::usleep(quint64(std::max<qint64>(delayUs - clock.nsecsElapsed() / 1000, 0)));
            landed += processesRunningFrom(m_program.path()).isEmpty() ? 0 : 1;
            // Also a process that a restart has just started.
            waitUntil(
                [&] {
                    const QVector<pid_t> pids = processesRunningFrom(m_program.path());
                    for (const pid_t pid : pids)
                        ::kill(pid, SIGKILL);
                    return pids.isEmpty();
                },
                timeoutMs);
            m_process->waitForFinished(timeoutMs);
            const QString context
                = QStringLiteral(" (run %1, killed after %2 us)").arg(run).arg(delayUs);
            // In this order: the state the kill left, then the run after it.
            for (const QString &found : {problem(false), runToTheEnd(), problem(true)})
                QVERIFY2(found.isEmpty(), qPrintable(found + context));
        }
        qInfo("%d of %d kills landed while the update ran", landed, killRuns);
        // A series in which few kills landed while the update ran tested little.
        QVERIFY(landed >= killRuns / 4);
    }
};

QTEST_GUILESS_MAIN(TestKillRecovery)
#include "tst_killrecovery.moc"
