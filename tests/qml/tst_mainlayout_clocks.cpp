#include "TestService.h"
#include "UiDriver.h"

#include "handlers/SettingsHandler.h"
#include "handlers/UserHandler.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QGuiApplication>
#include <QQuickItem>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTimeZone>
#include <QtEndian>

#include <ctime>

namespace {
constexpr int standardOffset = 3600;
constexpr int summerOffset = 7200;
constexpr int minutesSinceChange = 30;
const QString clockFormat = QStringLiteral("hh:mm:ss");

void appendBigEndian(QByteArray &data, qint32 value)
{
    char bytes[4];
    qToBigEndian(value, bytes);
    data.append(bytes, 4);
}

// A time zone file (TZif version 1) of a zone one hour ahead of UTC that
// went over to summer time, two hours ahead, half an hour ago: exactly the
// hour in which shifting the local time by the zone offset shows a wrong
// UTC time.
QByteArray zoneThatJustChanged()
{
    const qint32 now = qint32(QDateTime::currentSecsSinceEpoch());
    const QByteArray designations("XST\0XDT\0", 8);
    QByteArray zone("TZif");
    zone.append(16, '\0');
    for (const qint32 count : {0, 0, 0, 2, 2, int(designations.size())})
        appendBigEndian(zone, count);
    appendBigEndian(zone, now - 24 * 3600);
    appendBigEndian(zone, now - minutesSinceChange * 60);
    zone.append('\0').append('\1');
    appendBigEndian(zone, standardOffset);
    zone.append('\0').append('\0');
    appendBigEndian(zone, summerOffset);
    zone.append('\1').append('\4');
    return zone + designations;
}

// Both the C library and Qt look a relative zone name up below the system's
// zone folder.
bool useZoneThatJustChanged(const QTemporaryDir &folder)
{
    const QString file = folder.filePath(QStringLiteral("XST"));
    if (!writeFile(file, zoneThatJustChanged()))
        return false;
    qputenv("TZ",
            QFile::encodeName(QDir(QStringLiteral("/usr/share/zoneinfo")).relativeFilePath(file)));
    tzset();
    return true;
}

bool isClockText(const QString &text)
{
    static const QRegularExpression pattern(
        QStringLiteral("^([01][0-9]|2[0-3]):[0-5][0-9]:[0-5][0-9]$"));
    return pattern.match(text).hasMatch();
}
} // namespace

// The two clocks of the information bar, in a zone that has just gone over
// to summer time.
class TestMainLayoutClocks : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void cleanupTestCase();

    void clocksAreSetWhenTheLayoutIsCreated();
    void utcClockShowsUtcAcrossTheChange();
    void clocksAdvance();

private:
    QString utcText() const;
    QString localText() const;

    QTemporaryDir content;
    UiDriver ui;
    QString utcAtCreation;
    QString localAtCreation;
};

QString TestMainLayoutClocks::utcText() const
{
    return ui.object(QStringLiteral("utcTimePlaceholderValue"))->property("text").toString();
}

QString TestMainLayoutClocks::localText() const
{
    return ui.object(QStringLiteral("localTimePlaceholderValue"))->property("text").toString();
}

void TestMainLayoutClocks::initTestCase()
{
    const QDateTime now = QDateTime::currentDateTimeUtc();
    QVERIFY2(QDateTime::currentDateTime().offsetFromUtc() == summerOffset
                 && QTimeZone::systemTimeZone().offsetFromUtc(now) == summerOffset
                 && QTimeZone::systemTimeZone().offsetFromUtc(now.addSecs(-3600)) == standardOffset,
             "The zone that went over to summer time half an hour ago is in effect.");

    if (!ui.startFresh(content))
        return;
    // Runs right after the main window has pushed the layout, before any
    // timer could have fired.
    connect(QmlSingletonType<UserHandler>::instance, &UserHandler::loginCompleted, this, [this] {
        utcAtCreation = utcText();
        localAtCreation = localText();
    });
    QVERIFY2(ui.logIn(DemoAccount::vatsimId, DemoAccount::password), "The login succeeded.");
}

void TestMainLayoutClocks::cleanupTestCase()
{
    QFile::remove(SettingsHandler::settingsFilePath());
}

void TestMainLayoutClocks::clocksAreSetWhenTheLayoutIsCreated()
{
    QVERIFY2(isClockText(utcAtCreation),
             qPrintable(QStringLiteral("UTC clock at creation: ") + utcAtCreation));
    QVERIFY2(isClockText(localAtCreation),
             qPrintable(QStringLiteral("Local clock at creation: ") + localAtCreation));
}

void TestMainLayoutClocks::utcClockShowsUtcAcrossTheChange()
{
    QObject *bar = ui.object(QStringLiteral("topBarMain"));
    QVERIFY(bar);
    const QDateTime before = QDateTime::currentDateTimeUtc();
    QVERIFY(QMetaObject::invokeMethod(bar, "updateTime"));
    const QDateTime after = QDateTime::currentDateTimeUtc();

    const QStringList utcNow = {before.toString(clockFormat), after.toString(clockFormat)};
    QVERIFY2(
        utcNow.contains(utcText()),
        qPrintable(
            QStringLiteral("UTC clock %1, UTC %2").arg(utcText(), utcNow.join(QLatin1Char('/')))));
    const QStringList localNow
        = {before.toLocalTime().toString(clockFormat), after.toLocalTime().toString(clockFormat)};
    QVERIFY2(localNow.contains(localText()),
             qPrintable(QStringLiteral("Local clock %1, local time %2")
                            .arg(localText(), localNow.join(QLatin1Char('/')))));

    // Two hours ahead now: a local 14:06:01 comes with a UTC 12:06:01.
    const int difference = QTime::fromString(utcText(), clockFormat)
                               .secsTo(QTime::fromString(localText(), clockFormat));
    QCOMPARE((difference + 24 * 3600) % (24 * 3600), summerOffset);
}

void TestMainLayoutClocks::clocksAdvance()
{
    const QString utc = utcText();
    const QString local = localText();
    QVERIFY2(waitUntil([&] { return utcText() != utc && localText() != local; }),
             "Both clocks moved on by themselves.");
    QVERIFY(isClockText(utcText()) && isClockText(localText()));
}

int main(int argc, char *argv[])
{
    // The zone must be in place before anything reads it.
    const QTemporaryDir zoneFolder;
    if (!zoneFolder.isValid() || !useZoneThatJustChanged(zoneFolder))
        return 1;
    QGuiApplication application(argc, argv);
    TestMainLayoutClocks test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_mainlayout_clocks.moc"
