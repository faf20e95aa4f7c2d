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
#include <QVector>

#include <signal.h>

#include <algorithm>
#include <optional>

namespace {
#ifndef TARN_KILL_RUNS
#define TARN_KILL_RUNS 50
#endif
constexpr int killRuns = TARN_KILL_RUNS;
constexpr int processTimeoutMs = 120000;
const QString settingsName = QStringLiteral("settings.dat");
const QString savingMarker = QStringLiteral("save-settings");
const QString knownUser = QStringLiteral("1084211");
const QDateTime serviceTime(QDate(2024, 3, 9), QTime(17, 45, 12), Qt::LocalTime);
const QDateTime oldTime(QDate(2023, 1, 2), QTime(8, 0, 0), Qt::LocalTime);

// One file that an update touches: what stands there before (nothing when
// absent), what the service publishes, and what the update must leave there.
struct TrackedFile
{
    QString path;
    QByteArray published;
    QByteArray after;
    std::optional<QByteArray> before = {};
};

QByteArray randomBytes(QRandomGenerator &random, int size)
{
    QVector<quint32> words((size + 3) / 4);
    random.fillRange(words.data(), words.size());
    return QByteArray(reinterpret_cast<const char *>(words.constData()), size);
}

// The files of an update. A sector update of 200 files below nested folders:
// community profiles and ASR files whose CRLF download the merge turns into
// bare line feeds around the user's keyed lines (kept byte for byte), then
// data files. A self-update of 50 program files: the running executable (a new
// build padded by 8 MiB, so that writing it takes a stretch of the run that
// the kills reach), which is set aside while the process restarts itself, then
// data files. Data files are random, of 1 B to 64 KiB, every 48th of 2 MiB,
// and two in three are present with old content.
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
        files.append({i % 2 == 0 ? QStringLiteral("Profiles/P%1/Brenmar.prf").arg(i)
                                 : QStringLiteral("Area%1/Sector_%2.asr").arg(i % 8).arg(i),
                      QByteArray(kept).replace("\n", "\r\n")
                          + "LastSession\tcallsign\tEDDF_APP\r\nVoice\tinput_hardware\tx\r\n",
                      kept + (present ? user : QByteArray())});
        if (present)
            files.last().before = "Settings\tSYMBOLOGY\tOld.txt\r\n" + user;
    }
    QRandomGenerator random(self ? 7 : 6);
    for (int i = files.size(); i < (self ? 50 : 200); ++i) {
        const QByteArray after
            = randomBytes(random, i % 48 == 0 ? 2 * 1024 * 1024 : int(random.bounded(1, 65536)));
        files.append(
            {QStringLiteral("Area%1/Sub%2/file%3.bin").arg(i % 8).arg(i % 5).arg(i), after, after});
        if (i % 3 != 0)
            files.last().before = randomBytes(random, int(random.bounded(1, 32768)));
    }
    return files;
}

// The processes whose executable lies in folder: the update and any process
// that its restart started.
QVector<pid_t> processesRunningFrom(const QString &folder)
{
    const QString prefix = QFileInfo(folder).canonicalFilePath() + QLatin1Char('/');
    QVector<pid_t> pids;
    for (const QString &entry : QDir(QStringLiteral("/proc")).entryList(QDir::Dirs)) {
        const QString exe = QFileInfo(QStringLiteral("/proc/%1/exe").arg(entry)).symLinkTarget();
        if (entry.toInt() > 0 && exe.startsWith(prefix))
            pids.append(pid_t(entry.toInt()));
    }
    return pids;
}

} // namespace

class TestKillRecovery : public QObject
{
    Q_OBJECT

