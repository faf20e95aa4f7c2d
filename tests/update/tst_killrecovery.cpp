#include "TestService.h"

#include "net/ApiBaseUrl.h"
#ifdef TARN_TEST_SERVICE_NGINX
#include "RealServer.h"
#endif

#include <QDir>
#include <QDirIterator>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QSet>
#include <QTemporaryDir>
#include <QThread>
#include <QVector>

#include <signal.h>

#include <algorithm>
#include <memory>
#include <optional>

// Each series runs an update in a process of its own and kills it with SIGKILL
// at a random moment of its run, many times over: whatever the moment, every
// file must be whole (old or new), the settings must load, and the next run
// must finish the update without leaving partial files behind.

namespace {
#ifndef TARN_KILL_RUNS
#define TARN_KILL_RUNS 50
#endif
constexpr int killRuns = TARN_KILL_RUNS;
constexpr int measuredRuns = 3;
constexpr int sectorFiles = 200;
constexpr int programFiles = 50;
constexpr int executablePadding = 8 * 1024 * 1024;
constexpr int processTimeoutMs = 120000;
constexpr quint32 contentSeed = 6;
const QString helperName = QFileInfo(QStringLiteral(TARN_UPDATE_HELPER)).fileName();
const QString settingsName = QStringLiteral("settings.dat");
const QString savingMarker = QStringLiteral("save-settings");
const QString knownUser = QStringLiteral("1084211");
const QDateTime serviceTime(QDate(2024, 3, 9), QTime(17, 45, 12), Qt::LocalTime);
const QDateTime oldTime(QDate(2023, 1, 2), QTime(8, 0, 0), Qt::LocalTime);
const QRegularExpression runLog(QStringLiteral("^run-\\d+\\.txt$"));

// One file that an update touches, relative to its folder.
struct TrackedFile
{
    QString path;
    // What stands there before the update; nothing when the file is absent.
    std::optional<QByteArray> before;
    // What the update must leave there.
    QByteArray after;
};

QByteArray randomBytes(QRandomGenerator &random, int size)
{
    QVector<quint32> words((size + 3) / 4);
    random.fillRange(words.data(), words.size());
    return QByteArray(reinterpret_cast<const char *>(words.constData()), size);
}

// A community profile with CRLF endings and two keyed lines, which the merge
// drops, around lines that it keeps with bare line feeds.
QByteArray serviceProfile(int number)
{
    return QStringLiteral("Settings\tSettingsfileSYMBOLOGY\tSymbology%1.txt\r\n"
                          "LastSession\tcallsign\tEDDF_APP\r\n"
                          "Plugins\tPlugin0\tRadar%1.dll\r\n"
                          "Voice\tinput_hardware\tdefault\r\n"
                          "Settings\tSettingsfileSCREEN\tScreen%1.txt\r\n")
        .arg(number)
        .toUtf8();
}

QByteArray keptServiceLines(int number)
{
    return QStringLiteral("Settings\tSettingsfileSYMBOLOGY\tSymbology%1.txt\n"
                          "Plugins\tPlugin0\tRadar%1.dll\n"
                          "Settings\tSettingsfileSCREEN\tScreen%1.txt\n")
        .arg(number)
        .toUtf8();
}

// The user's keyed lines, exactly as stored: mixed endings, a marker in lower
// case and a path of the user's own.
QByteArray userKeyedLines(int number)
{
    return QStringLiteral("LastSession\tcallsign\tEDWW_CTR_%1\r\n"
                          "sounds\tALARM\tbeep%1.wav\n"
                          "SECTORFILE:C:\\Users\\controller\\Sector%1.sct\r\n")
        .arg(number)
        .toUtf8();
}

QByteArray userProfile(int number)
{
    return "Settings\tSettingsfileSYMBOLOGY\tOld.txt\r\n" + userKeyedLines(number)
        + "Plugins\tPlugin0\tOld.dll\r\n";
}

QString canonical(const QString &folder)
{
    return QFileInfo(folder).canonicalFilePath();
}

// The processes whose executable lies in folder: the update and any process
// that its restart started.
QVector<pid_t> processesRunningFrom(const QString &folder)
{
    const QString prefix = canonical(folder) + QLatin1Char('/');
    QVector<pid_t> pids;
    const QStringList entries = QDir(QStringLiteral("/proc")).entryList(QDir::Dirs);
    for (const QString &entry : entries) {
        bool isPid = false;
        const pid_t pid = pid_t(entry.toInt(&isPid));
        if (isPid
            && QFileInfo(QStringLiteral("/proc/%1/exe").arg(pid)).symLinkTarget().startsWith(prefix))
            pids.append(pid);
    }
    return pids;
}

// Kills every process running from folder, also one that a restart started
// just before, and waits until none is left.
bool killEverythingFrom(const QString &folder)
{
    return waitUntil(
        [&] {
            const QVector<pid_t> pids = processesRunningFrom(folder);
            for (const pid_t pid : pids)
                ::kill(pid, SIGKILL);
            return pids.isEmpty();
        },
        processTimeoutMs);
}

bool nothingRunsFrom(const QString &folder)
{
    return waitUntil([&] { return processesRunningFrom(folder).isEmpty(); }, processTimeoutMs);
}

// The first tracked file that is neither as it was nor as the update leaves
// it, described as a sentence; empty when every file is whole.
QString brokenFile(const QString &root, const QVector<TrackedFile> &files)
{
    for (const TrackedFile &file : files) {
        const QString path = root + QLatin1Char('/') + file.path;
        if (!QFileInfo::exists(path)) {
            if (file.before)
                return QStringLiteral("The file %1 that existed is missing.").arg(file.path);
            continue;
        }
        const QByteArray now = readFile(path);
        if (now != file.after && (!file.before || now != *file.before))
            return QStringLiteral("The file %1 holds %2 bytes that are neither its old nor its new "
                                  "content.")
                .arg(file.path)
                .arg(now.size());
    }
    return {};
}

QString notUpdatedFile(const QString &root, const QVector<TrackedFile> &files)
{
    for (const TrackedFile &file : files) {
        if (readFile(root + QLatin1Char('/') + file.path) != file.after)
            return QStringLiteral("The file %1 does not hold its new content.").arg(file.path);
    }
    return {};
}

int filesAlreadyNew(const QString &root, const QVector<TrackedFile> &files)
{
    return int(std::count_if(files.cbegin(), files.cend(), [&](const TrackedFile &file) {
        return file.before != file.after
            && readFile(root + QLatin1Char('/') + file.path) == file.after;
    }));
}

// Every file below root, hidden ones included, that is not named in expected
// and is no run log of the helper.
QStringList strayFiles(const QString &root, const QSet<QString> &expected)
{
    QStringList stray;
    const QDir base(root);
    QDirIterator walk(root, QDir::Files | QDir::Hidden | QDir::System, QDirIterator::Subdirectories);
    while (walk.hasNext()) {
        const QString relative = base.relativeFilePath(walk.next());
        if (!expected.contains(relative) && !runLog.match(relative).hasMatch())
            stray.append(relative);
    }
    return stray;
}

QByteArray settingsWithKnownUser()
{
    QT_WARNING_PUSH
    QT_WARNING_DISABLE_DEPRECATED
    return QJsonDocument(QJsonObject{{QStringLiteral("username"), knownUser}}).toBinaryData();
    QT_WARNING_POP
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

bool writeOldFile(const QString &path, const QByteArray &data)
{
    return writeFile(path, data) && setModificationTime(path, oldTime);
}

bool removeContents(const QString &folder)
{
    QDir dir(folder);
    return dir.removeRecursively() && dir.mkpath(folder);
}

// One kind of update, run again and again from the same old state.
class UpdateScenario
{
public:
    virtual ~UpdateScenario() = default;

    bool isValid() const { return m_program.isValid() && m_output.isValid(); }
    // Lays out the state before the update.
    virtual bool prepare() = 0;
    // The folder whose files the update replaces.
    virtual QString updatedFolder() const = 0;
    virtual QStringList arguments() const = 0;
    // Whether the run that has just ended finished its update.
    virtual bool finished() const = 0;
    // What the program folder may hold besides the run logs.
    virtual QSet<QString> programFolderFiles() const = 0;
    // What the updated folder may hold once the update is complete.
    virtual QSet<QString> updatedFolderFiles() const = 0;

    const QVector<TrackedFile> &files() const { return m_files; }
    QString programFolder() const { return m_program.path(); }

    void start()
    {
        m_process = std::make_unique<QProcess>();
        m_process->setProcessEnvironment(serviceEnvironment());
        m_process->setWorkingDirectory(programFolder());
        // Files rather than pipes: a restarted process inherits them.
        m_process->setStandardOutputFile(outputPath(QStringLiteral("stdout.txt")));
        m_process->setStandardErrorFile(outputPath(QStringLiteral("stderr.txt")));
        m_process->start(programFolder() + QLatin1Char('/') + helperName, arguments());
        m_process->waitForStarted();
    }

    // Starts the update and waits for its end; false when it did not end.
    bool runToTheEnd()
    {
        start();
        return m_process->waitForFinished(processTimeoutMs) && nothingRunsFrom(programFolder());
    }

    // Starts the update and kills it after delayUs; whether it was still
    // running then.
    bool runAndKillAfter(qint64 delayUs)
    {
        QElapsedTimer clock;
        clock.start();
        start();
        const qint64 left = delayUs - clock.nsecsElapsed() / 1000;
        if (left > 0)
            QThread::usleep(quint64(left));
        const bool running = !processesRunningFrom(programFolder()).isEmpty();
        killEverythingFrom(programFolder());
        m_process->waitForFinished(processTimeoutMs);
        return running;
    }

    QByteArray standardOutput() const { return readFile(outputPath(QStringLiteral("stdout.txt"))); }
    QByteArray standardError() const { return readFile(outputPath(QStringLiteral("stderr.txt"))); }

protected:
    QString programPath(const QString &name) const { return m_program.filePath(name); }
    QString outputPath(const QString &name) const { return m_output.filePath(name); }

    // A fresh settings file; earlier run logs go.
    bool resetProgramFolder() const
    {
        const QStringList logs = QDir(programFolder()).entryList({QStringLiteral("run-*.txt")});
        for (const QString &log : logs)
            QFile::remove(programPath(log));
        return writeFile(programPath(settingsName), settingsWithKnownUser());
    }

    bool publish(const QString &area, const TrackedFile &file, const QByteArray &content) const
    {
        const QString path = QString::fromStdString(testService().contentRoot()) + QLatin1Char('/')
            + area + QLatin1Char('/') + file.path;
        return writeFile(path, content) && setModificationTime(path, serviceTime);
    }

    QTemporaryDir m_program;
    QTemporaryDir m_output;
    QVector<TrackedFile> m_files;
    std::unique_ptr<QProcess> m_process;
};

// 200 sector files below nested folders: small and large ones, community
// profiles and ASR files with the user's lines, some absent, some old.
class SectorScenario : public UpdateScenario
{
public:
    SectorScenario()
    {
        QFile::copy(QStringLiteral(TARN_UPDATE_HELPER), programPath(helperName));
        QRandomGenerator random(contentSeed);
        for (int i = 0; i < sectorFiles; ++i) {
            TrackedFile file;
            if (i < 12) {
                file.path = i % 2 == 0 ? QStringLiteral("Profiles/P%1/Brenmar.prf").arg(i)
                                       : QStringLiteral("Area%1/Sector_%2.asr").arg(i % 8).arg(i);
                const bool userCopy = i % 4 != 1;
                if (userCopy)
                    file.before = userProfile(i);
                file.after = keptServiceLines(i) + (userCopy ? userKeyedLines(i) : QByteArray());
                m_published.append(serviceProfile(i));
            } else if (i < 16) {
                file.path = QStringLiteral("Large/big%1.sct").arg(i);
                if (i % 2 == 0)
                    file.before = randomBytes(random, 1024 * 1024);
                file.after = randomBytes(random, 2 * 1024 * 1024);
                m_published.append(file.after);
            } else {
                file.path = QStringLiteral("Area%1/Sub%2/file%3.txt").arg(i % 8).arg(i % 5).arg(i);
                if (i % 3 != 0)
                    file.before = randomBytes(random, int(random.bounded(64, 32 * 1024)));
                file.after = randomBytes(random, int(random.bounded(1, 64 * 1024)));
                m_published.append(file.after);
            }
            m_files.append(file);
        }
    }

    bool publishAll() const
    {
        for (int i = 0; i < m_files.size(); ++i) {
            if (!publish(QStringLiteral("sector"), m_files.at(i), m_published.at(i)))
                return false;
        }
        return true;
    }

    bool prepare() override
    {
        if (!resetProgramFolder() || !removeContents(m_sector.path()))
            return false;
        for (const TrackedFile &file : qAsConst(m_files)) {
            if (file.before && !writeOldFile(m_sector.filePath(file.path), *file.before))
                return false;
        }
        return true;
    }

    QString updatedFolder() const override { return m_sector.path(); }
    QStringList arguments() const override
    {
        return {QStringLiteral("sector-update"), m_sector.path(), savingMarker};
    }
    bool finished() const override
    {
        return m_process->exitStatus() == QProcess::NormalExit && m_process->exitCode() == 0
            && standardOutput().trimmed() == "failed=0";
    }
    QSet<QString> programFolderFiles() const override { return {helperName, settingsName}; }
    QSet<QString> updatedFolderFiles() const override
    {
        QSet<QString> names;
        for (const TrackedFile &file : qAsConst(m_files))
            names.insert(file.path);
        return names;
    }

private:
    QTemporaryDir m_sector;
    QByteArrayList m_published;
};

// 50 program files, the running executable among them, so the update sets
// it aside and restarts; the program folder is the helper's copy folder.
class SelfUpdateScenario : public UpdateScenario
{
public:
    SelfUpdateScenario()
    {
        QRandomGenerator random(contentSeed + 1);
        const QByteArray firstBuild = readFile(QStringLiteral(TARN_UPDATE_HELPER));
        // Padded, so that writing the new executable takes a stretch of the
        // run that the kills reach.
        m_files.append({helperName, firstBuild,
                        firstBuild + "\nbuild 2\n" + randomBytes(random, executablePadding)});
        for (int i = 1; i < programFiles; ++i) {
            TrackedFile file;
            file.path = QStringLiteral("%1/module%2.bin")
                            .arg(i % 2 ? QStringLiteral("lib") : QStringLiteral("data/sub"))
                            .arg(i);
            const int size = i % 16 == 0 ? 2 * 1024 * 1024 : int(random.bounded(1, 96 * 1024));
            if (i % 3 != 0)
                file.before = randomBytes(random, int(random.bounded(1, 32 * 1024)));
            file.after = randomBytes(random, size);
            m_files.append(file);
        }
    }

    bool publishAll() const
    {
        for (const TrackedFile &file : qAsConst(m_files)) {
            if (!publish(QStringLiteral("client"), file, file.after))
                return false;
        }
        return true;
    }

    bool prepare() override
    {
        if (!removeContents(programFolder()) || !resetProgramFolder()
            || !writeFile(programPath(savingMarker), {}))
            return false;
        for (const TrackedFile &file : qAsConst(m_files)) {
            if (file.before && !writeFile(programPath(file.path), *file.before))
                return false;
        }
        return QFile::setPermissions(programPath(helperName),
                                     QFile::permissions(QStringLiteral(TARN_UPDATE_HELPER)));
    }

    QString updatedFolder() const override { return programFolder(); }
    QStringList arguments() const override { return {}; }
    bool finished() const override
    {
        // The runs of this update, the restarted one included, and no other.
        bool updated = false;
        const QStringList logs = QDir(programFolder()).entryList({QStringLiteral("run-*.txt")});
        for (const QString &log : logs) {
            const QByteArray story = readFile(programPath(log));
            if (story.contains("errorFound"))
                return false;
            updated = updated || story.contains("selfUpdated");
        }
        return updated;
    }
    QSet<QString> programFolderFiles() const override
    {
        QSet<QString> names{settingsName, savingMarker};
        for (const TrackedFile &file : qAsConst(m_files))
            names.insert(file.path);
        return names;
    }
    QSet<QString> updatedFolderFiles() const override { return programFolderFiles(); }
};

quint32 killSeed()
{
    bool given = false;
    const quint32 seed = qEnvironmentVariable("TARN_KILL_SEED").toUInt(&given);
    return given ? seed : QRandomGenerator::system()->generate();
}
} // namespace

class TestKillRecovery : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();

