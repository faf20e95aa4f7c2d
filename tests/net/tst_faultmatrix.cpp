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

#include <QCoreApplication>
#include <QCryptographicHash>
#include <QDir>
#include <QJsonDocument>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QTemporaryDir>
#include <QTimer>

#include <memory>

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
    HugeList,
    DeepNesting,
    NestingAtLimit
};

constexpr int jsonNestingLimit = 1024;
constexpr int deepLevels = 10000;
constexpr int hugeCount = 100000;
// A client list of a few MiB, of which Qt has read much when the connection drops.
constexpr int droppedListCount = 10000;

const QString cid = QStringLiteral("1000001");
const QString password = QStringLiteral("secret");
const QDateTime serviceTime(QDate(2024, 3, 9), QTime(17, 45, 12), Qt::LocalTime);
const QByteArray newData = "new data\r\n";
const QByteArray oldData = "old data\r\n";
const QByteArray keptData = "kept\r\n";
const QByteArray freshSector = "fresh sector file\r\n";
const QByteArray sameSector = "unchanged sector file\r\n";
const QByteArray newSector = "new sector file\r\n";
const QString released = QStringLiteral("(held answer released)");
const QString watchdogFired = QStringLiteral("(watchdog fired)");
const QString newSectorFile = QStringLiteral("outer/sector/Brenmar/new.txt");
const QString oldSectorFile = QStringLiteral("outer/sector/Brenmar/old.txt");

QString sha1Hex(const QByteArray &data)
{
    return QString::fromLatin1(QCryptographicHash::hash(data, QCryptographicHash::Sha1).toHex());
}

QByteArray serviceTimeText()
{
    return serviceTime.toString(QStringLiteral("dd-MM-yyyy hh:mm:ss")).toLatin1();
}

QByteArray nestedArrays(int levels)
{
    return QByteArray(levels, '[') + QByteArray(levels, ']');
}

// Every byte value, CRLF, and text that starts like JSON but is not.
QByteArray notJsonBytes()
{
    QByteArray bytes = "{\"unterminated\": [1, 2,\r\n";
    for (int value = 0; value < 256; ++value)
        bytes.append(char(value));
    return bytes + "\r\n<html>not JSON</html>";
}

// Joined rather than appended: QStringBuilder's += reserves the exact size,
// which makes a long run of appends quadratic.
QByteArray joined(int count, const std::function<QByteArray(int)> &item, const QByteArray &glue)
{
    QByteArrayList items;
    for (int i = 0; i < count; ++i)
        items.append(item(i));
    return items.join(glue);
}

QByteArray hugeLines()
{
    return QByteArray("line\tEBRM\t51.1\t4.2\r\n").repeated(hugeCount);
}

QByteArray loginAnswer(const QByteArray &extraMembers = {})
{
    return "{\"cid\": \"" + cid.toUtf8() + "\", \"rating\": 5" + extraMembers + '}';
}

QByteArray clientEntry(const char *path, const QByteArray &hashed, const QByteArray &extra = {})
{
    return "{\"path\": \"" + QByteArray(path) + "\", \"hash\": \"" + sha1Hex(hashed).toLatin1()
        + "\", \"mode\": \"EXT\", \"updated\": \"\"" + extra + '}';
}

// A folder tree of the sector list: levels folders named "d" around one file.
QByteArray deepSectorTree(int levels)
{
    return QByteArray("{\"d\": ").repeated(levels) + "{\"f.txt\": \"" + serviceTimeText() + "\"}"
        + QByteArray(levels, '}');
}