    // Lays out the state before the update: a fresh settings file, the old
    // files, and no run logs.
    bool prepare() const
    {
        QDir(m_updated).removeRecursively();
        for (const QString &log : QDir(m_program.path()).entryList({QStringLiteral("run-*.txt")}))
            QFile::remove(m_program.filePath(log));
        bool ok = writeFile(m_program.filePath(savingMarker), {})
            && writeFile(m_program.filePath(settingsName),
                         settingsFileBytes(QJsonObject{{QStringLiteral("username"), knownUser}}));
        // Executable, as the copy of the helper among them must be.
        for (const TrackedFile &file : m_files) {
            const QString path = m_updated + QLatin1Char('/') + file.path;
            ok = ok
                && (!file.before
                    || (writeFile(path, *file.before, oldTime)
                        && QFile::setPermissions(
                            path, QFile::permissions(QStringLiteral(TARN_UPDATE_HELPER)))));
        }
        return ok;
    }

    void start()
    {
        m_process = std::make_unique<QProcess>();
        startHelper(*m_process, m_program.path(),
                    m_self ? QStringList() : QStringList{QStringLiteral("sector-update"), m_updated},
                    {}, m_content.filePath(QStringLiteral("stderr.txt")));
        m_process->waitForStarted();
    }

    // Whether the run that has just ended finished its update: the sector
    // update logged no failed write; no run of the self-update, the restarted
    // one included, found an error, and one of them updated.
    bool finished() const
    {
        QByteArray stories;
        for (const QString &log : QDir(m_program.path()).entryList({QStringLiteral("run-*.txt")}))
            stories += readFile(m_program.filePath(log));
        return !stories.contains("errorFound")
            && stories.contains(m_self ? "selfUpdated" : "failed=0");
    }

    // What the helper's processes and nginx logged, to tell why a run did not finish.
    QString diagnosis() const
    {
        QString logs = QStringLiteral("\nThe helper's errors:\n")
            + QString::fromUtf8(readFile(m_content.filePath(QStringLiteral("stderr.txt"))));
        for (const QString &log : QDir(m_program.path()).entryList({QStringLiteral("run-*.txt")}))
            logs += QLatin1Char('\n') + log + QStringLiteral(":\n")
                + QString::fromUtf8(readFile(m_program.filePath(log)));
        return logs + QStringLiteral("\nnginx's errors:\n") + realServerErrorLog();
    }

    bool runToTheEnd()
    {
        start();
        return m_process->waitForFinished(processTimeoutMs)
            && waitUntil([&] { return processesRunningFrom(m_program.path()).isEmpty(); },
                         processTimeoutMs)
            && finished();
    }

    // Starts the update and kills every process running from the program
    // folder after delayUs; whether it was still running then.
    bool runAndKillAfter(qint64 delayUs)
    {
        QElapsedTimer clock;
        clock.start();
        start();
        const qint64 left = delayUs - clock.nsecsElapsed() / 1000;
        if (left > 0)
            QThread::usleep(quint64(left));
        const bool running = !processesRunningFrom(m_program.path()).isEmpty();
        // Also a process that a restart has just started.
        waitUntil(
            [&] {
                const QVector<pid_t> pids = processesRunningFrom(m_program.path());
                for (const pid_t pid : pids)
                    ::kill(pid, SIGKILL);
                return pids.isEmpty();
            },
            processTimeoutMs);
        m_process->waitForFinished(processTimeoutMs);
        return running;
    }

    // What is wrong in the folders, as a sentence; empty when nothing is.
    // After a kill every file holds its old or new content; after a complete
    // run its new one, and no file of an interrupted write is left.
    QString problem(bool complete) const
    {
        for (const TrackedFile &file : m_files) {
            const QString path = m_updated + QLatin1Char('/') + file.path;
            const QByteArray now = readFile(path);
            if (QFileInfo::exists(path) ? now != file.after && (complete || now != file.before)
                                        : complete || file.before)
                return QStringLiteral("The file %1 is missing or holds %2 bytes that are not its "
                                      "%3 content.")
                    .arg(file.path)
                    .arg(now.size())
                    .arg(complete ? QStringLiteral("new") : QStringLiteral("old or new"));
        }
        QT_WARNING_PUSH
        QT_WARNING_DISABLE_DEPRECATED
        const QJsonObject stored
            = QJsonDocument::fromBinaryData(readFile(m_program.filePath(settingsName)),
                                            QJsonDocument::Validate)
                  .object();
        QT_WARNING_POP
        if (stored.value(QStringLiteral("username")).toString() != knownUser)
            return QStringLiteral("The settings file no longer loads.");
        QStringList stray;
        for (const QString &folder : {m_program.path(), m_updated}) {
            for (const QString &path : contents(snapshot(folder)).keys()) {
                if (complete && !m_expected.contains(path)
                    && !path.startsWith(QLatin1String("run-")))
                    stray.append(path);
            }
        }
        return stray.isEmpty() ? QString()
                               : QStringLiteral("Files of interrupted writes were left: ")
                + stray.join(QStringLiteral(", "));
    }

