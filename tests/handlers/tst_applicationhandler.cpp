#include "TestService.h"

#include "handlers/ApplicationHandler.h"
#include "handlers/SettingsHandler.h"
#include "platform/Platform.h"

#include <QDesktopServices>
#include <QDir>
#include <QFile>
#include <QMetaProperty>
#include <QSignalSpy>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QUrl>

namespace {
const QString euroscopeKey
    = QStringLiteral("HKEY_CURRENT_USER\\Software\\Dorvan Keleth\\EuroScope\\Settings");
const QString voiceClientKey
    = QStringLiteral("HKEY_LOCAL_MACHINE\\SOFTWARE\\WOW6432Node\\VATSIM\\Audio For VATSIM");
const QString lastProfile = QStringLiteral("LastProfile");

QString registryFolder()
{
    return QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation)
        + QStringLiteral("/Tarn/registry");
}

// Where the registry stand-in keeps EuroScope's settings key.
QString euroscopeKeyFile()
{
    return registryFolder()
        + QStringLiteral("/HKEY_CURRENT_USER/Software/Dorvan Keleth/EuroScope/Settings.ini");
}

// A stand-in for an outside program: a shell script that records its working
// directory, its argument count and its arguments, one per line, in
// "<path>.run" (renamed into place, so the record is whole once it exists).
// The extra command's output is appended to the record.
bool writeWitness(const QString &path, const QString &extraCommand = QString())
{
    const QString record = path + QStringLiteral(".run");
    const QString script
        = QStringLiteral(
              "#!/bin/sh\n{ pwd -P; echo \"$#\"; for a in \"$@\"; do printf '%s\\n' \"$a\"; done; ")
        + extraCommand + QStringLiteral(" } > '") + record + QStringLiteral(".part'; mv '") + record
        + QStringLiteral(".part' '") + record + QStringLiteral("'\n");
    return writeFile(path, script.toUtf8())
        && QFile::setPermissions(path, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
}

// The lines a witness recorded, once it has run.
QStringList waitForRecord(const QString &path)
{
    const QString record = path + QStringLiteral(".run");
    if (!waitUntil([&] { return QFile::exists(record); }, 30000))
        return {};
    return QString::fromUtf8(readFile(record)).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
}

QString canonical(const QString &path)
{
    return QDir(path).canonicalPath();
}
} // namespace

class TestApplicationHandler : public QObject
{
    Q_OBJECT

public Q_SLOTS:
    // Stands in for the browser.
    void openUrl(const QUrl &url) { openedUrls.append(url); }

private Q_SLOTS:
    void initTestCase();
    void init();
    void cleanupTestCase();

    void buildLabel();
    void startsEuroscopeWithCommunityProfileAndVoiceClient();
    void missingProfileLeavesRegistryAlone_data();
    void missingProfileLeavesRegistryAlone();
    void missingVoiceClientRaisesAfvError_data();
    void missingVoiceClientRaisesAfvError();
    void nothingHappensWithoutEuroscope_data();
    void nothingHappensWithoutEuroscope();
    void startsDiscordUpdater();
    void opensInvitationWithoutDiscord();

private:
    void installEuroscope();
    void installVoiceClient();
    void installCommunityProfile();

    QTemporaryDir home;
    QTemporaryDir work;
    ApplicationHandler *launcher = nullptr;
    QList<QUrl> openedUrls;
    QString euroscope;
    QString voiceClientFolder;
    QString voiceClient;
    QString sectorFolder;
    QString profile;
    QString discordUpdater;
};