// The body of a login or list answer that carries the fault, or nothing
// where the service's own answer carries it.
QByteArray faultyAnswer(Endpoint endpoint, Fault fault)
{
    const bool deep = fault == Fault::DeepNesting || fault == Fault::NestingAtLimit;
    const int levels = fault == Fault::DeepNesting ? deepLevels : jsonNestingLimit;
    const bool huge = fault == Fault::HugeList || fault == Fault::DroppedMidBody;
    if (endpoint == Endpoint::DownloadFile || endpoint == Endpoint::DownloadSectorFile)
        return {};
    if (fault == Fault::NotJson)
        return notJsonBytes();
    if (endpoint == Endpoint::Login && huge) {
        return loginAnswer(joined(hugeCount,
                                  [](int i) -> QByteArray {
                                      return ", \"member" + QByteArray::number(i)
                                          + "\": " + QByteArray::number(i);
                                  },
                                  {}));
    }
    if (endpoint == Endpoint::Login && deep) // the answer object is the first level
        return loginAnswer(", \"extra\": " + nestedArrays(levels - 1));
    if (endpoint == Endpoint::CheckClient && huge) {
        // Entries that name the two files with hashes of other bytes; the
        // last two give the real hashes and replace every earlier one.
        return '['
            + joined(
                   fault == Fault::HugeList ? hugeCount - 2 : droppedListCount - 2,
                   [](int i) -> QByteArray {
                       return clientEntry(i % 2 ? "keep.txt" : "data.txt", QByteArray::number(i));
                   },
                   ",\n")
            + ",\n" + clientEntry("keep.txt", keptData) + ",\n" + clientEntry("data.txt", newData)
            + ']';
    }
    if (endpoint == Endpoint::CheckClient && deep) {
        return '[' + clientEntry("keep.txt", keptData) + ", "
            + clientEntry("data.txt", newData, ", \"extra\": " + nestedArrays(levels - 2)) + ']';
    }
    if (endpoint == Endpoint::GetFileList && huge) {
        const QByteArray time = serviceTimeText();
        return '['
            + QByteArray("{\"Brenmar\": {\"same.txt\": \"" + time + "\"}},\n").repeated(hugeCount - 2)
            + "{\"Brenmar\": {\"new.txt\": \"" + time + "\"}},\n{\"Brenmar\": {\"old.txt\": \""
            + time + "\"}}]";
    }
    if (endpoint == Endpoint::GetFileList && fault == Fault::DeepNesting)
        return "[{\"Brenmar\": " + deepSectorTree(deepLevels - 3) + "}]";
    return {};
}

// A download is never parsed: the bodies of the list faults are ordinary
// files, which must land byte for byte.
QByteArray downloadBody(Fault fault, const QByteArray &ordinary)
{
    switch (fault) {
    case Fault::NotJson: return notJsonBytes();
    case Fault::HugeList: return hugeLines();
    // Qt reads much of a large body before it sees the connection close.
    case Fault::DroppedMidBody: return hugeLines() + hugeLines();
    case Fault::DeepNesting: return nestedArrays(deepLevels);
    case Fault::NestingAtLimit: return nestedArrays(jsonNestingLimit);
    default: return ordinary;
    }
}

// The service's side of the faults that it produces itself.
void addServiceFault(Endpoint endpoint, Fault fault)
{
    devservice::Fault switchOn;
    switchOn.endpoint = endpointNames[int(endpoint)];
    // Only old.txt meets the fault; new.txt shows the rest of the batch going on.
    if (endpoint == Endpoint::DownloadSectorFile)
        switchOn.file = "//Brenmar/old.txt";
    switchOn.hold = fault == Fault::Slow;
    switchOn.status = fault == Fault::Unauthorized ? 401
        : fault == Fault::NotFound                 ? 404
        : fault == Fault::ServerError              ? 500
                                                   : 0;
    switchOn.dropMidBody = fault == Fault::DroppedMidBody;
    switchOn.noContentDisposition = fault == Fault::NoContentDisposition;
    testService().addFault(switchOn);
}

QString programFolder()
{
    return QCoreApplication::applicationDirPath();
}
} // namespace

Q_DECLARE_METATYPE(Endpoint)
Q_DECLARE_METATYPE(Fault)

class TestFaultMatrix : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void init();
    void cleanup();
    void jsonParserNestingLimit();
    void cells_data();
    void cells();

private:
    bool publish(const QString &relative, const QByteArray &data, bool withServiceTime = false)
    {
        const QString path = m_content->filePath(relative);
        return writeFile(path, data)
            && (!withServiceTime || setModificationTime(path, serviceTime));
    }
    // The program folder as "program/...", the temporary folder holding the
    // sector folder as "outer/...", settings.dat left out.
    QMap<QString, SnapshotEntry> area() const;
    QStringList expectedEvents(Endpoint endpoint, Fault fault, char outcome) const;

    std::unique_ptr<QTemporaryDir> m_content;
    std::unique_ptr<QTemporaryDir> m_outer;
    QJsonObject m_settings;
    QStringList m_finished;
    QNetworkReply::NetworkError m_lastError = QNetworkReply::NoError;
    QString m_stopAfter;
    bool m_stopped = false;
    int m_port = 0;
};

