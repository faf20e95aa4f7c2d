#include "TestService.h"

#include "handlers/SettingsHandler.h"

#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSignalSpy>
#include <QtEndian>

namespace {
const QString euroscopeUrl = QStringLiteral("file:///C:/ES/EuroScope.exe");

// Counts the warnings logged while it lives.
class WarningCounter
{
public:
    WarningCounter() { previous = qInstallMessageHandler(&WarningCounter::handle); }
    ~WarningCounter() { qInstallMessageHandler(previous); }
    static inline int warnings = 0;

private:
    static void handle(QtMsgType type, const QMessageLogContext &, const QString &)
    {
        if (type == QtWarningMsg)
            ++warnings;
    }
    QtMessageHandler previous;
};
} // namespace

class TestSettingsHandler : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void init();
    void cleanup();
    void firstStartWithoutFile();
    void savesBinaryJsonByteCompatibleWithQt();
    void roundTripsThroughTheFile();
    void setterAlwaysSavesAndSignals();
    void writingOnePropertyKeepsOtherKeys();
    void invalidContentLoadsAsEmptyStoreSilently_data();
    void invalidContentLoadsAsEmptyStoreSilently();
    void unwritableFileKeepsMemoryAndSignals();
    void insertAndRemoveStayInMemory();
    void defaultEuroscopePath();
    void natifyUrl_data();
    void natifyUrl();
};

void TestSettingsHandler::init()
{
    removeSettingsFile();
}

void TestSettingsHandler::cleanup()
{
    removeSettingsFile();
}

void TestSettingsHandler::firstStartWithoutFile()
{
    SettingsHandler settings;
    QTest::ignoreMessage(QtWarningMsg, "Could not open settings file.");
    QVERIFY2(!settings.loadSettings(), "Loading a missing file reports failure.");
    QCOMPARE(settings.euroscopePath(), QString());
    QCOMPARE(settings.sectorPath(), QString());
    QVERIFY2(!settings.getDefaultEuroscopePath().isEmpty(),
             "The default EuroScope folder still answers.");
}

void TestSettingsHandler::savesBinaryJsonByteCompatibleWithQt()
{
    SettingsHandler settings;
    settings.insert(QStringLiteral("username"), QStringLiteral("1234567"));
    settings.setEuroscopePath(euroscopeUrl);

    const QByteArray bytes = readFile(SettingsHandler::settingsFilePath());
    QVERIFY2(bytes.startsWith("qbjs"), "The file starts with the binary JSON tag.");
    QCOMPARE(qFromLittleEndian<quint32>(bytes.constData() + 4), 1u);
    QJsonObject expected;
    expected.insert(QStringLiteral("username"), QStringLiteral("1234567"));
    expected.insert(QStringLiteral("euroscopePath"), euroscopeUrl);
    QT_WARNING_PUSH
    QT_WARNING_DISABLE_DEPRECATED
    QCOMPARE(bytes, QJsonDocument(expected).toBinaryData());
    QT_WARNING_POP
}

void TestSettingsHandler::roundTripsThroughTheFile()
{
    {
        SettingsHandler settings;
        settings.setEuroscopePath(euroscopeUrl);
        settings.setSectorPath(QStringLiteral("file:///home/controller/Sector Files"));
    }
    SettingsHandler reloaded;
    QVERIFY2(reloaded.loadSettings(), "The saved file loads.");
    QCOMPARE(reloaded.euroscopePath(), euroscopeUrl);
    QCOMPARE(reloaded.sectorPath(), QStringLiteral("file:///home/controller/Sector Files"));
    QCOMPARE(reloaded.value(QStringLiteral("euroscopePath")).toString(), euroscopeUrl);
}

void TestSettingsHandler::setterAlwaysSavesAndSignals()
{
    SettingsHandler settings;
    QSignalSpy changed(&settings, &SettingsHandler::sectorPathChanged);
    settings.setSectorPath(QStringLiteral("file:///sectors"));
    QVERIFY(QFile::remove(SettingsHandler::settingsFilePath()));

    settings.setSectorPath(QStringLiteral("file:///sectors"));
    QVERIFY2(QFile::exists(SettingsHandler::settingsFilePath()),
             "Setting the same value rewrites the file.");
    QCOMPARE(changed.count(), 2);
    QCOMPARE(changed.at(1).at(0).toString(), QStringLiteral("file:///sectors"));
}

void TestSettingsHandler::writingOnePropertyKeepsOtherKeys()
{
    SettingsHandler settings;
    settings.insert(QStringLiteral("username"), QStringLiteral("1234567"));
    settings.insert(QStringLiteral("hashedPassword"),
                    QStringLiteral("a94a8fe5ccb19ba61c4c0873d391e987982fbbd3"));
    settings.setSectorPath(QStringLiteral("file:///sectors"));
    settings.setEuroscopePath(euroscopeUrl);

    const QVariantHash onDisk = storedOnDisk();
    QCOMPARE(onDisk.size(), 4);
    QCOMPARE(onDisk.value(QStringLiteral("username")).toString(), QStringLiteral("1234567"));
    QCOMPARE(onDisk.value(QStringLiteral("hashedPassword")).toString(),
             QStringLiteral("a94a8fe5ccb19ba61c4c0873d391e987982fbbd3"));
    QCOMPARE(onDisk.value(QStringLiteral("sectorPath")).toString(),
             QStringLiteral("file:///sectors"));
}

