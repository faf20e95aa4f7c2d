// Every endpoint of the service against every fault the network or the
// service can produce: each cell drives the real handler over loopback and
// checks which signals come in which order, what is written, what stays, and
// that nothing lands outside the folders being updated.

#include "TestService.h"

#include "handlers/SelfUpdateHandler.h"
#include "handlers/SettingsHandler.h"
#include "handlers/UpdateHandler.h"
#include "handlers/UserHandler.h"
#include "net/RequestSender.h"

#include <QCryptographicHash>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QTemporaryDir>
#include <QTimer>

namespace {

enum class Endpoint { Login, CheckClient, DownloadFile, GetFileList, DownloadSectorFile };
const char *const endpointNames[] = {"login.php", "checkClient.php", "downloadFile.php",
                                     "getfilelist.php", "downloadSectorFile.php"};

// The last one is no fault: as deep as Qt's JSON parser reads, so the deep paths run.
enum class Fault {
    Refused,
    Slow,
    Unauthorized,
    NotFound,
    ServerError,
    DroppedMidBody,
    NoContentDisposition,
    NotJson,
    RepeatedKey,
    HugeList,
    DeepNesting,
    NestingAtLimit
};

constexpr int jsonNestingLimit = 1024;
constexpr int deepLevels = 10000;
constexpr int hugeCount = 100000;

const QString cid = QStringLiteral("1000001");
const QString password = QStringLiteral("secret");
const QDateTime serviceTime(QDate(2024, 3, 9), QTime(17, 45, 12), Qt::LocalTime);
const QByteArray serviceTimeText
    = serviceTime.toString(QStringLiteral("dd-MM-yyyy hh:mm:ss")).toLatin1();
const QByteArray newData = "new data\r\n";
const QByteArray keptData = "kept\r\n";
const QByteArray sameSector = "unchanged sector file\r\n";
const QByteArray newSector = "new sector file\r\n";
const QString released = QStringLiteral("(held answer released)");
const QString watchdogFired = QStringLiteral("(watchdog fired)");

QString sha1Hex(const QByteArray &data)
{
    return QString::fromLatin1(QCryptographicHash::hash(data, QCryptographicHash::Sha1).toHex());
}

QByteArray nestedArrays(int levels)
{
    return QByteArray(levels, '[') + QByteArray(levels, ']');
}

QByteArray clientEntry(const char *path, const QByteArray &hashed, const QByteArray &extra = {})
{
    return "{\"path\": \"" + QByteArray(path) + "\", \"hash\": \"" + sha1Hex(hashed).toLatin1()
        + "\", \"mode\": \"EXT\", \"updated\": \"\"" + extra + '}';
}

// The body that carries the fault, or nothing where the service's own
// answer carries it. A download is never parsed: the bodies of the list
// faults are ordinary files, which must land byte for byte.
QByteArray faultyBody(Endpoint endpoint, Fault fault)
{
    const bool deep = fault == Fault::DeepNesting || fault == Fault::NestingAtLimit;
    const int levels = fault == Fault::DeepNesting ? deepLevels : jsonNestingLimit;
    const bool huge = fault == Fault::HugeList || fault == Fault::DroppedMidBody;
    // The login answer is the first level, the client list and its entry two.
    const QByteArray extra = deep
        ? QByteArray(", \"extra\": " + nestedArrays(levels - (endpoint == Endpoint::Login ? 1 : 2)))
        : QByteArray();
    // Appended, not +=: QStringBuilder's += reserves the exact size, which
    // makes a long run of appends quadratic.
    QByteArray many;
    for (int i = 0; huge && endpoint == Endpoint::Login && i < hugeCount; ++i)
        many.append(", \"member" + QByteArray::number(i) + "\": " + QByteArray::number(i));
    // Entries that name the two files with hashes of other bytes; the last
    // two give the real hashes and replace every earlier one.
    // A cut one is of a few MiB, of which Qt has read much when the connection drops.
    const int entries = (fault == Fault::HugeList ? hugeCount : 10000) - 2;
    for (int i = 0; huge && endpoint == Endpoint::CheckClient && i < entries; ++i)
        many.append(clientEntry(i % 2 ? "keep.txt" : "data.txt", QByteArray::number(i)) + ",\n");
    const QByteArray file = "\": \"" + serviceTimeText + "\"}}";
    if (fault == Fault::NotJson) {
        // Every byte value, CRLF, and text that starts like JSON but is not.
        QByteArray bytes = "{\"unterminated\": [1, 2,\r\n";
        for (int value = 0; value < 256; ++value)
            bytes.append(char(value));
        return bytes + "\r\n<html>not JSON</html>";
    }
    if (endpoint == Endpoint::DownloadFile || endpoint == Endpoint::DownloadSectorFile) {
        // A cut download is twice as long: Qt reads much of a large body
        // before it sees the connection close.
        const QByteArray lines = QByteArray("line\tEBRM\t51.1\t4.2\r\n").repeated(hugeCount);
        return huge ? lines.repeated(fault == Fault::DroppedMidBody ? 2 : 1)
            : deep  ? nestedArrays(levels)
                    : QByteArray();
    }
    // Qt's parser would keep the last of the two values (and leak the first).
    if (fault == Fault::RepeatedKey && endpoint == Endpoint::CheckClient)
        return '[' + clientEntry("keep.txt", keptData, ", \"path\": \"data.txt\"") + ']';
    if (fault == Fault::RepeatedKey && endpoint == Endpoint::GetFileList)
        return "[{\"Brenmar\": {\"new.txt\": \"" + serviceTimeText + "\", \"new.txt" + file + ']';
    if (endpoint == Endpoint::Login && (huge || deep))
        return "{\"cid\": \"" + cid.toUtf8() + "\", \"rating\": 5" + many + extra + '}';
    if (endpoint == Endpoint::CheckClient && (huge || deep)) {
        return '[' + many + clientEntry("keep.txt", keptData) + ",\n"
            + clientEntry("data.txt", newData, extra) + ']';
    }
    if (endpoint == Endpoint::GetFileList && huge) {
        return "[" + QByteArray("{\"Brenmar\": {\"same.txt" + file + ",\n").repeated(hugeCount - 2)
            + "{\"Brenmar\": {\"new.txt" + file + ",\n{\"Brenmar\": {\"old.txt" + file + ']';
    }
    // A folder tree of folders named "d" around one file.
    if (endpoint == Endpoint::GetFileList && fault == Fault::DeepNesting)
        return "[{\"Brenmar\": " + QByteArray("{\"d\": ").repeated(deepLevels - 3) + "{\"f.txt"
            + file + QByteArray(deepLevels - 3, '}') + ']';
    return {};
}

// Why a request with this fault fails, as the program reports it.
QString failureReason(Fault fault)
{
    switch (fault) {
    // Through nginx a service that is gone is a gateway's error.
    case Fault::Refused:
        return realServer ? QStringLiteral("the service answered 502")
                          : QStringLiteral("the service could not be reached");
    case Fault::Unauthorized: return QStringLiteral("the service answered 401");
    case Fault::NotFound: return QStringLiteral("the service answered 404");
    case Fault::ServerError: return QStringLiteral("the service answered 500");
    case Fault::DroppedMidBody: return QStringLiteral("the download was cut short");
    case Fault::NoContentDisposition: return QStringLiteral("the service sent no file");
    default: return QStringLiteral("the service sent no readable file list");
    }
}

// The signals of the cell's handler in order, with the test's own steps.
QStringList expectedEvents(Endpoint endpoint, Fault fault, char outcome)
{
    const bool slow = fault == Fault::Slow, failed = outcome == 'F';
    const QString reason = failureReason(fault);
    QStringList events;
    const auto add
        = [&](bool when, const QStringList &more) { events << (when ? more : QStringList()); };
    const auto selfUpdateError = [&](const QString &text) {
        return QStringList{QStringLiteral("errorReasonChanged(%1)").arg(text),
                           QStringLiteral("errorFound()")};
    };
    if (endpoint == Endpoint::Login) {
        add(slow, {released});
        add(failed, {QStringLiteral("loginError(%1)").arg(reason)});
        add(!failed, {QLatin1String(outcome == 'R' ? "loginFailed()" : "loginCompleted()")});
    } else if (endpoint == Endpoint::CheckClient || endpoint == Endpoint::DownloadFile) {
        add(slow, {watchdogFired});
        add(slow, selfUpdateError(QStringLiteral("The update did not finish within 90 seconds")));
        add(slow, {released});
        add(failed && endpoint == Endpoint::CheckClient,
            selfUpdateError(QStringLiteral("Could not get the program's file list: ") + reason));
        add(failed && endpoint == Endpoint::DownloadFile,
            selfUpdateError(QStringLiteral("1 program file could not be updated: ") + reason));
        add(!failed, {QStringLiteral("selfUpdated()")});
    } else if (endpoint == Endpoint::GetFileList) {
        const int count = fault == Fault::NestingAtLimit ? 3 : 2;
        add(slow, {released});
        for (int i = 0; fault == Fault::HugeList && i < hugeCount - 2; ++i)
            events << QStringLiteral("checkoutComplete(false, 0)");
        add(fault == Fault::HugeList, {QStringLiteral("checkoutComplete(true, 1)")});
        add(failed, {QStringLiteral("checkFailed(%1)").arg(reason)});
        add(!failed, {QStringLiteral("checkoutComplete(true, %1)").arg(count)});
        for (int i = 1; !failed && i <= count; ++i)
            events << QStringLiteral("updateProgress(%1, %2)").arg(i).arg(count);
        events << QStringLiteral("updateCompleted()");
    } else {
        // Only old.txt meets a fault, except a refused connection.
        const int failing = fault == Fault::Refused ? 2 : 1;
        events << QStringLiteral("checkoutComplete(true, 2)");
        add(fault != Fault::Refused, {QStringLiteral("updateProgress(1, 2)")});
        add(slow, {released});
        add(!failed, {QStringLiteral("updateProgress(2, 2)")});
        add(failed, {QStringLiteral("updateFailures(%1, %1)").arg(failing)});
        events << QStringLiteral("updateCompleted()");
    }
    return events;
}
} // namespace

