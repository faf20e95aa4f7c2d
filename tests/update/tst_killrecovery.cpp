// Each row runs an update in a process of its own and kills it with SIGKILL
// at a random moment of its run, many times over: whatever the moment, every
// file must be whole (old or new), the settings must load, and the next run
// must finish the update without leaving partial files behind.

#include "TestService.h"

#include "net/ApiBaseUrl.h"
#ifdef TARN_TEST_SERVICE_NGINX
#include "RealServer.h"
#endif

#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QJsonDocument>
#include <QProcess>
#include <QRandomGenerator>
#include <QRegularExpression>
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
const QString helperName = QFileInfo(QStringLiteral(TARN_UPDATE_HELPER)).fileName();
const QString settingsName = QStringLiteral("settings.dat");
const QString savingMarker = QStringLiteral("save-settings");
const QString knownUser = QStringLiteral("1084211");
const QDateTime serviceTime(QDate(2024, 3, 9), QTime(17, 45, 12), Qt::LocalTime);
const QDateTime oldTime(QDate(2023, 1, 2), QTime(8, 0, 0), Qt::LocalTime);

// One file that an update touches: what stands there before (nothing when
// absent), what the update must leave there, and what the service publishes.
struct TrackedFile
{
    QString path;
    std::optional<QByteArray> before;
    QByteArray after;
    QByteArray published;
};

QByteArray randomBytes(QRandomGenerator &random, int size)
{
    QVector<quint32> words((size + 3) / 4);
    random.fillRange(words.data(), words.size());
    return QByteArray(reinterpret_cast<const char *>(words.constData()), size);
}

// A sector update of 200 files below nested folders: community profiles and
// ASR files whose CRLF download the merge turns into bare line feeds around
// the user's keyed lines (kept byte for byte), large and small files; some
// absent, the others old.
QVector<TrackedFile> sectorFiles()
{
    QRandomGenerator random(6);
    QVector<TrackedFile> files;
    for (int i = 0; i < 200; ++i) {
        TrackedFile file;
        if (i < 12) {
            file.path = i % 2 == 0 ? QStringLiteral("Profiles/P%1/Brenmar.prf").arg(i)
                                   : QStringLiteral("Area%1/Sector_%2.asr").arg(i % 8).arg(i);
            const QByteArray n = QByteArray::number(i);
            const QByteArray user = "LastSession\tcallsign\tEDWW_CTR_" + n
                + "\r\nsounds\tALARM\tbeep" + n + ".wav\nSECTORFILE:C:\\Users\\controller\\Sector"
                + n + ".sct\r\n";
            if (i % 4 != 1)
                file.before = "Settings\tSYMBOLOGY\tOld.txt\r\n" + user + "Plugins\tOld.dll\r\n";
            file.published = "Settings\tSYMBOLOGY\tS" + n
                + "\r\nLastSession\tcallsign\tEDDF_APP\r\n" + "Plugins\tR" + n
                + ".dll\r\nVoice\tinput_hardware\tdefault\r\n";
            file.after = "Settings\tSYMBOLOGY\tS" + n + "\nPlugins\tR" + n + ".dll\n"
                + (file.before ? user : QByteArray());
        } else {
            const bool large = i < 16;
            file.path = large
                ? QStringLiteral("Large/big%1.sct").arg(i)
                : QStringLiteral("Area%1/Sub%2/file%3.txt").arg(i % 8).arg(i % 5).arg(i);
            if (large ? i % 2 == 0 : i % 3 != 0)
                file.before
                    = randomBytes(random, large ? 1024 * 1024 : int(random.bounded(64, 32768)));
            file.after
                = randomBytes(random, large ? 2 * 1024 * 1024 : int(random.bounded(1, 65536)));
            file.published = file.after;
        }
        files.append(file);
    }
    return files;
}

