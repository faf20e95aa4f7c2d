// The handlers QML talks to, each on real files and over loopback against
// the development service: the settings store, the login, the sector update,
// the self-update (in this process and as a program of its own that replaces
// its running executable) and the start of the outside programs.

#include "HelperProcess.h"

#include "handlers/ApplicationHandler.h"
#include "handlers/SelfUpdateHandler.h"
#include "handlers/SettingsHandler.h"
#include "handlers/UpdateHandler.h"
#include "handlers/UserHandler.h"
#include "net/RequestSender.h"
#include "platform/Platform.h"

#include <QCoreApplication>
#include <QDir>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QSettings>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTimer>

namespace {
const QString demoCid = QStringLiteral("1234567");
// Digests written by sha1sum, not by the code under test.
const QString demoDigest = QStringLiteral("fd92d2d6ef08152f1527ff45e2ebc006bb25e2c4");
const QString euroscopeKey
    = QStringLiteral("HKEY_CURRENT_USER\\Software\\Dorvan Keleth\\EuroScope\\Settings");
const QString voiceClientKey
    = QStringLiteral("HKEY_LOCAL_MACHINE\\SOFTWARE\\WOW6432Node\\VATSIM\\Audio For VATSIM");
const QString lastProfile = QStringLiteral("LastProfile");
const QString previousProfile = QStringLiteral("previous.prf");
// A process of the helper names the file it runs from: a restart must run the
// new file, not the copy set aside.
const QString startLine = QStringLiteral("start ") + helperName();

QString programFile(const QString &relative)
{
    return QCoreApplication::applicationDirPath() + QLatin1Char('/') + relative;
}

// Empties the registry keys the launcher reads and writes.
void clearRegistry()
{
#ifdef Q_OS_WIN
    for (const QString &key : {euroscopeKey, voiceClientKey})
        QSettings(key, QSettings::NativeFormat).clear();
#else
    QDir(QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation)
         + QStringLiteral("/Tarn/registry"))
        .removeRecursively();
#endif
}

// Registers the voice client's folder as its installer does: a 32-bit
// program, so on Windows into the 32-bit view, which a 64-bit program finds
// below WOW6432Node.
bool registerVoiceClient(const QString &folder)
{
#ifdef Q_OS_WIN
    QSettings view(QStringLiteral("HKEY_LOCAL_MACHINE\\SOFTWARE\\VATSIM\\Audio For VATSIM"),
                   QSettings::Registry32Format);
    view.setValue(QStringLiteral("Path"), folder);
    view.sync();
    return view.status() == QSettings::NoError;
#else
    return Platform::setRegistryValue(voiceClientKey, QStringLiteral("Path"), folder);
#endif
}

// The processes of the helper that ran in folder, by pid, with the lines each wrote.
QHash<qint64, QStringList> helperRuns(const QString &folder)
{
    QHash<qint64, QStringList> runs;
    for (const QString &log : QDir(folder).entryList({QStringLiteral("run-*.txt")}, QDir::Files))
        runs.insert(log.mid(4, log.size() - 8).toLongLong(),
                    QString::fromUtf8(readFile(folder + QLatin1Char('/') + log))
                        .split(QLatin1Char('\n'), Qt::SkipEmptyParts));
    return runs;
}
} // namespace

