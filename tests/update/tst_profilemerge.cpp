#include "update/ProfileMerge.h"

#include "TestService.h"

#include <QTest>

namespace {
QString profileData(const QString &relativePath)
{
    return QStringLiteral(TARN_TEST_DATA_DIR "/profiles/") + relativePath;
}

// Shows bytes readably in a failure message: line ends and bytes outside
// printable ASCII as escapes.
QByteArray visible(const QByteArray &bytes)
{
    QByteArray shown;
    for (const char c : bytes) {
        const auto byte = uchar(c);
        if (c == '\r')
            shown += "\\r";
        else if (c == '\n')
            shown += "\\n\n";
        else if (c == '\t')
            shown += "\\t";
        else if (byte < 0x20 || byte >= 0x7f)
            shown += "\\x" + QByteArray::number(byte, 16);
        else
            shown += c;
    }
    return shown;
}
} // namespace

class TestProfileMerge : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void mergesRealFiles_data();
    void mergesRealFiles();
    void mergesLines_data();
    void mergesLines();
    void recognisesEveryMarker_data();
    void recognisesEveryMarker();
    void appliesToProfilesAndAsrFiles_data();
    void appliesToProfilesAndAsrFiles();
};

void TestProfileMerge::mergesRealFiles_data()
{
    QTest::addColumn<QString>("name");
    QTest::newRow("community profile") << QStringLiteral("Brenmar.prf");
    QTest::newRow("ASR file") << QStringLiteral("Brenmar_APP.asr");
}

void TestProfileMerge::mergesRealFiles()
{
    QFETCH(QString, name);
    const QByteArray userCopy = readFile(profileData(QStringLiteral("user/") + name));
    const QByteArray downloaded = readFile(profileData(QStringLiteral("service/") + name));
    const QByteArray expected = readFile(profileData(QStringLiteral("merged/") + name));
    QVERIFY2(!userCopy.isEmpty() && !downloaded.isEmpty() && !expected.isEmpty(),
             "The profile test data could not be read.");

    const QByteArray merged = ProfileMerge::MergeProfile(userCopy, downloaded);
    const QByteArray message = "The merged file differs from the expected one:\n" + visible(merged);
    QVERIFY2(merged == expected, message.constData());
}

void TestProfileMerge::mergesLines_data()
{
    QTest::addColumn<QByteArray>("userCopy");
    QTest::addColumn<QByteArray>("downloaded");
    QTest::addColumn<QByteArray>("merged");

    QTest::newRow("no user copy drops the keyed lines")
        << QByteArray() << QByteArray("A\tone\nLastSession\tcallsign\tBRM_OBS\nB\ttwo\n")
        << QByteArray("A\tone\nB\ttwo\n");
    QTest::newRow("the user's callsign replaces the default, at the end")
        << QByteArray("LastSession\tcallsign\tBRM_W_APP\nX\tmine\n")
        << QByteArray("LastSession\tcallsign\tBRM_OBS\nA\tone\n")
        << QByteArray("A\tone\nLastSession\tcallsign\tBRM_W_APP\n");
    QTest::newRow("a lower-case user marker is carried over")
        << QByteArray("lastsession\tcallsign\tBRM_W_APP\n") << QByteArray("A\tone\n")
        << QByteArray("A\tone\nlastsession\tcallsign\tBRM_W_APP\n");
    QTest::newRow("an upper-case downloaded marker is dropped")
        << QByteArray() << QByteArray("SETTINGS\tASELKEY\t0\nA\tone\n") << QByteArray("A\tone\n");
    QTest::newRow("download loses its carriage returns, the user's line keeps its own")
        << QByteArray("Voice\tSPPT\t0\r\n") << QByteArray("A\tone\r\nB\ttwo\r\n")
        << QByteArray("A\tone\nB\ttwo\nVoice\tSPPT\t0\r\n");
    QTest::newRow("a carriage return anywhere in the download is dropped")
        << QByteArray() << QByteArray("A\r\tone\rtwo\r\n") << QByteArray("A\tonetwo\n");
    QTest::newRow("nothing keyed leaves the download without its carriage returns")
        << QByteArray("X\tmine\r\nY\tmine\r\n") << QByteArray("A\tone\r\nB\ttwo\r\n")
        << QByteArray("A\tone\nB\ttwo\n");
    QTest::newRow("a last downloaded line without line feed gets one")
        << QByteArray("LastSession\tcallsign\tBRM_W_APP\r\n") << QByteArray("A\tone\r\nB\ttwo")
        << QByteArray("A\tone\nB\ttwo\nLastSession\tcallsign\tBRM_W_APP\r\n");
    QTest::newRow("a last downloaded keyed line without line feed is dropped")
        << QByteArray("LastSession\tcallsign\tBRM_W_APP\n")
        << QByteArray("A\tone\nLastSession\tcallsign\tBRM_OBS")
        << QByteArray("A\tone\nLastSession\tcallsign\tBRM_W_APP\n");
    QTest::newRow("the user's last line keeps its missing line feed")
        << QByteArray("X\tmine\nSECTORTITLE:Mine") << QByteArray("A\tone\n")
        << QByteArray("A\tone\nSECTORTITLE:Mine");
    QTest::newRow("lines in a legacy code page pass byte for byte")
        << QByteArray("Voice\tinput_hardware\tMikrofon (Ger\xe4t \xae)\r\nX\t\xe9t\xe9\r\n")
        << QByteArray("Caf\xe9\tn\xb0 1\r\nVoice\tinput_hardware\t\r\n\xff\xfe\tbytes\r\n")
        << QByteArray("Caf\xe9\tn\xb0 1\n\xff\xfe\tbytes\nVoice\tinput_hardware\tMikrofon "
                      "(Ger\xe4t \xae)\r\n");
    QTest::newRow("a marker counts anywhere in a line")
        << QByteArray("; was SECTORFILE:old.sct\n") << QByteArray("A\tone\n  sectortitle:Brenmar\n")
        << QByteArray("A\tone\n; was SECTORFILE:old.sct\n");
    QTest::newRow("overlapping markers match once")
        << QByteArray("Voice\tinput_hardware2\tHeadset\n")
        << QByteArray("Voice\tinput_hardware2\t\nA\tone\n")
        << QByteArray("A\tone\nVoice\tinput_hardware2\tHeadset\n");
    QTest::newRow("the user's lines keep their order")
        << QByteArray("Sounds\tB\tb.wav\nX\tmine\nSounds\tA\ta.wav\nLastSession\tserver\tEU\n")
        << QByteArray("A\tone\n")
        << QByteArray("A\tone\nSounds\tB\tb.wav\nSounds\tA\ta.wav\nLastSession\tserver\tEU\n");
    QTest::newRow("a tab is part of the marker")
        << QByteArray() << QByteArray("Sounds CONFLICT\nLastSession callsign\nSounds\tX\n")
        << QByteArray("Sounds CONFLICT\nLastSession callsign\n");
    QTest::newRow("an empty download keeps only the user's lines")
        << QByteArray("A\tmine\nLastSession\tcallsign\tBRM_W_APP\n") << QByteArray()
        << QByteArray("LastSession\tcallsign\tBRM_W_APP\n");
}