// A self-update of 50 program files, the running executable among them (a
// new build padded by 8 MiB, so that writing it takes a stretch of the run
// that the kills reach): it is set aside and the process restarts itself.
QVector<TrackedFile> programFiles()
{
    QRandomGenerator random(7);
    const QByteArray firstBuild = readFile(QStringLiteral(TARN_UPDATE_HELPER));
    const QByteArray secondBuild
        = firstBuild + "\nbuild 2\n" + randomBytes(random, 8 * 1024 * 1024);
    QVector<TrackedFile> files{{helperName, firstBuild, secondBuild, secondBuild}};
    for (int i = 1; i < 50; ++i) {
        TrackedFile file;
        file.path = QStringLiteral("%1/module%2.bin")
                        .arg(i % 2 ? QStringLiteral("lib") : QStringLiteral("data/sub"))
                        .arg(i);
        const int size = i % 16 == 0 ? 2 * 1024 * 1024 : int(random.bounded(1, 96 * 1024));
        if (i % 3 != 0)
            file.before = randomBytes(random, int(random.bounded(1, 32 * 1024)));
        file.after = file.published = randomBytes(random, size);
        files.append(file);
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

QByteArray settingsWithKnownUser()
{
    return settingsFileBytes(QJsonObject{{QStringLiteral("username"), knownUser}});
}

// The first tracked file below root that does not hold what it should,
// described as a sentence: after a kill its old or new content, after a
// complete run its new one. Empty when every file is right.
QString wrongFile(const QString &root, const QVector<TrackedFile> &files, bool complete)
{
    for (const TrackedFile &file : files) {
        const QString path = root + QLatin1Char('/') + file.path;
        if (!QFileInfo::exists(path) && (complete || file.before))
            return QStringLiteral("The file %1 is missing.").arg(file.path);
        const QByteArray now = readFile(path);
        if (QFileInfo::exists(path) && now != file.after && (complete || now != file.before))
            return QStringLiteral("The file %1 holds %2 bytes that are not its %3 content.")
                .arg(file.path)
                .arg(now.size())
                .arg(complete ? QStringLiteral("new") : QStringLiteral("old or new"));
    }
    return {};
}

// Whether settings.dat in folder loads as the settings store loads it, still
// holding the user that was stored before the update.
bool settingsLoad(const QString &folder)
{
    QT_WARNING_PUSH
    QT_WARNING_DISABLE_DEPRECATED
    const QJsonDocument document = QJsonDocument::fromBinaryData(
        readFile(folder + QLatin1Char('/') + settingsName), QJsonDocument::Validate);
    QT_WARNING_POP
    return document.object().value(QStringLiteral("username")).toString() == knownUser;
}

// Every file below root that is not expected and no run log of the helper.
QStringList strayFiles(const QString &root, const QSet<QString> &expected)
{
    QStringList stray;
    for (const QString &path : contents(snapshot(root)).keys()) {
        if (!expected.contains(path)
            && !QRegularExpression(QStringLiteral("^run-\\d+\\.txt$")).match(path).hasMatch())
            stray.append(path);
    }
    return stray;
}
} // namespace

class TestKillRecovery : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void updateSurvivesKills_data();
    void updateSurvivesKills();

private:
    // Lays out the state before the update: a fresh settings file, the old
    // files, and no run logs.
    bool prepare() const;
    void start();
    // Whether the run that has just ended finished its update.
    bool finished() const;
    // Starts the update and waits for its end; false when it did not end.
    bool runToTheEnd();
    // Starts the update and kills every process running from the program
    // folder after delayUs; whether it was still running then.
    bool runAndKillAfter(qint64 delayUs);

    std::unique_ptr<QTemporaryDir> m_content;
    std::unique_ptr<QTemporaryDir> m_program;
    std::unique_ptr<QTemporaryDir> m_sector;
    std::unique_ptr<QProcess> m_process;
    QVector<TrackedFile> m_files;
    bool m_self = false;
    quint32 m_seed = 0;
};

void TestKillRecovery::initTestCase()
{
#ifdef TARN_TEST_SERVICE_NGINX
    if (apiBaseUrl.isEmpty())
        QSKIP(qPrintable(RealServer::unavailableReason()));
#endif
    bool given = false;
    m_seed = qEnvironmentVariable("TARN_KILL_SEED").toUInt(&given);
    if (!given)
        m_seed = QRandomGenerator::system()->generate();
    qInfo("Kill seed: %u (set TARN_KILL_SEED to repeat these moments)", m_seed);
}

bool TestKillRecovery::prepare() const
{
    const QString updated = m_self ? m_program->path() : m_sector->path();
    QDir(updated).removeRecursively();
    for (const QString &log : QDir(m_program->path()).entryList({QStringLiteral("run-*.txt")}))
        QFile::remove(m_program->filePath(log));
    bool ok = QDir().mkpath(updated)
        && writeFile(m_program->filePath(settingsName), settingsWithKnownUser());
    for (const TrackedFile &file : m_files) {
        const QString path = updated + QLatin1Char('/') + file.path;
        if (file.before)
            ok = ok && writeFile(path, *file.before) && setModificationTime(path, oldTime);
    }
    if (m_self)
        ok = ok && writeFile(m_program->filePath(savingMarker), {})
            && QFile::setPermissions(m_program->filePath(helperName),
                                     QFile::permissions(QStringLiteral(TARN_UPDATE_HELPER)));
    return ok;
}

void TestKillRecovery::start()
{
    m_process = std::make_unique<QProcess>();
    m_process->setProcessEnvironment(serviceEnvironment());
    m_process->setWorkingDirectory(m_program->path());
    // Files rather than pipes: a restarted process inherits them.
    m_process->setStandardOutputFile(m_content->filePath(QStringLiteral("stdout.txt")));
    m_process->setStandardErrorFile(m_content->filePath(QStringLiteral("stderr.txt")));
    m_process->start(
        m_program->filePath(helperName),
        m_self ? QStringList()
               : QStringList{QStringLiteral("sector-update"), m_sector->path(), savingMarker});
    m_process->waitForStarted();
}