void TestFaultMatrix::initTestCase()
{
    new SettingsHandler(this);
    m_port = testService().port();
    // The manager reports a reply before the sender hands it over, so this
    // runs before the handler's slot.
    connect(RequestSender::sharedManager(), &QNetworkAccessManager::finished, this,
            [this](QNetworkReply *reply) {
                m_finished.append(reply->url().path().section(QLatin1Char('/'), -1));
                m_lastError = reply->error();
                if (m_finished.last() == m_stopAfter) {
                    testService().stop();
                    m_stopped = true;
                }
            });
}

void TestFaultMatrix::init()
{
    m_content = std::make_unique<QTemporaryDir>();
    m_outer = std::make_unique<QTemporaryDir>();
    QVERIFY2(m_content->isValid() && m_outer->isValid(), "The temporary folders could not be made.");
    QVERIFY(publish(QStringLiteral("accounts.json"),
                    "[{\"cid\": \"" + cid.toUtf8() + "\", \"sha1\": \""
                        + sha1Hex(password.toUtf8()).toLatin1() + "\", \"rating\": 5}]"));
    QVERIFY(publish(QStringLiteral("client/data.txt"), newData));
    QVERIFY(publish(QStringLiteral("client/keep.txt"), keptData));
    QVERIFY(publish(QStringLiteral("sector/Brenmar/new.txt"), newSector, true));
    QVERIFY(publish(QStringLiteral("sector/Brenmar/old.txt"), freshSector, true));
    QVERIFY(publish(QStringLiteral("sector/Brenmar/same.txt"), sameSector, true));
    resetTestService(m_content->path());

    const QString sector = m_outer->filePath(QStringLiteral("sector/Brenmar/"));
    QVERIFY(writeFile(sector + QStringLiteral("old.txt"), "stale sector file\r\n"));
    QVERIFY(setModificationTime(sector + QStringLiteral("old.txt"), serviceTime.addDays(-30)));
    QVERIFY(writeFile(sector + QStringLiteral("same.txt"), sameSector));
    QVERIFY(setModificationTime(sector + QStringLiteral("same.txt"), serviceTime));
    QVERIFY(writeFile(sector + QStringLiteral("mine.txt"), "the user's own file\r\n"));
    QVERIFY(writeFile(m_outer->filePath(QStringLiteral("outside.txt")), "beside the sector folder"));
    QVERIFY(writeFile(programFolder() + QStringLiteral("/data.txt"), oldData));
    QVERIFY(writeFile(programFolder() + QStringLiteral("/keep.txt"), keptData));
    QVERIFY(writeFile(programFolder() + QStringLiteral("/extra.txt.delete"), "set aside earlier"));

    m_settings
        = {{QStringLiteral("username"), QStringLiteral("remembered")},
           {QStringLiteral("hashedPassword"), sha1Hex("an older password")},
           {QStringLiteral("sectorPath"), fileUrl(m_outer->filePath(QStringLiteral("sector")))}};
    QVERIFY(writeSettingsFile(m_settings));
    QVERIFY(settings()->loadSettings());
    m_finished.clear();
    m_stopAfter.clear();
}

void TestFaultMatrix::cleanup()
{
    // A held request of a failed cell must not hold a worker of the service.
    testService().releaseHeld();
    if (m_stopped)
        m_stopped = testService().start("127.0.0.1", m_port) != m_port;
    QVERIFY2(!m_stopped, "The service could not listen on its port again.");
    const QStringList left
        = QDir(programFolder())
              .entryList({QStringLiteral("data.txt*"), QStringLiteral("keep.txt*"),
                          QStringLiteral("extra.txt*")},
                         QDir::Files | QDir::Hidden);
    for (const QString &file : left)
        QFile::remove(programFolder() + QLatin1Char('/') + file);
}

QMap<QString, SnapshotEntry> TestFaultMatrix::area() const
{
    QMap<QString, SnapshotEntry> entries;
    for (const QString &root : {QStringLiteral("program"), QStringLiteral("outer")}) {
        const auto part
            = snapshot(root == QLatin1String("outer") ? m_outer->path() : programFolder());
        for (auto it = part.cbegin(); it != part.cend(); ++it)
            entries.insert(root + QLatin1Char('/') + it.key(), it.value());
    }
    entries.remove(QStringLiteral("program/settings.dat"));
    return entries;
}