Q_DECLARE_METATYPE(Endpoint)
Q_DECLARE_METATYPE(Fault)

class TestFaultMatrix : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase()
    {
        TARN_REQUIRE_SERVICE();
        trustTestAuthority();
        new SettingsHandler(this);
        m_port = testService().port();
        // The manager reports a reply before the sender hands it over, so this
        // runs before the handler's slot.
        connect(RequestSender::sharedManager(), &QNetworkAccessManager::finished, this,
                [this](QNetworkReply *reply) {
                    m_finished.append(reply->url().path().section(QLatin1Char('/'), -1));
                    if (m_finished.last() == m_stopAfter)
                        testService().stop();
                });
    }

    void init()
    {
        m_temp = std::make_unique<QTemporaryDir>();
        const QByteArray account = "[{\"cid\": \"" + cid.toUtf8() + "\", \"sha1\": \""
            + sha1Hex(password.toUtf8()).toLatin1() + "\", \"rating\": 5}]";
        const std::tuple<const char *, QByteArray, QDateTime> files[]
            = {{"content/accounts.json", account, {}},
               {"content/client/keep.txt", keptData, {}},
               {"content/sector/Brenmar/new.txt", newSector, serviceTime},
               {"content/sector/Brenmar/same.txt", sameSector, serviceTime},
               {"outer/sector/Brenmar/old.txt", "stale sector file\r\n", serviceTime.addDays(-30)},
               {"outer/sector/Brenmar/same.txt", sameSector, serviceTime},
               {"outer/sector/Brenmar/mine.txt", "the user's own file\r\n", {}},
               {"outer/outside.txt", "beside the sector folder", {}},
               {"program/data.txt", "old data\r\n", {}},
               {"program/keep.txt", keptData, {}},
               {"program/extra.txt.delete", "set aside earlier", {}}};
        for (const auto &[path, data, time] : files)
            QVERIFY(writeFile(onDisk(QLatin1String(path)), data, time));
        resetTestService(onDisk(QStringLiteral("content")));

        m_settings
            = {{QStringLiteral("username"), QStringLiteral("remembered")},
               {QStringLiteral("hashedPassword"), sha1Hex("an older password")},
               {QStringLiteral("sectorPath"), fileUrl(onDisk(QStringLiteral("outer/sector")))}};
        QVERIFY(writeSettingsFile(m_settings));
        QVERIFY(settings()->loadSettings());
        m_finished.clear();
        m_stopAfter.clear();
    }

    void cleanup()
    {
        // A held request of a failed cell must not hold a worker of the service.
        testService().releaseHeld();
        // Listening already, the service just reports its port.
        QCOMPARE(testService().start("127.0.0.1", m_port), m_port);
        QDir program(m_program, QStringLiteral("data.txt*;keep.txt*;extra.txt*"));
        for (const QString &file : program.entryList(QDir::Files | QDir::Hidden))
            program.remove(file);
    }

    void cells_data()
    {
        QTest::addColumn<Endpoint>("endpoint");
        QTest::addColumn<Fault>("fault");
        QTest::addColumn<char>("outcome");
        // Per fault, one letter per endpoint in the order of Endpoint: A, the
        // answer counts as it would without the fault; E, the login reads an
        // empty identity; R, the login is refused; F, the request fails at once
        // with its reason. A held answer counts when it comes (the self-update
        // fires its watchdog first). Lists and the login need no
        // Content-Disposition. A cut answer is a failed request, never an empty
        // list or identity. Beyond the parser's limit, or with a key named twice
        // in one object, a list is no list; 100,000 entries are each read.
        // Each fault in the order of Fault: the letters, then its name.
        const QList<QByteArray> faults
            = QByteArray("FFFFF connection refused;AAAAA reply slower than the watchdog;RFFFF 401;"
                         "FFFFF 404;FFFFF 500;FFFFF connection dropped mid-body;"
                         "AAFAF no Content-Disposition;EFAFA body not JSON;"
                         "AFAFA a key named twice in an object;AAAAA 100,000 entries;"
                         "EFAFA 10,000 levels;AAAAA 1,024 levels, the parser's limit")
                  .split(';');
        for (int endpoint = 0; endpoint < 5; ++endpoint)
            for (int fault = 0; fault < faults.size(); ++fault)
                QTest::addRow("%s: %s", endpointNames[endpoint], faults[fault].constData() + 6)
                    << Endpoint(endpoint) << Fault(fault) << faults[fault][endpoint];
    }

    void cells()
    {
        QFETCH(Endpoint, endpoint);
        QFETCH(Fault, fault);
        QFETCH(char, outcome);
        const QString name = QLatin1String(endpointNames[int(endpoint)]);
        const bool selfUpdate
            = endpoint == Endpoint::CheckClient || endpoint == Endpoint::DownloadFile;
        const bool sector = endpoint >= Endpoint::GetFileList;
        // Each download follows the list it comes from, the Endpoint before it.
        const bool download
            = endpoint == Endpoint::DownloadFile || endpoint == Endpoint::DownloadSectorFile;

        // Only old.txt meets the fault; new.txt shows the rest of the batch going on.
        devservice::Fault switchOn
            = faultOn(name.toStdString(),
                      endpoint == Endpoint::DownloadSectorFile ? "//Brenmar/old.txt" : "");
        switchOn.hold = fault == Fault::Slow;
        switchOn.status = QList<int>{0, 0, 401, 404, 500}.value(int(fault));
        switchOn.dropMidBody = fault == Fault::DroppedMidBody;
        switchOn.noContentDisposition = fault == Fault::NoContentDisposition;
        testService().addFault(switchOn);
        const QByteArray faulty = faultyBody(endpoint, fault);
        if (!download && !faulty.isEmpty())
            testService().setListOverride(name.toStdString(), faulty.toStdString());
        const QByteArray body = download && !faulty.isEmpty() ? faulty
            : sector                                          ? QByteArray("fresh sector file\r\n")
                                                              : newData;
        // What the service serves for the file the cell's request is about.
        QVERIFY(writeFile(onDisk(sector ? QStringLiteral("content/sector/Brenmar/old.txt")
                                        : QStringLiteral("content/client/data.txt")),
                          body, sector ? serviceTime : QDateTime()));

        // What the cell writes; sector files get the service's time.
        QMap<QString, QByteArray> written;
        if (sector && (outcome == 'A' || (download && fault != Fault::Refused)))
            written.insert(QStringLiteral("outer/sector/Brenmar/new.txt"), newSector);
        if (outcome == 'A' && endpoint != Endpoint::Login)
            written.insert(sector ? QStringLiteral("outer/sector/Brenmar/old.txt")
                                  : QStringLiteral("program/data.txt"),
                           body);
        // The list nests: the array, the element, "Brenmar", then the chain.
        if (endpoint == Endpoint::GetFileList && fault == Fault::NestingAtLimit) {
            const QString deep = QStringLiteral("sector/Brenmar/")
                + QStringLiteral("d/").repeated(jsonNestingLimit - 3) + QStringLiteral("f.txt");
            QVERIFY(writeFile(onDisk(QStringLiteral("content/") + deep), newSector, serviceTime));
            written.insert(QStringLiteral("outer/") + deep, newSector);
        }
        // The folders as they are; below, what the cell changes in them. A file's
        // time has whole seconds on some file systems.
        QMap<QString, SnapshotEntry> expectedArea = area();
        const QDateTime started = QDateTime::currentDateTime().addSecs(-1);

        // Refused: the service is off its port when the faulted request goes out.
        if (fault == Fault::Refused && download)
            m_stopAfter = QLatin1String(endpointNames[int(endpoint) - 1]);
        else if (fault == Fault::Refused)
            testService().stop();

        auto *user = endpoint == Endpoint::Login ? new UserHandler : nullptr;
        auto *update = sector ? new UpdateHandler : nullptr;
        const std::unique_ptr<QObject> handler(user         ? static_cast<QObject *>(user)
                                                   : update ? static_cast<QObject *>(update)
                                                            : new SelfUpdateHandler);
        SignalRecorder recorder(handler.get());
        auto *watchdog = handler->findChild<QTimer *>(QStringLiteral("selfUpdateWatchdog"));
        QVERIFY(!selfUpdate || watchdog);
        if (user)
            user->logIn(cid, password);
        if (update)
            update->checkUpdate();
        if (update && download) {
            QVERIFY(waitUntil([this] { return !m_finished.isEmpty(); }));
            update->startUpdate();
        }
        // Two sector downloads, one of them faulted; one request elsewhere.
        const int requests = endpoint == Endpoint::DownloadSectorFile ? 2 : 1;
        if (fault == Fault::Slow) {
            QVERIFY(waitUntil([&] {
                return requestsTo("/api/tarn/" + name.toStdString()).size() == size_t(requests)
                    && int(m_finished.count(name)) == requests - 1;
            }));
            QCoreApplication::processEvents();
            if (selfUpdate) {
                recorder.events << watchdogFired;
                QVERIFY(QMetaObject::invokeMethod(watchdog, "timeout"));
            }
            recorder.events << released;
            testService().releaseHeld();
        }
        QVERIFY(waitUntil([&] { return int(m_finished.count(name)) >= requests; }, 60000));
        if (endpoint == Endpoint::GetFileList)
            update->startUpdate();

        const QStringList expected = expectedEvents(endpoint, fault, outcome);
        waitUntil([&] { return recorder.events.size() >= expected.size(); }, 60000);
        QCoreApplication::processEvents();
        QCOMPARE(recorder.events, expected);
        QVERIFY(!selfUpdate || !watchdog->isActive());

        if (user && (outcome == 'A' || outcome == 'E')) {
            QCOMPARE(user->vatsimId(), outcome == 'A' ? cid : QString());
            QCOMPARE(user->rating(), QLatin1String(outcome == 'A' ? "CTR1" : "OBS"));
            m_settings.insert(QStringLiteral("username"), user->vatsimId());
            m_settings.insert(QStringLiteral("hashedPassword"), sha1Hex(password.toUtf8()));
        } else if (user && outcome == 'R') {
            m_settings.remove(QStringLiteral("username"));
            m_settings.remove(QStringLiteral("hashedPassword"));
        }
        QCOMPARE(readFile(SettingsHandler::settingsFilePath()), settingsFileBytes(m_settings));

        // Written files are byte-exact (sector files with the service's time),
        // with their new folders; the comparison of an arrived client list clears
        // what an earlier update set aside; everything else, hidden and part
        // files included, is as it was.
        const QMap<QString, SnapshotEntry> after = area();
        if (selfUpdate && (download || outcome == 'A'))
            expectedArea.remove(QStringLiteral("program/extra.txt.delete"));
        // A replaced file keeps its permissions, a new one gets those of a
        // file the test wrote; a sector file gets the service's time, any
        // other its time of writing.
        const auto newFile = expectedArea.value(QStringLiteral("outer/outside.txt")).permissions;
        for (auto it = written.cbegin(); it != written.cend(); ++it) {
            SnapshotEntry entry = expectedArea.value(it.key(), {false, {}, 0, newFile});
            entry.content = it.value();
            entry.modifiedMs = sector
                ? serviceTime.toMSecsSinceEpoch()
                : std::max(after.value(it.key()).modifiedMs, started.toMSecsSinceEpoch());
            expectedArea.insert(it.key(), entry);
            for (QString folder = it.key(); folder.count(QLatin1Char('/')) > 1;)
                expectedArea[folder = folder.section(QLatin1Char('/'), 0, -2)].isFolder = true;
        }
        QCOMPARE(after.keys(), expectedArea.keys());
        for (const QString &path : after.keys())
            QVERIFY2(after[path] == expectedArea[path], qPrintable(path));
    }