bool TestKillRecovery::finished() const
{
    if (!m_self)
        return m_process->exitStatus() == QProcess::NormalExit && m_process->exitCode() == 0
            && readFile(m_content->filePath(QStringLiteral("stdout.txt"))).trimmed() == "failed=0";
    // The runs of this update, the restarted one included, and no other.
    bool updated = false;
    for (const QString &log : QDir(m_program->path()).entryList({QStringLiteral("run-*.txt")})) {
        const QByteArray story = readFile(m_program->filePath(log));
        if (story.contains("errorFound"))
            return false;
        updated = updated || story.contains("selfUpdated");
    }
    return updated;
}

bool TestKillRecovery::runToTheEnd()
{
    start();
    return m_process->waitForFinished(processTimeoutMs)
        && waitUntil([&] { return processesRunningFrom(m_program->path()).isEmpty(); },
                     processTimeoutMs)
        && finished();
}

bool TestKillRecovery::runAndKillAfter(qint64 delayUs)
{
    QElapsedTimer clock;
    clock.start();
    start();
    const qint64 left = delayUs - clock.nsecsElapsed() / 1000;
    if (left > 0)
        QThread::usleep(quint64(left));
    const bool running = !processesRunningFrom(m_program->path()).isEmpty();
    // Also a process that a restart has just started.
    waitUntil(
        [&] {
            const QVector<pid_t> pids = processesRunningFrom(m_program->path());
            for (const pid_t pid : pids)
                ::kill(pid, SIGKILL);
            return pids.isEmpty();
        },
        processTimeoutMs);
    m_process->waitForFinished(processTimeoutMs);
    return running;
}

void TestKillRecovery::updateSurvivesKills_data()
{
    QTest::addColumn<bool>("self");
    QTest::newRow("sector update") << false;
    QTest::newRow("self-update") << true;
}

void TestKillRecovery::updateSurvivesKills()
{
    QFETCH(bool, self);
    m_self = self;
    m_content = std::make_unique<QTemporaryDir>();
    m_program = std::make_unique<QTemporaryDir>();
    m_sector = std::make_unique<QTemporaryDir>();
    QVERIFY2(m_content->isValid() && m_program->isValid() && m_sector->isValid(),
             "The temporary folders could not be made.");
    resetTestService(m_content->path());
    m_files = self ? programFiles() : sectorFiles();
    QVERIFY(QFile::copy(QStringLiteral(TARN_UPDATE_HELPER), m_program->filePath(helperName)));
    for (const TrackedFile &file : qAsConst(m_files)) {
        const QString path = m_content->filePath(
            (self ? QStringLiteral("client/") : QStringLiteral("sector/")) + file.path);
        QVERIFY2(writeFile(path, file.published) && setModificationTime(path, serviceTime),
                 "The new files could not be published.");
    }
    const QString updated = self ? m_program->path() : m_sector->path();
    QSet<QString> expectedUpdated;
    for (const TrackedFile &file : qAsConst(m_files))
        expectedUpdated.insert(file.path);
    const QSet<QString> expectedProgram = self
        ? expectedUpdated + QSet<QString>{settingsName, savingMarker}
        : QSet<QString>{helperName, settingsName};

    // The longest of three runs gives the duration, since the machine's load makes them vary.
    qint64 durationUs = 1;
    for (int run = 0; run < 3; ++run) {
        QVERIFY2(prepare(), "The old state could not be laid out.");
        QElapsedTimer clock;
        clock.start();
        QVERIFY2(runToTheEnd(), "An update that nobody interrupted did not finish.");
        durationUs = std::max(durationUs, clock.nsecsElapsed() / 1000);
        QCOMPARE(wrongFile(updated, m_files, true), QString());
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
        const QString broken = wrongFile(updated, m_files, false);
        QVERIFY2(broken.isEmpty(), qPrintable(broken + context));
        QVERIFY2(settingsLoad(m_program->path()),
                 qPrintable(QStringLiteral("The settings file no longer loads.") + context));

        QVERIFY2(runToTheEnd(),
                 qPrintable(QStringLiteral("The run after the kill did not finish the update.")
                            + context + QLatin1Char('\n')
                            + QString::fromUtf8(
                                readFile(m_content->filePath(QStringLiteral("stderr.txt"))))));
        const QString notUpdated = wrongFile(updated, m_files, true);
        QVERIFY2(notUpdated.isEmpty(), qPrintable(notUpdated + context));
        QVERIFY2(settingsLoad(m_program->path()),
                 qPrintable(QStringLiteral("The settings file no longer loads.") + context));
        const QStringList stray = strayFiles(m_program->path(), expectedProgram)
            + (self ? QStringList() : strayFiles(updated, expectedUpdated));
        QVERIFY2(stray.isEmpty(),
                 qPrintable(QStringLiteral("Files of interrupted writes were left: ")
                            + stray.join(QStringLiteral(", ")) + context));
    }
    qInfo("%d runs over %lld us each: %d killed while running", killRuns, durationUs, landed);
}

QTEST_GUILESS_MAIN(TestKillRecovery)
#include "tst_killrecovery.moc"