void TestFaultMatrix::jsonParserNestingLimit()
{
    // What the deep cells rely on: the parser reads the limit and refuses one
    // level more, and also every tree deeper than that.
    QJsonParseError error;
    QVERIFY2(!QJsonDocument::fromJson(nestedArrays(jsonNestingLimit), &error).isNull(),
             "A document at the nesting limit did not parse.");
    QVERIFY(QJsonDocument::fromJson(nestedArrays(jsonNestingLimit + 1), &error).isNull());
    QCOMPARE(error.error, QJsonParseError::DeepNesting);
    QVERIFY(QJsonDocument::fromJson("[" + deepSectorTree(deepLevels) + ']', &error).isNull());
    QCOMPARE(error.error, QJsonParseError::DeepNesting);
}

void TestFaultMatrix::cells_data()
{
    QTest::addColumn<Endpoint>("endpoint");
    QTest::addColumn<Fault>("fault");
    QTest::addColumn<char>("outcome");
    // Per fault, one letter per endpoint in the order of Endpoint: A, the
    // answer counts as it would without the fault; E, it reads as empty
    // (login: an empty identity; client list: nothing to update); R, the
    // login is refused; N, no answer reaches the handler. A held answer
    // counts when it comes (the self-update fires its watchdog first). Lists
    // and the login need no Content-Disposition. A cut answer is a failed
    // request, never an empty list or identity. Beyond the parser's limit a
    // list reads as empty; 100,000 entries are each read.
    const QPair<const char *, QByteArray> faults[]
        = {{"connection refused", "NNNNN"},
           {"reply slower than the watchdog", "AAAAA"},
           {"401", "RNNNN"},
           {"404", "NNNNN"},
           {"500", "NNNNN"},
           {"connection dropped mid-body", "NNNNN"},
           {"no Content-Disposition", "AANAN"},
           {"body not JSON", "EEANA"},
           {"100,000 entries", "AAAAA"},
           {"10,000 levels", "EEANA"},
           {"1,024 levels, the parser's limit", "AAAAA"}};
    for (int endpoint = 0; endpoint < 5; ++endpoint) {
        for (int fault = 0; fault < int(std::size(faults)); ++fault) {
            QTest::addRow("%s: %s", endpointNames[endpoint], faults[fault].first)
                << Endpoint(endpoint) << Fault(fault) << faults[fault].second.at(endpoint);
        }
    }
}

// The signals of the cell's handler in order, with the test's own steps.
QStringList TestFaultMatrix::expectedEvents(Endpoint endpoint, Fault fault, char outcome) const
{
    const bool slow = fault == Fault::Slow;
    QStringList events;
    switch (endpoint) {
    case Endpoint::Login:
        if (slow)
            events << released;
        if (outcome != 'N')
            events << (outcome == 'R' ? QStringLiteral("loginFailed()")
                                      : QStringLiteral("loginCompleted()"));
        return events;
    case Endpoint::CheckClient:
    case Endpoint::DownloadFile:
        if (slow || outcome == 'N')
            events << watchdogFired << QStringLiteral("errorFound()");
        if (slow)
            events << released;
        if (outcome != 'N')
            events << QStringLiteral("selfUpdated()");
        return events;
    case Endpoint::GetFileList: {
        if (slow)
            events << released;
        const int count = fault == Fault::NestingAtLimit ? 3 : 2;
        if (fault == Fault::HugeList) {
            for (int i = 0; i < hugeCount - 2; ++i)
                events << QStringLiteral("checkoutComplete(false, 0)");
            events << QStringLiteral("checkoutComplete(true, 1)");
        }
        if (outcome != 'N')
            events << QStringLiteral("checkoutComplete(true, %1)").arg(count);
        for (int i = 1; outcome != 'N' && i <= count; ++i)
            events << QStringLiteral("updateProgress(%1, %2)").arg(i).arg(count);
        return events << QStringLiteral("updateCompleted()");
    }
    case Endpoint::DownloadSectorFile:
        events << QStringLiteral("checkoutComplete(true, 2)");
        if (fault != Fault::Refused)
            events << QStringLiteral("updateProgress(1, 2)");
        if (slow)
            events << released;
        if (outcome != 'N')
            events << QStringLiteral("updateProgress(2, 2)") << QStringLiteral("updateCompleted()");
        return events;
    }
    return events;
}