void TestApplicationHandler::initTestCase()
{
    QVERIFY2(home.isValid() && work.isValid(), "Temporary folders could be made.");
    // Test mode alone would share ~/.qttest with every other test program
    // running at the same time: a home of its own keeps the registry stand-in
    // and the local application data folder to this run.
    qputenv("HOME", QFile::encodeName(home.path()));
    QStandardPaths::setTestModeEnabled(true);
    QVERIFY2(registryFolder().startsWith(home.path()),
             "The registry stand-in lies in the temporary home.");

    QFile::remove(SettingsHandler::settingsFilePath());
    launcher = new ApplicationHandler;
    QDesktopServices::setUrlHandler(QStringLiteral("https"), this, "openUrl");

    euroscope = work.filePath(QStringLiteral("Euro Scope/EuroScope.exe"));
    voiceClientFolder = work.filePath(QStringLiteral("Audio For VATSIM"));
    voiceClient = voiceClientFolder + QStringLiteral("/AudioForVATSIM.exe");
    sectorFolder = work.filePath(QStringLiteral("Sector Files"));
    profile = sectorFolder + QStringLiteral("/Brenmar.prf");
    discordUpdater = Platform::localAppDataFolder() + QStringLiteral("/Discord/Update.exe");
    QVERIFY2(discordUpdater.startsWith(home.path()),
             "The local application data folder lies in the temporary home.");
    QVERIFY(QDir().mkpath(voiceClientFolder));
    QVERIFY(QDir().mkpath(sectorFolder));
}

void TestApplicationHandler::init()
{
    QVERIFY(QDir(registryFolder()).removeRecursively());
    for (const QString &path : QStringList{euroscope, voiceClient, profile, discordUpdater}) {
        QFile::remove(path);
        QFile::remove(path + QStringLiteral(".run"));
    }
    settings()->setEuroscopePath(QString());
    settings()->setSectorPath(QString());
    openedUrls.clear();
}

void TestApplicationHandler::cleanupTestCase()
{
    QDesktopServices::unsetUrlHandler(QStringLiteral("https"));
    QFile::remove(SettingsHandler::settingsFilePath());
}

void TestApplicationHandler::installEuroscope()
{
    // EuroScope reads its profile from the registry when it starts: record
    // what the key held at that moment.
    QVERIFY(writeWitness(
        euroscope, QStringLiteral("cat '") + euroscopeKeyFile() + QStringLiteral("' 2>/dev/null;")));
    settings()->setEuroscopePath(fileUrl(euroscope));
}

void TestApplicationHandler::installVoiceClient()
{
    QVERIFY(writeWitness(voiceClient));
    // The installer's value ends in a separator.
    QVERIFY(Platform::setRegistryValue(voiceClientKey, QStringLiteral("Path"),
                                       QDir::toNativeSeparators(voiceClientFolder)
                                           + QDir::separator()));
}

void TestApplicationHandler::installCommunityProfile()
{
    QVERIFY(writeFile(profile, "LastSession\tcallsign\tBRM_APP\r\n"));
    settings()->setSectorPath(fileUrl(sectorFolder));
}

void TestApplicationHandler::buildLabel()
{
    QCOMPARE(launcher->buildNumberString(), QStringLiteral("Build 101"));
    const QMetaObject *meta = launcher->metaObject();
    const QMetaProperty property = meta->property(meta->indexOfProperty("buildNumberString"));
    QVERIFY2(property.isConstant(), "QML may read the build label once.");
    QCOMPARE(property.read(launcher).toString(), QStringLiteral("Build 101"));
}

void TestApplicationHandler::startsEuroscopeWithCommunityProfileAndVoiceClient()
{
    installEuroscope();
    installVoiceClient();
    installCommunityProfile();
    QSignalSpy afvError(launcher, &ApplicationHandler::afvError);

    launcher->startEuroscope();
    QCOMPARE(afvError.count(), 0);

    const QString nativeProfile = QDir::toNativeSeparators(profile);
    QCOMPARE(Platform::registryValue(euroscopeKey, lastProfile), nativeProfile);
    const QString keyFile = QString::fromUtf8(readFile(euroscopeKeyFile()));
    QCOMPARE(keyFile, QStringLiteral("[General]\nLastProfile=") + nativeProfile + QLatin1Char('\n'));

    // The quoted command line keeps the blank in the folder name, passes no
    // argument and leaves the working directory as it was.
    const QStringList euroscopeRun = waitForRecord(euroscope);
    QCOMPARE(
        euroscopeRun,
        (QStringList{canonical(QDir::currentPath()), QStringLiteral("0"),
                     QStringLiteral("[General]"), QStringLiteral("LastProfile=") + nativeProfile}));

    const QStringList voiceClientRun = waitForRecord(voiceClient);
    QCOMPARE(voiceClientRun, (QStringList{canonical(voiceClientFolder), QStringLiteral("0")}));
}