class TestHandlers : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase()
    {
        qRegisterMetaType<QNetworkReply *>();
        // Test mode alone would share ~/.qttest with every other test program
        // running at the same time: a home of its own keeps the registry stand-in
        // and the local application data folder to this run. Windows names
        // its folders in the environment, in any letter case.
        qputenv("HOME", QFile::encodeName(home.path()));
        qputenv("LocalAppData", QFile::encodeName(QDir::toNativeSeparators(home.path())));
        qputenv("ProgramFiles", QFile::encodeName(QDir::toNativeSeparators(work.path())));
        QStandardPaths::setTestModeEnabled(true);
        QVERIFY(QDir::fromNativeSeparators(Platform::localAppDataFolder()).startsWith(home.path()));
        // As start-up does in a process that its self-update restarted: it makes
        // the other handlers, the settings store among them, and its self-update
        // runs against an empty service. The programs it starts must not inherit
        // the marker.
        qputenv("TARN_SELF_RESTARTED", "1");
        QSignalSpy replies(RequestSender::sharedManager(), &QNetworkAccessManager::finished);
        launcher = new ApplicationHandler(this);
        QVERIFY(waitForSignals(replies));
        // Owned here, so that they go at exit although the tests make handlers of their own.
        for (QObject *made :
             std::initializer_list<QObject *>{settings(), QmlSingletonType<UserHandler>::instance,
                                              QmlSingletonType<UpdateHandler>::instance,
                                              QmlSingletonType<SelfUpdateHandler>::instance})
            made->setParent(this);
        QVERIFY(QDir().mkpath(voiceClientFolder) && QDir().mkpath(sectorFolder));
    }

    void init()
    {
        QVERIFY((content = std::make_unique<QTemporaryDir>())->isValid());
        resetTestService(content->path());
        QVERIFY(writeSettingsFile({}) && settings()->loadSettings());
        removeSettingsFile();
    }

    void cleanup()
    {
        clearRegistry();
        for (const QString &file :
             {programFile(QStringLiteral("data.txt")), programFile(QStringLiteral("blocked")),
              programFile(QStringLiteral("extra.txt.delete")), euroscope, voiceClient, profile,
              discord()})
            // Windows keeps a stand-in that has not quite ended from going.
            for (const QString &path : QStringList{file, file + QStringLiteral(".run")})
                QVERIFY(waitUntil([&] { return !QFile::exists(path) || QFile::remove(path); }));
        removeSettingsFile();
    }

    // ---------------------------------------------------------------------------
    // SettingsHandler

    // Whatever a file that opens holds, it loads; invalid content empties the
    // store. EuroScope has a usual folder.
    void settingsStore()
    {
        const QString url = QStringLiteral("file:///sectors");
        // The first root exactly fills its file. A root size near 4 GiB wraps
        // around in Qt's own size check, which then lets its reader run far
        // beyond the data.
        for (const auto &[file, sectorPath] :
             {std::pair{settingsFileBytes({{QStringLiteral("sectorPath"), url}}), url},
              std::pair{QByteArray("qbjs\x01\x00\x00\x00\xff\xff\xff\xff\x0b\x00\x00\x00", 16)
                            .append(200, '\xee'),
                        QString()}}) {
            QVERIFY(writeFile(SettingsHandler::settingsFilePath(), file));
            settings()->insert(QStringLiteral("stale"), QStringLiteral("value"));
            QVERIFY(settings()->loadSettings() && !settings()->contains(QStringLiteral("stale")));
            QCOMPARE(settings()->sectorPath(), sectorPath);
        }
        // EuroScope's usual folder: below the standard Program Files folder,
        // which Windows names in its environment; elsewhere below "/opt".
#ifdef Q_OS_WIN
        const QString programFiles = work.path();
#else
        const QString programFiles = QStringLiteral("/opt");
#endif
        QCOMPARE(settings()->getDefaultEuroscopePath(),
                 QDir::toNativeSeparators(programFiles + QStringLiteral("/EuroScope")));
    }

    // ---------------------------------------------------------------------------
    // UserHandler, against the sample service's account

    void logIn_data()
    {
        QTest::addColumn<QString>("typed");
        QTest::addColumn<QString>("sent");
        QTest::addColumn<QByteArray>("ratingNumber");
        QTest::addColumn<QString>("rating");
        const QString ctr1 = QStringLiteral("CTR1");
        // The login page shows the remembered digest in the password field.
        QTest::newRow("remembered digest sent as it is")
            << demoDigest << demoDigest << QByteArray() << ctr1;
        QTest::newRow("non-ASCII password")
            << QString::fromUtf8("Grüße aus Zürich ✈")
            << QStringLiteral("8f5f5e14d1dff2eb65fbe443372cb4778ae64fd3") << QByteArray("5")
            << ctr1;
        QTest::newRow("rating 13, past the table")
            << QStringLiteral("tarn-demo") << demoDigest << QByteArray("13")
            << QStringLiteral("previous");
    }

    void logIn()
    {
        QFETCH(QString, typed);
        QFETCH(QString, sent);
        QFETCH(QByteArray, ratingNumber);
        QFETCH(QString, rating);
        testService().setContentRoot(TARN_TEST_DATA_DIR "/../../samples/service");
        if (!ratingNumber.isEmpty())
            testService().setListOverride(
                "login.php",
                "{\"cid\": \"1234567\", \"rating\": " + ratingNumber.toStdString() + '}');
        settings()->insert(QStringLiteral("sectorPath"), QStringLiteral("file:///sectors"));
        if (typed == demoDigest) {
            settings()->insert(QStringLiteral("username"), demoCid);
            settings()->insert(QStringLiteral("hashedPassword"), demoDigest);
        }
        UserHandler user;
        user.setRating(QStringLiteral("previous"));
        SignalRecorder recorder(&user);
        user.logIn(demoCid, typed);
        QVERIFY(waitUntil([&] { return !recorder.events.isEmpty(); }));
        QCOMPARE(recorder.events, QStringList{QStringLiteral("loginCompleted()")});
        QCOMPARE(requestFields(QStringLiteral("login.php")),
                 (QList<QHash<QString, QString>>{
                     {{QStringLiteral("vatsimid"), demoCid}, {QStringLiteral("password"), sent}}}));
        QCOMPARE(user.rating(), rating);
        QCOMPARE(
            readFile(SettingsHandler::settingsFilePath()),
            settingsFileBytes({{QStringLiteral("username"), demoCid},
                               {QStringLiteral("hashedPassword"), sent},
                               {QStringLiteral("sectorPath"), QStringLiteral("file:///sectors")}}));
    }

    // ---------------------------------------------------------------------------
    // SelfUpdateHandler, in this process on its own folder

    void selfUpdate_data()
    {
        QTest::addColumn<bool>("blocked");
        QTest::addColumn<QString>("reason");
        QTest::newRow("download refused for its hash")
            << false << QStringLiteral("the download does not match its listed hash");
        QTest::newRow("write that fails")
            << true << QStringLiteral("a file could not be written to the disk");
    }

    // A program file refused for its hash, or one that cannot be written,
    // fails the update with its reason once the batch ends, not from the
    // watchdog, which then stops; the comparison clears what an earlier
    // update set aside.
    void selfUpdate()
    {
        QFETCH(bool, blocked);
        QFETCH(QString, reason);
        // Outdated where its download is refused.
        const QByteArray local = blocked ? "data" : "working data";
        QVERIFY(publish(QStringLiteral("client/data.txt"), "data"));
        QVERIFY(writeFile(programFile(QStringLiteral("data.txt")), local)
                && writeFile(programFile(QStringLiteral("extra.txt.delete")), "set aside earlier"));
        // A file where a folder should be.
        QVERIFY(!blocked
                || (publish(QStringLiteral("client/blocked/file.txt"), "cannot land")
                    && writeFile(programFile(QStringLiteral("blocked")), "file")));
        if (!blocked)
            testService().setWrongHash("data.txt");
        SelfUpdateHandler handler;
        SignalRecorder recorder(&handler);
        const auto *watchdog = handler.findChild<QTimer *>(QStringLiteral("selfUpdateWatchdog"));
        QVERIFY(watchdog && watchdog->isActive());
        QVERIFY(waitUntil([&] { return !recorder.events.isEmpty(); }));
        QCOMPARE(recorder.events,
                 (QStringList{
                     QStringLiteral("errorReasonChanged(1 program file could not be updated: %1)")
                         .arg(reason),
                     QStringLiteral("errorFound()")}));
        QVERIFY(!watchdog->isActive());
        QCOMPARE(requestsTo("/api/tarn/downloadFile.php").size(), size_t(1));
        QCOMPARE(readFile(programFile(QStringLiteral("data.txt"))), local);
        // Set aside by an earlier update.
        QVERIFY(!QFile::exists(programFile(QStringLiteral("extra.txt.delete"))));
    }

    void programInUse_data()
    {
        QTest::addColumn<bool>("newerOnRestart");
        QTest::newRow("replaced and restarted once") << false;
        // A newer build appears while the restarted process starts: it would need
        // to restart once more.
        QTest::newRow("restarted process does not restart again") << true;
    }

    // The helper runs as a program of its own from a temporary program folder:
    // each of its processes writes run-<pid>.txt there and waits for a go-<pid>
    // file before it starts its update.
    void programInUse()
    {
        QFETCH(bool, newerOnRestart);
        QTemporaryDir folder;
        const QString program = folder.filePath(helperName());
        QVERIFY(copyHelperInto(folder.path())
                && writeFile(folder.filePath(QStringLiteral("gate")), {}));
        const QByteArray firstBuild = readFile(program);
        const auto build = [&](char n) -> QByteArray { return firstBuild + "\nbuild " + n + '\n'; };
        QVERIFY(publish(QStringLiteral("client/") + helperName(), build('2')));

        // A program of the same name where the restart runs: the new one must
        // still come from the program folder.
        QTemporaryDir decoy;
        QVERIFY(placeStandIn(decoy.filePath(helperName())));
        QProcess first;
        // Not a pipe: a restarted process inherits it and outlives this one.
        first.setStandardOutputFile(QProcess::nullDevice());
        first.setStandardErrorFile(QProcess::nullDevice());
        startHelper(first, folder.path(), {}, decoy.path());
        QVERIFY(first.waitForStarted());
        const qint64 firstPid = first.processId();
        QVERIFY(writeFile(folder.filePath(QStringLiteral("go-%1").arg(firstPid)), {}));
        QVERIFY(first.waitForFinished(120000) && first.exitCode() == 0);
        // Set aside for a new executable file.
        QVERIFY(readFile(program + QStringLiteral(".delete")) == firstBuild
                && QFileInfo(program).isExecutable());
        QVERIFY(waitUntil([&] { return helperRuns(folder.path()).size() == 2; }, 120000));
        const QList<qint64> pids = helperRuns(folder.path()).keys();
        const qint64 restarted = pids.value(pids.indexOf(firstPid) == 0 ? 1 : 0);
        QVERIFY(!newerOnRestart || publish(QStringLiteral("client/") + helperName(), build('3')));
        QVERIFY(writeFile(folder.filePath(QStringLiteral("go-%1").arg(restarted)), {}));
        QVERIFY(waitUntil([&] { return helperRuns(folder.path()).value(restarted).size() >= 2; },
                          120000));
        QCOMPARE(helperRuns(folder.path()),
                 (QHash<qint64, QStringList>{
                     {firstPid, {startLine, QStringLiteral("quit")}},
                     {restarted,
                      {startLine, QLatin1String(newerOnRestart ? "errorFound" : "selfUpdated")}}}));
        QCOMPARE(readFile(program), build(newerOnRestart ? '3' : '2'));
        QVERIFY(newerOnRestart || !QFile::exists(program + QStringLiteral(".delete")));
        // A program of the same name outside the program folder did not run.
        QVERIFY(!QFile::exists(decoy.filePath(helperName() + QStringLiteral(".run"))));
    }

    // ---------------------------------------------------------------------------
    // ApplicationHandler, with shell scripts standing in for the outside programs

    void startPrograms_data()
    {
        QTest::addColumn<bool>("euroscopeInstalled");
        QTest::addColumn<bool>("profileInSectorFolder");
        QTest::addColumn<bool>("voiceClientRegistered");
        QTest::newRow("everything installed") << true << true << true;
        QTest::newRow("no profile in the sector folder") << true << false << true;
        QTest::newRow("no voice client registered") << true << true << false;
        // With the voice client missing, any attempt to start it would show.
        QTest::newRow("EuroScope missing") << false << true << false;
    }

    // EuroScope starts with the community profile as its last one, when the
    // profile exists, and the voice client beside it; the quoted command lines
    // keep the blanks in the folder names, pass no argument and leave the
    // working directory as it was. Discord's updater, below the local
    // application data folder, starts Discord with its two arguments.
    void startPrograms()
    {
        QFETCH(bool, euroscopeInstalled);
        QFETCH(bool, profileInSectorFolder);
        QFETCH(bool, voiceClientRegistered);
        QVERIFY((!euroscopeInstalled || placeStandIn(euroscope)) && placeStandIn(voiceClient)
                && placeStandIn(discord())
                && writeFile(profile, "LastSession\tcallsign\tBRM_APP\r\n"));
        // The installer's value ends in a separator; a registered folder without
        // the program counts as none.
        QVERIFY(registerVoiceClient(
            QDir::toNativeSeparators(voiceClientRegistered ? voiceClientFolder : work.path())
            + QDir::separator()));
        QVERIFY(Platform::setRegistryValue(euroscopeKey, lastProfile, previousProfile));
        settings()->setEuroscopePath(fileUrl(euroscope));
        settings()->setSectorPath(fileUrl(profileInSectorFolder ? sectorFolder : work.path()));
        SignalRecorder recorder(launcher);
        launcher->startEuroscope();
        launcher->startDiscord();
        QCOMPARE(recorder.events.join(QString()),
                 !euroscopeInstalled          ? QStringLiteral("launchError(Euroscope not found)")
                     : !voiceClientRegistered ? QStringLiteral("afvError()")
                                              : QString());
        const QString expectedProfile = euroscopeInstalled && profileInSectorFolder
            ? QDir::toNativeSeparators(profile)
            : previousProfile;
        QCOMPARE(Platform::registryValue(euroscopeKey, lastProfile), expectedProfile);
        QCOMPARE(waitForRecord(discord()).mid(0, 4),
                 (QStringList{QDir::current().canonicalPath(), QStringLiteral("2"),
                              QStringLiteral("--processStart"), QStringLiteral("Discord.exe")}));
        if (!euroscopeInstalled)
            return;
        // EuroScope reads its profile from the registry when it starts.
        QCOMPARE(waitForRecord(euroscope),
                 (QStringList{QDir::current().canonicalPath(), QStringLiteral("0"), QString(),
                              expectedProfile}));
        if (voiceClientRegistered)
            QCOMPARE(waitForRecord(voiceClient).mid(0, 3),
                     (QStringList{QDir(voiceClientFolder).canonicalPath(), QStringLiteral("0"),
                                  QString()}));
    }

private:
    // Read once the environment names the test's folders.
    static QString discord()
    {
        return Platform::localAppDataFolder() + QStringLiteral("/Discord/Update.exe");
    }
    bool publish(const QString &relative, const QByteArray &data) const
    {
        return writeFile(content->filePath(relative), data);
    }

    QTemporaryDir home, work;
    std::unique_ptr<QTemporaryDir> content;
    ApplicationHandler *launcher = nullptr;
    const QString euroscope = work.filePath(QStringLiteral("Euro Scope/EuroScope.exe"));
    const QString voiceClientFolder = work.filePath(QStringLiteral("Audio For VATSIM"));
    const QString voiceClient = voiceClientFolder + QStringLiteral("/AudioForVATSIM.exe");
    const QString sectorFolder = work.filePath(QStringLiteral("Sector Files"));
    const QString profile = sectorFolder + QStringLiteral("/Brenmar.prf");
};

QTEST_MAIN(TestHandlers)
#include "tst_handlers.moc"