    void sectorUpdateSurvivesKills();
    void selfUpdateSurvivesKills();

private:
    void killRepeatedly(UpdateScenario &scenario, quint32 seed);

    std::unique_ptr<QTemporaryDir> m_content;
    quint32 m_seed = 0;
};

void TestKillRecovery::initTestCase()
{
#ifdef TARN_TEST_SERVICE_NGINX
    if (apiBaseUrl.isEmpty())
        QSKIP(qPrintable(RealServer::unavailableReason()));
#endif
    m_content = std::make_unique<QTemporaryDir>();
    QVERIFY2(m_content->isValid(), "The temporary content folder could not be made.");
    resetTestService(m_content->path());
    m_seed = killSeed();
    qInfo("Kill seed: %u (set TARN_KILL_SEED to repeat these moments)", m_seed);
}

void TestKillRecovery::killRepeatedly(UpdateScenario &scenario, quint32 seed)
{
    // The longest of a few runs, since the machine's load makes them vary.
    qint64 durationUs = 1;
    for (int run = 0; run < measuredRuns; ++run) {
        QVERIFY2(scenario.prepare(), "The old state could not be laid out.");
        QElapsedTimer clock;
        clock.start();
        QVERIFY2(scenario.runToTheEnd() && scenario.finished(),
                 "An update that nobody interrupted did not finish.");
        durationUs = std::max(durationUs, clock.nsecsElapsed() / 1000);
        QCOMPARE(notUpdatedFile(scenario.updatedFolder(), scenario.files()), QString());
    }

    QRandomGenerator random(seed);
    int landed = 0;
    int fewestNew = int(scenario.files().size());
    int mostNew = 0;
    for (int run = 0; run < killRuns; ++run) {
        QVERIFY2(scenario.prepare(), "The old state could not be laid out.");
        // One random moment in each of killRuns equal slices of the run, so
        // that no stretch of it goes without a kill.
        const qint64 sliceUs = std::max<qint64>(durationUs / killRuns, 1);
        const qint64 delayUs = run * sliceUs + qint64(random.bounded(quint32(sliceUs)));
        if (scenario.runAndKillAfter(delayUs))
            ++landed;
        const QString context
            = QStringLiteral(" (run %1, killed after %2 us)").arg(run).arg(delayUs);

        const QString broken = brokenFile(scenario.updatedFolder(), scenario.files());
        QVERIFY2(broken.isEmpty(), qPrintable(broken + context));
        QVERIFY2(settingsLoad(scenario.programFolder()),
                 qPrintable(QStringLiteral("The settings file no longer loads.") + context));
        const int alreadyNew = filesAlreadyNew(scenario.updatedFolder(), scenario.files());
        fewestNew = std::min(fewestNew, alreadyNew);
        mostNew = std::max(mostNew, alreadyNew);

        QVERIFY2(scenario.runToTheEnd() && scenario.finished(),
                 qPrintable(QStringLiteral("The run after the kill did not finish the update.")
                            + context + QLatin1Char('\n')
                            + QString::fromUtf8(scenario.standardError())));
        const QString notUpdated = notUpdatedFile(scenario.updatedFolder(), scenario.files());
        QVERIFY2(notUpdated.isEmpty(), qPrintable(notUpdated + context));
        QVERIFY2(settingsLoad(scenario.programFolder()),
                 qPrintable(QStringLiteral("The settings file no longer loads.") + context));
        const QStringList strayUpdated
            = strayFiles(scenario.updatedFolder(), scenario.updatedFolderFiles());
        QVERIFY2(strayUpdated.isEmpty(),
                 qPrintable(QStringLiteral("Files of interrupted writes were left in the updated "
                                           "folder: ")
                            + strayUpdated.join(QStringLiteral(", ")) + context));
        const QStringList strayProgram
            = strayFiles(scenario.programFolder(), scenario.programFolderFiles());
        QVERIFY2(strayProgram.isEmpty(),
                 qPrintable(QStringLiteral("Files of interrupted writes were left in the program "
                                           "folder: ")
                            + strayProgram.join(QStringLiteral(", ")) + context));
    }
    qInfo("%d runs over %lld us each: %d killed while running; %d to %d files already new at "
          "the kill",
          killRuns, durationUs, landed, fewestNew, mostNew);
}

void TestKillRecovery::sectorUpdateSurvivesKills()
{
    SectorScenario scenario;
    QVERIFY2(scenario.isValid(), "The temporary folders could not be made.");
    QVERIFY2(scenario.publishAll(), "The sector files could not be published.");
    killRepeatedly(scenario, m_seed);
}

void TestKillRecovery::selfUpdateSurvivesKills()
{
    SelfUpdateScenario scenario;
    QVERIFY2(scenario.isValid(), "The temporary folders could not be made.");
    QVERIFY2(scenario.publishAll(), "The program files could not be published.");
    killRepeatedly(scenario, m_seed + 1);
}

QTEST_GUILESS_MAIN(TestKillRecovery)
#include "tst_killrecovery.moc"