    QTemporaryDir m_content;
    QTemporaryDir m_program;
    QTemporaryDir m_sector;
    QString m_updated;
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
        bool given = false;
        m_seed = qEnvironmentVariable("TARN_KILL_SEED").toUInt(&given);
        if (!given)
            m_seed = QRandomGenerator::system()->generate();
        qInfo("Kill seed: %u (set TARN_KILL_SEED to repeat these moments)", m_seed);
        QVERIFY2(m_content.isValid() && m_program.isValid() && m_sector.isValid()
                     && copyHelperInto(m_program.path()),
                 "The temporary folders could not be made.");
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
        m_updated = self ? m_program.path() : m_sector.path();
        resetTestService(m_content.path());
        m_files = trackedFiles(self);
        m_expected = {helperName(), settingsName, savingMarker};
        for (const TrackedFile &file : qAsConst(m_files)) {
            const QString path = m_content.filePath(
                (self ? QStringLiteral("client/") : QStringLiteral("sector/")) + file.path);
            QVERIFY2(writeFile(path, file.published, serviceTime),
                     "The new files could not be published.");
            m_expected.insert(file.path);
        }

        // The longest of three runs gives the duration, since the machine's load makes them vary.
        qint64 durationUs = 1;
        for (int run = 0; run < 3; ++run) {
            QVERIFY2(prepare(), "The old state could not be laid out.");
            QElapsedTimer clock;
            clock.start();
            QVERIFY2(runToTheEnd(),
                     qPrintable(QStringLiteral("An update that nobody interrupted "
                                               "did not finish.")
                                + diagnosis()));
            durationUs = std::max(durationUs, clock.nsecsElapsed() / 1000);
            QCOMPARE(problem(true), QString());
        }

        QRandomGenerator random(m_seed + (self ? 1 : 0));
        int landed = 0;
        for (int run = 0; run < killRuns; ++run) {
            QVERIFY2(prepare(), "The old state could not be laid out.");
            // One random moment in each of killRuns equal slices of the run, so
            // that no stretch of it goes without a kill.
            const qint64 sliceUs = std::max<qint64>(durationUs / killRuns, 1);
            const qint64 delayUs = run * sliceUs + qint64(random.bounded(quint32(sliceUs)));
            landed += runAndKillAfter(delayUs) ? 1 : 0;
            const QString context
                = QStringLiteral(" (run %1, killed after %2 us)").arg(run).arg(delayUs);
            QString found = problem(false);
            QVERIFY2(found.isEmpty(), qPrintable(found + context));
            QVERIFY2(runToTheEnd(),
                     qPrintable(QStringLiteral("The run after the kill did not "
                                               "finish the update.")
                                + context + diagnosis()));
            found = problem(true);
            QVERIFY2(found.isEmpty(), qPrintable(found + context));
        }
        qInfo("%d runs over %lld us each: %d killed while running", killRuns, durationUs, landed);
        // Most kills land while the update runs; a series in which few did
        // tested little.
        QVERIFY2(landed >= killRuns / 4, "Too few kills landed while the update ran.");
    }
};

QTEST_GUILESS_MAIN(TestKillRecovery)
#include "tst_killrecovery.moc"