void TestProfileMerge::mergesLines()
{
    QFETCH(QByteArray, userCopy);
    QFETCH(QByteArray, downloaded);
    QFETCH(QByteArray, merged);
    const QByteArray actual = ProfileMerge::MergeProfile(userCopy, downloaded);
    const QByteArray message
        = "The merge gave:\n" + visible(actual) + "\ninstead of:\n" + visible(merged);
    QVERIFY2(actual == merged, message.constData());
}

void TestProfileMerge::recognisesEveryMarker_data()
{
    QTest::addColumn<QByteArray>("marker");
    const char *const markers[] = {
        "LastSession\tconnecttype",
        "LastSession\tfacility",
        "LastSession\trating",
        "LastSession\ttovatsim",
        "LastSession\trange",
        "LastSession\trealname",
        "LastSession\tcertificate",
        "LastSession\tpassword",
        "LastSession\tserver",
        "LastSession\tatis_airport",
        "Voice\tinput_hardware",
        "Voice\toutput_hardware",
        "Voice\tinput_hardware2",
        "Voice\toutput_hardware2",
        "Voice\tPPPT",
        "Voice\tSPPT",
        "Settings\tAselKey",
        "Settings\tFreqKey",
        "LastSession\tatis4",
        "LastSession\tatis2",
        "LastSession\tcallsign",
        "LastSession\tatis3",
        "Sounds\t",
        "SECTORFILE:",
        "SECTORTITLE:",
    };
    for (const char *marker : markers)
        QTest::newRow(marker) << QByteArray(marker);
}

void TestProfileMerge::recognisesEveryMarker()
{
    QFETCH(QByteArray, marker);
    QVERIFY2(ProfileMerge::isKeyedLine(marker + "\tvalue\r\n"), "A marker's line is not keyed.");
    QVERIFY2(ProfileMerge::isKeyedLine(marker.toLower() + "\tvalue\n"),
             "A marker's line in lower case is not keyed.");
    QVERIFY2(ProfileMerge::isKeyedLine("prefix " + marker.toUpper()),
             "A marker in upper case in the middle of a line is not keyed.");
    QVERIFY2(!ProfileMerge::isKeyedLine(marker.mid(1) + "\n"),
             "A line holding a marker without its first letter is keyed.");
}

void TestProfileMerge::appliesToProfilesAndAsrFiles_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<bool>("merged");
    QTest::newRow("community profile") << QStringLiteral("/home/jo/Sector/Brenmar.prf") << true;
    QTest::newRow("profile in upper case")
        << QStringLiteral("/home/jo/Sector//BRENMAR.PRF") << true;
    QTest::newRow("ASR file") << QStringLiteral("/home/jo/Sector/Brenmar/APP.asr") << true;
    QTest::newRow("ASR file in upper case") << QStringLiteral("/home/jo/Sector/TWR.ASR") << true;
    QTest::newRow("folder named like an ASR file")
        << QStringLiteral("/s/old.asr/notes.txt") << true;
    QTest::newRow("other text file") << QStringLiteral("/home/jo/Sector/Brenmar.txt") << false;
    QTest::newRow("other profile") << QStringLiteral("/home/jo/Sector/Other.prf") << false;
}

void TestProfileMerge::appliesToProfilesAndAsrFiles()
{
    QFETCH(QString, path);
    QFETCH(bool, merged);
    QCOMPARE(ProfileMerge::appliesTo(path), merged);
}

QTEST_GUILESS_MAIN(TestProfileMerge)
#include "tst_profilemerge.moc"