void TestApplicationHandler::missingProfileLeavesRegistryAlone_data()
{
    QTest::addColumn<bool>("sectorFolderChosen");
    QTest::newRow("no sector folder chosen") << false;
    QTest::newRow("no profile in the sector folder") << true;
}

void TestApplicationHandler::missingProfileLeavesRegistryAlone()
{
    QFETCH(bool, sectorFolderChosen);
    installEuroscope();
    installVoiceClient();
    if (sectorFolderChosen)
        settings()->setSectorPath(fileUrl(sectorFolder));
    QVERIFY(Platform::setRegistryValue(euroscopeKey, lastProfile, QStringLiteral("previous.prf")));
    QSignalSpy afvError(launcher, &ApplicationHandler::afvError);

    launcher->startEuroscope();
    QCOMPARE(Platform::registryValue(euroscopeKey, lastProfile), QStringLiteral("previous.prf"));
    QCOMPARE(waitForRecord(euroscope).value(1), QStringLiteral("0"));
    QCOMPARE(waitForRecord(voiceClient).value(0), canonical(voiceClientFolder));
    QCOMPARE(afvError.count(), 0);
}

void TestApplicationHandler::missingVoiceClientRaisesAfvError_data()
{
    QTest::addColumn<bool>("registered");
    QTest::newRow("no registry value") << false;
    QTest::newRow("registered folder without the program") << true;
}

void TestApplicationHandler::missingVoiceClientRaisesAfvError()
{
    QFETCH(bool, registered);
    installEuroscope();
    installCommunityProfile();
    if (registered)
        QVERIFY(Platform::setRegistryValue(voiceClientKey, QStringLiteral("Path"),
                                           QDir::toNativeSeparators(voiceClientFolder)
                                               + QDir::separator()));
    QSignalSpy afvError(launcher, &ApplicationHandler::afvError);

    launcher->startEuroscope();
    QCOMPARE(afvError.count(), 1);
    QVERIFY2(!waitForRecord(euroscope).isEmpty(), "EuroScope was started all the same.");
    QCOMPARE(Platform::registryValue(euroscopeKey, lastProfile), QDir::toNativeSeparators(profile));
}

void TestApplicationHandler::nothingHappensWithoutEuroscope_data()
{
    QTest::addColumn<QString>("euroscopePath");
    QTest::newRow("empty") << QString();
    QTest::newRow("missing file") << fileUrl(
        work.filePath(QStringLiteral("nowhere/EuroScope.exe")));
    QTest::newRow("folder") << fileUrl(work.path());
}

void TestApplicationHandler::nothingHappensWithoutEuroscope()
{
    QFETCH(QString, euroscopePath);
    installCommunityProfile();
    settings()->setEuroscopePath(euroscopePath);
    // With the voice client missing, any attempt to start it would show.
    QSignalSpy afvError(launcher, &ApplicationHandler::afvError);

    launcher->startEuroscope();
    QCOMPARE(afvError.count(), 0);
    QVERIFY2(!QFile::exists(euroscopeKeyFile()),
             "The registry was written without EuroScope to start.");
}

void TestApplicationHandler::startsDiscordUpdater()
{
    QVERIFY(writeWitness(discordUpdater));

    launcher->startDiscord();
    QVERIFY2(openedUrls.isEmpty(), "The invitation page opened although Discord is installed.");
    QCOMPARE(waitForRecord(discordUpdater),
             (QStringList{canonical(QDir::currentPath()), QStringLiteral("2"),
                          QStringLiteral("--processStart"), QStringLiteral("Discord.exe")}));
}

void TestApplicationHandler::opensInvitationWithoutDiscord()
{
    launcher->startDiscord();
    QCOMPARE(openedUrls,
             QList<QUrl>{QUrl(QStringLiteral("https://chat.tarn-atc.example/invite/tarn"))});
}

QTEST_MAIN(TestApplicationHandler)
#include "tst_applicationhandler.moc"