void TestSettingsHandler::invalidContentLoadsAsEmptyStoreSilently_data()
{
    QTest::addColumn<QByteArray>("content");
    QTest::newRow("JSON text") << QByteArray("{\"sectorPath\": \"file:///sectors\"}");
    // A root size near 4 GiB wraps around in Qt's own size check, which then
    // lets its reader run far beyond the data.
    QByteArray wrapping("qbjs\x01\x00\x00\x00\xff\xff\xff\xff\x0b\x00\x00\x00", 16);
    wrapping += QByteArray(200, '\xee');
    QTest::newRow("root size wrapping around") << wrapping;
}

void TestSettingsHandler::invalidContentLoadsAsEmptyStoreSilently()
{
    QFETCH(QByteArray, content);
    QVERIFY(writeFile(SettingsHandler::settingsFilePath(), content));
    SettingsHandler settings;
    settings.insert(QStringLiteral("stale"), QStringLiteral("value"));
    WarningCounter::warnings = 0;
    bool loaded = false;
    {
        WarningCounter counter;
        loaded = settings.loadSettings();
    }
    QVERIFY2(loaded, "A file that opens counts as loaded, whatever it holds.");
    QCOMPARE(WarningCounter::warnings, 0);
    QVERIFY2(!settings.contains(QStringLiteral("stale")), "Invalid content empties the store.");
    QCOMPARE(settings.sectorPath(), QString());
}

void TestSettingsHandler::unwritableFileKeepsMemoryAndSignals()
{
    // A folder in the file's place cannot be replaced by a save.
    QVERIFY(QDir().mkpath(SettingsHandler::settingsFilePath()));
    SettingsHandler settings;
    QSignalSpy changed(&settings, &SettingsHandler::euroscopePathChanged);
    QTest::ignoreMessage(QtWarningMsg, "Could not open settings file.");
    settings.setEuroscopePath(euroscopeUrl);
    QCOMPARE(changed.count(), 1);
    QCOMPARE(settings.euroscopePath(), euroscopeUrl);
    QVERIFY2(QFileInfo(SettingsHandler::settingsFilePath()).isDir(),
             "The failed save left the old entry alone.");
}

void TestSettingsHandler::insertAndRemoveStayInMemory()
{
    SettingsHandler settings;
    settings.setSectorPath(QStringLiteral("file:///sectors"));
    const QByteArray before = readFile(SettingsHandler::settingsFilePath());
    settings.insert(QStringLiteral("username"), QStringLiteral("1234567"));
    settings.remove(QStringLiteral("sectorPath"));
    QVERIFY(settings.contains(QStringLiteral("username")));
    QVERIFY(!settings.contains(QStringLiteral("sectorPath")));
    QCOMPARE(readFile(SettingsHandler::settingsFilePath()), before);
    QVERIFY2(settings.saveSettings(), "An explicit save succeeds.");
    QCOMPARE(storedOnDisk().keys(), QStringList{QStringLiteral("username")});
}

void TestSettingsHandler::defaultEuroscopePath()
{
    SettingsHandler settings;
#ifdef Q_OS_WIN
    qputenv("programfiles", "D:\\Apps");
    QCOMPARE(settings.getDefaultEuroscopePath(), QStringLiteral("D:\\Apps\\EuroScope"));
    qunsetenv("programfiles");
    QCOMPARE(settings.getDefaultEuroscopePath(), QStringLiteral("\\EuroScope"));
#else
    QCOMPARE(settings.getDefaultEuroscopePath(), QStringLiteral("/opt/EuroScope"));
#endif
}

void TestSettingsHandler::natifyUrl_data()
{
    QTest::addColumn<QString>("input");
    QTest::addColumn<QString>("expected");
#ifdef Q_OS_WIN
    QTest::newRow("drive file") << euroscopeUrl << QStringLiteral("C:\\ES\\EuroScope.exe");
    QTest::newRow("folder with space")
        << QStringLiteral("file:///D:/Sector Files") << QStringLiteral("D:\\Sector Files");
#else
    QTest::newRow("drive file") << euroscopeUrl << QStringLiteral("/C:/ES/EuroScope.exe");
    QTest::newRow("folder with space")
        << QStringLiteral("file:///home/c/Sector Files") << QStringLiteral("/home/c/Sector Files");
    QTest::newRow("percent-encoded") << QStringLiteral("file:///home/c/Sector%20Files")
                                     << QStringLiteral("/home/c/Sector Files");
#endif
    QTest::newRow("web address") << QStringLiteral("https://www.example.org/a b")
                                 << QStringLiteral("https://www.example.org/a b");
    QTest::newRow("empty") << QString() << QString();
    QTest::newRow("plain path") << QStringLiteral("/plain/path") << QStringLiteral("/plain/path");
}

void TestSettingsHandler::natifyUrl()
{
    QFETCH(QString, input);
    QFETCH(QString, expected);
    SettingsHandler settings;
    QCOMPARE(settings.natifyUrl(input), expected);
}

QTEST_GUILESS_MAIN(TestSettingsHandler)
#include "tst_settingshandler.moc"