private:
    // A path of the test's folders: "program/..." the program folder;
    // "content/..." what the service serves; "outer/..." the folder holding
    // the sector folder.
    QString onDisk(const QString &path) const
    {
        return path.startsWith(QLatin1String("program/")) ? m_program + path.mid(7)
                                                          : m_temp->filePath(path);
    }
    // The program folder and the outer folder, settings.dat left out.
    QMap<QString, SnapshotEntry> area() const
    {
        QMap<QString, SnapshotEntry> entries;
        for (const QString &root : {QStringLiteral("program/"), QStringLiteral("outer/")}) {
            const auto part = snapshot(onDisk(root));
            for (auto it = part.cbegin(); it != part.cend(); ++it)
                entries.insert(root + it.key(), it.value());
        }
        entries.remove(QStringLiteral("program/settings.dat"));
        // Names only beside the program folder: nothing may appear there.
        for (const QString &name : QDir(m_program + QStringLiteral("/.."))
                                       .entryList(QDir::AllEntries | QDir::NoDotAndDotDot))
            entries.insert(QStringLiteral("beside/") + name, {});
        return entries;
    }

    const QString m_program = QCoreApplication::applicationDirPath();
    std::unique_ptr<QTemporaryDir> m_temp;
    QJsonObject m_settings;
    QStringList m_finished;
    QString m_stopAfter;
    int m_port = 0;
};

QTEST_GUILESS_MAIN(TestFaultMatrix)
#include "tst_faultmatrix.moc"