void TestFaultMatrix::cells()
{
    QFETCH(Endpoint, endpoint);
    QFETCH(Fault, fault);
    QFETCH(char, outcome);
    const QString name = QLatin1String(endpointNames[int(endpoint)]);
    const bool selfUpdate = endpoint == Endpoint::CheckClient || endpoint == Endpoint::DownloadFile;
    const bool sector
        = endpoint == Endpoint::GetFileList || endpoint == Endpoint::DownloadSectorFile;
    QMap<QString, QByteArray> written;
    QString removed;

    addServiceFault(endpoint, fault);
    if (const QByteArray answer = faultyAnswer(endpoint, fault); !answer.isEmpty())
        testService().setListOverride(name.toStdString(), answer.toStdString());
    if (endpoint == Endpoint::DownloadFile) {
        const QByteArray body = downloadBody(fault, newData);
        written.insert(QStringLiteral("program/data.txt"), body);
        QVERIFY(publish(QStringLiteral("client/data.txt"), body));
    } else if (endpoint == Endpoint::DownloadSectorFile) {
        const QByteArray body = downloadBody(fault, freshSector);
        written.insert(oldSectorFile, body);
        QVERIFY(publish(QStringLiteral("sector/Brenmar/old.txt"), body, true));
        if (fault != Fault::Refused)
            written.insert(newSectorFile, newSector);
    } else if (endpoint == Endpoint::CheckClient) {
        written.insert(QStringLiteral("program/data.txt"), newData);
    } else if (endpoint == Endpoint::GetFileList) {
        written = {{newSectorFile, newSector}, {oldSectorFile, freshSector}};
        // The list nests: the array, the element, "Brenmar", then the chain.
        if (fault == Fault::NestingAtLimit) {
            const QString deep = QStringLiteral("Brenmar/")
                + QStringLiteral("d/").repeated(jsonNestingLimit - 3) + QStringLiteral("f.txt");
            QVERIFY(publish(QStringLiteral("sector/") + deep, newSector, true));
            written.insert(QStringLiteral("outer/sector/") + deep, newSector);
        }
    }
    if (outcome == 'N' || outcome == 'E')
        written.remove(endpoint == Endpoint::DownloadSectorFile
                           ? oldSectorFile
                           : QStringLiteral("program/data.txt"));
    if (outcome == 'N' && endpoint != Endpoint::DownloadSectorFile)
        written.clear();
    // The comparison of an arrived client list clears what an earlier update set aside.
    if (selfUpdate && !(endpoint == Endpoint::CheckClient && outcome == 'N'))
        removed = QStringLiteral("program/extra.txt.delete");
    const QMap<QString, SnapshotEntry> before = area();
    const QDir besideProgram(QFileInfo(programFolder()).absolutePath());
    const QStringList besideBefore
        = besideProgram.entryList(QDir::AllEntries | QDir::NoDotAndDotDot);

    // Refused: the service is off its port when the faulted request goes out.
    if (fault == Fault::Refused && endpoint == Endpoint::DownloadFile)
        m_stopAfter = QStringLiteral("checkClient.php");
    else if (fault == Fault::Refused && endpoint == Endpoint::DownloadSectorFile)
        m_stopAfter = QStringLiteral("getfilelist.php");
    else if (fault == Fault::Refused) {
        testService().stop();
        m_stopped = true;
    }

    std::unique_ptr<QObject> handler;
    switch (endpoint) {
    case Endpoint::Login: handler = std::make_unique<UserHandler>(); break;
    case Endpoint::CheckClient:
    case Endpoint::DownloadFile: handler = std::make_unique<SelfUpdateHandler>(); break;
    default: handler = std::make_unique<UpdateHandler>(); break;
    }
    SignalRecorder recorder(handler.get());
    auto *update = qobject_cast<UpdateHandler *>(handler.get());
    auto *watchdog = handler->findChild<QTimer *>(QStringLiteral("selfUpdateWatchdog"));
    QVERIFY2(!selfUpdate || watchdog, "The self-update has no watchdog.");
    if (endpoint == Endpoint::Login)
        qobject_cast<UserHandler *>(handler.get())->logIn(cid, password);
    if (update) {
        update->checkUpdate();
        if (endpoint == Endpoint::DownloadSectorFile) {
            QVERIFY2(waitUntil([this] { return !m_finished.isEmpty(); }),
                     "The list request did not end.");
            update->startUpdate();
        }
    }
    // Two sector downloads, one of them faulted; one request elsewhere.
    const int requests = endpoint == Endpoint::DownloadSectorFile ? 2 : 1;
    const std::string path = "/api/tarn/" + name.toStdString();
    if (fault == Fault::Slow) {
        QVERIFY2(waitUntil([&] {
                     return requestsTo(path).size() == size_t(requests)
                         && int(m_finished.count(name)) == requests - 1;
                 }),
                 "The held request did not reach the service.");
        QCoreApplication::processEvents();
        if (selfUpdate) {
            recorder.events << watchdogFired;
            QVERIFY(QMetaObject::invokeMethod(watchdog, "timeout"));
        }
        recorder.events << released;
        testService().releaseHeld();
    }
    QVERIFY2(waitUntil([&] { return int(m_finished.count(name)) >= requests; }, 60000),
             "The faulted request did not end.");
    if (fault == Fault::Refused)
        QCOMPARE(m_lastError, QNetworkReply::ConnectionRefusedError);
    if (endpoint == Endpoint::GetFileList)
        update->startUpdate();

    const QStringList expected = expectedEvents(endpoint, fault, outcome);
    const bool endsInWatchdog = selfUpdate && expected.endsWith(QStringLiteral("errorFound()"));
    QVERIFY2(
        waitUntil(
            [&] { return recorder.events.size() >= expected.size() - (endsInWatchdog ? 2 : 0); },
            60000),
        "The handler did not report what it should.");
    QCoreApplication::processEvents();
    if (selfUpdate && watchdog->isActive()) {
        recorder.events << watchdogFired;
        QVERIFY(QMetaObject::invokeMethod(watchdog, "timeout"));
    }
    QVERIFY2(!selfUpdate || !watchdog->isActive(),
             "The watchdog still runs after the update ended.");
    QCOMPARE(recorder.events, expected);

    if (endpoint == Endpoint::Login) {
        auto *user = qobject_cast<UserHandler *>(handler.get());
        if (outcome == 'A' || outcome == 'E') {
            QCOMPARE(user->vatsimId(), outcome == 'A' ? cid : QString());
            QCOMPARE(user->rating(),
                     outcome == 'A' ? QStringLiteral("CTR1") : QStringLiteral("OBS"));
            m_settings.insert(QStringLiteral("username"), user->vatsimId());
            m_settings.insert(QStringLiteral("hashedPassword"), sha1Hex(password.toUtf8()));
        } else if (outcome == 'R') {
            m_settings.remove(QStringLiteral("username"));
            m_settings.remove(QStringLiteral("hashedPassword"));
        }
    }
    QVERIFY2(readFile(SettingsHandler::settingsFilePath()) == settingsFileBytes(m_settings),
             "settings.dat does not hold what the cell leaves in it.");

    // Written files are byte-exact (sector files with the service's time);
    // everything else, hidden and part files included, is as it was.
    const QMap<QString, SnapshotEntry> after = area();
    QStringList paths = before.keys() + after.keys();
    paths.removeDuplicates();
    for (const QString &path : qAsConst(paths)) {
        const QString message = QStringLiteral("%1 is not what the cell leaves there.").arg(path);
        if (path == removed) {
            QVERIFY2(!after.contains(path), qPrintable(message));
        } else if (written.contains(path)) {
            QVERIFY2(after.value(path).content == written.value(path), qPrintable(message));
            QVERIFY2(!sector || after.value(path).modifiedMs == serviceTime.toMSecsSinceEpoch(),
                     qPrintable(message));
        } else if (!before.contains(path) && after.value(path).isFolder) {
            const auto inside
                = [&](const QString &file) { return file.startsWith(path + QLatin1Char('/')); };
            QVERIFY2(std::any_of(written.keyBegin(), written.keyEnd(), inside), qPrintable(message));
        } else {
            QVERIFY2(before.value(path) == after.value(path)
                         && before.contains(path) == after.contains(path),
                     qPrintable(message));
        }
    }
    QVERIFY2(besideProgram.entryList(QDir::AllEntries | QDir::NoDotAndDotDot) == besideBefore,
             "Something was written beside the program folder.");
}

QTEST_GUILESS_MAIN(TestFaultMatrix)
#include "tst_faultmatrix.moc"
