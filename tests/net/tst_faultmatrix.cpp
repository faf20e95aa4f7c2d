// Every endpoint of the service against every fault the network or the
// service can produce: each cell drives the real handler over loopback and
// checks which signals come, what is written, what stays, and that nothing
// lands outside the folder being updated.

#include "TestService.h"

#include "handlers/SelfUpdateHandler.h"
#include "handlers/SettingsHandler.h"
#include "handlers/UpdateHandler.h"
#include "handlers/UserHandler.h"
#include "net/RequestSender.h"

#include <QCoreApplication>
#include <QCryptographicHash>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonParseError>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTimer>

#include <functional>
#include <memory>

namespace {

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
    // Not a fault: as deep as Qt's JSON parser reads, so the deep paths run.
    NestingAtLimit,
};

// Qt's JSON parser refuses documents nested deeper than this.
constexpr int jsonNestingLimit = 1024;
constexpr int deepLevels = 10000;
constexpr int hugeCount = 100000;
// A list of a few MiB, of which Qt has read much when the connection drops.
constexpr int droppedListCount = 10000;

const QString cid = QStringLiteral("1000001");
const QString password = QStringLiteral("secret");
const QString rememberedName = QStringLiteral("remembered");
const QString usernameKey = QStringLiteral("username");
const QString hashedPasswordKey = QStringLiteral("hashedPassword");
const QString sectorPathKey = QStringLiteral("sectorPath");
const QDateTime serviceTime(QDate(2024, 3, 9), QTime(17, 45, 12), Qt::LocalTime);
const QDateTime staleTime = serviceTime.addDays(-30);
const QByteArray newData = "new data\r\n";
const QByteArray oldData = "old data\r\n";
const QByteArray keptData = "kept\r\n";
const QByteArray setAside = "set aside by an earlier update";
const QByteArray staleSector = "stale sector file\r\n";
const QByteArray freshSector = "fresh sector file\r\n";
const QByteArray sameSector = "unchanged sector file\r\n";
const QByteArray newSector = "new sector file\r\n";
const QByteArray usersOwn = "the user's own file\r\n";

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

QByteArray hugeLines()
{
    // Joined rather than appended: QStringBuilder's += reserves the exact
    // size, which makes a long run of appends quadratic.
    QByteArrayList lines;
    for (int i = 0; i < hugeCount; ++i)
        lines.append("line " + QByteArray::number(i) + "\tEBRM\t51.1\t4.2\r\n");
    return lines.join();
}

QByteArray loginAnswer(const QByteArray &extraMembers = {})
{
    return "{\"cid\": \"" + cid.toUtf8() + "\", \"rating\": 5" + extraMembers + '}';
}

QByteArray hugeLoginAnswer()
{
    QByteArrayList members;
    for (int i = 0; i < hugeCount; ++i)
        members.append(", \"member" + QByteArray::number(i) + "\": " + QByteArray::number(i));
    return loginAnswer(members.join());
}

QByteArray clientEntry(const QString &path, const QString &hash)
{
    return "{\"path\": \"" + path.toUtf8() + "\", \"hash\": \"" + hash.toLatin1()
        + "\", \"mode\": \"EXT\", \"updated\": \"\"}";
}

// A folder tree of the sector list: levels folders named "d" around one file.
QByteArray deepSectorTree(int levels)
{
    return QByteArray("{\"d\": ").repeated(levels) + "{\"f.txt\": \"" + serviceTimeText() + "\"}"
        + QByteArray(levels, '}');
}

QString deepFolderPath(int levels)
{
    QStringList parts;
    for (int i = 0; i < levels; ++i)
        parts.append(QStringLiteral("d"));
    return parts.join(QLatin1Char('/'));
}

// Every file and folder below folder, by relative path; files with their content.
QMap<QString, QByteArray> treeOf(const QString &folder)
{
    QMap<QString, QByteArray> tree;
    const QDir root(folder);
    QDirIterator it(folder, QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        tree.insert(root.relativeFilePath(path),
                    it.fileInfo().isDir() ? QByteArray("<folder>") : readFile(path));
    }
    return tree;
}

// The entries directly in folder, but the one named except.
QStringList entriesBeside(const QString &folder, const QString &except)
{
    QStringList names = QDir(folder).entryList(
        QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot, QDir::Name);
    names.removeAll(except);
    return names;
}

QStringList partFilesBelow(const QString &folder)
{
    QStringList parts;
    const QMap<QString, QByteArray> tree = treeOf(folder);
    for (auto it = tree.cbegin(); it != tree.cend(); ++it) {
        if (it.key().endsWith(QLatin1String(".tarn-part")))
            parts.append(it.key());
    }
    return parts;
}

QString endpointOf(const QNetworkReply *reply)
{
    return reply->url().path().section(QLatin1Char('/'), -1);
}

// Every reply the shared manager finishes, by endpoint. The manager reports a
// reply before the sender hands it over, so a slot here runs before the
// handler's.
class ReplyWatch : public QObject
{
public:
    ReplyWatch()
    {
        connect(RequestSender::sharedManager(), &QNetworkAccessManager::finished, this,
                [this](QNetworkReply *reply) {
                    const QString endpoint = endpointOf(reply);
                    m_finished.append(endpoint);
                    m_errors.insert(endpoint, reply->error());
                    if (m_onFinished)
                        m_onFinished(endpoint);
                });
    }

    int count(const QString &endpoint) const { return int(m_finished.count(endpoint)); }
    bool waitFor(const QString &endpoint, int replies = 1)
    {
        return waitUntil([&] { return count(endpoint) >= replies; }, 60000);
    }
    QNetworkReply::NetworkError lastError(const QString &endpoint) const
    {
        return m_errors.value(endpoint, QNetworkReply::NoError);
    }
    void onFinished(std::function<void(const QString &)> callback)
    {
        m_onFinished = std::move(callback);
    }

private:
    QStringList m_finished;
    QHash<QString, QNetworkReply::NetworkError> m_errors;
    std::function<void(const QString &)> m_onFinished;
};

// The in-process service taken off its port, and put back on the same port.
class ServiceOutage
{
public:
    ServiceOutage()
        : m_port(testService().port())
    {
    }
    ~ServiceOutage() { restart(); }
    ServiceOutage(const ServiceOutage &) = delete;
    ServiceOutage &operator=(const ServiceOutage &) = delete;

    void stop()
    {
        testService().stop();
        m_stopped = true;
    }
    bool restart()
    {
        if (!m_stopped)
            return true;
        m_stopped = testService().start("127.0.0.1", m_port) != m_port;
        return !m_stopped;
    }

private:
    int m_port;
    bool m_stopped = false;
};

// The service's side of the faults that it produces itself; the test makes
// the others.
void addServiceFault(Fault fault, const QString &endpoint, const QString &file = {})
{
    devservice::Fault switchOn;
    switchOn.endpoint = endpoint.toStdString();
    switchOn.file = file.toStdString();
    switch (fault) {
    case Fault::Slow: switchOn.hold = true; break;
    case Fault::Unauthorized: switchOn.status = 401; break;
    case Fault::NotFound: switchOn.status = 404; break;
    case Fault::ServerError: switchOn.status = 500; break;
    case Fault::DroppedMidBody: switchOn.dropMidBody = true; break;
    case Fault::NoContentDisposition: switchOn.noContentDisposition = true; break;
    default: return;
    }
    testService().addFault(switchOn);
}

void addFaultRows(const std::function<void(const char *, Fault)> &row)
{
    row("connection refused", Fault::Refused);
    row("reply slower than the watchdog", Fault::Slow);
    row("401", Fault::Unauthorized);
    row("404", Fault::NotFound);
    row("500", Fault::ServerError);
    row("connection dropped mid-body", Fault::DroppedMidBody);
    row("no Content-Disposition", Fault::NoContentDisposition);
    row("body not JSON", Fault::NotJson);
    row("100,000 entries", Fault::HugeList);
    row("10,000 levels", Fault::DeepNesting);
    row("1,024 levels, the parser's limit", Fault::NestingAtLimit);
}

// The rows of a download endpoint and whether its file is written. A slow
// download still lands when it comes (for the self-update, after its
// watchdog has fired). A download is never parsed: the bodies of the list
// faults are ordinary files, which must land byte for byte.
void addDownloadRows(const char *endpoint)
{
    QTest::addColumn<Fault>("fault");
    QTest::addColumn<bool>("written");
    const QList<Fault> written
        = {Fault::Slow, Fault::NotJson, Fault::HugeList, Fault::DeepNesting, Fault::NestingAtLimit};
    addFaultRows([&](const char *name, Fault fault) {
        QTest::addRow("%s: %s", endpoint, name) << fault << written.contains(fault);
    });
}

// A handler started in this process on the test's own folder.
struct SelfUpdate
{
    const std::unique_ptr<SelfUpdateHandler> handler = std::make_unique<SelfUpdateHandler>();
    QSignalSpy updated{handler.get(), &SelfUpdateHandler::selfUpdated};
    QSignalSpy error{handler.get(), &SelfUpdateHandler::errorFound};
    QStringList order;

    SelfUpdate()
    {
        QObject::connect(handler.get(), &SelfUpdateHandler::errorFound,
                         [this] { order.append(QStringLiteral("errorFound")); });
        QObject::connect(handler.get(), &SelfUpdateHandler::selfUpdated,
                         [this] { order.append(QStringLiteral("selfUpdated")); });
    }
    QTimer *watchdog() const
    {
        return handler->findChild<QTimer *>(QStringLiteral("selfUpdateWatchdog"));
    }
    // Fires the watchdog as 90 seconds would.
    bool fireWatchdog() const
    {
        return watchdog() && QMetaObject::invokeMethod(watchdog(), "timeout");
    }
};
} // namespace

Q_DECLARE_METATYPE(Fault)

class TestFaultMatrix : public QObject
{
    Q_OBJECT

public:
    enum class Login { Completed, CompletedEmpty, Failed, NoSignal };
    enum class SelfUpdateOutcome { Updated, WatchdogOnly, EmptyList };
    enum class SectorCheck { Checked, NoCheckout };

private Q_SLOTS:
    void initTestCase();
    void init();
    void cleanup();

    void jsonParserNestingLimit();

    void login_data();
    void login();
    void checkClient_data();
    void checkClient();
    void downloadFile_data();
    void downloadFile();
    void getfilelist_data();
    void getfilelist();
    void downloadSectorFile_data();
    void downloadSectorFile();

private:
    QString programFile(const QString &relative) const
    {
        return QCoreApplication::applicationDirPath() + QLatin1Char('/') + relative;
    }
    QString sectorFile(const QString &relative) const
    {
        return m_outer->filePath(QStringLiteral("sector/") + relative);
    }
    bool publish(const QString &relative, const QByteArray &data) const
    {
        return writeFile(m_content->filePath(relative), data);
    }
    bool publishSector(const QString &relative, const QByteArray &data) const
    {
        const QString path = m_content->filePath(QStringLiteral("sector/") + relative);
        return writeFile(path, data) && setModificationTime(path, serviceTime);
    }
    void prepareProgramFolder();
    void prepareSectorFolder();
    QByteArray clientListFor(Fault fault) const;
    QByteArray servedBytesFor(Fault fault, const QByteArray &ordinary) const;
    void checkNothingOutside();
    void checkSectorFolderUntouched();
    void checkUpdateWrites(const QStringList &written);

    std::unique_ptr<QTemporaryDir> m_content;
    std::unique_ptr<QTemporaryDir> m_outer;
    QByteArray m_settingsBytes;
    QMap<QString, QByteArray> m_outerBefore;
    QStringList m_besideProgramBefore;
    QMap<QString, QByteArray> m_programBefore;
    QMap<QString, QByteArray> m_sectorBefore;
    std::unique_ptr<UpdateHandler> m_update;
    QStringList m_signals;
};

Q_DECLARE_METATYPE(TestFaultMatrix::Login)
Q_DECLARE_METATYPE(TestFaultMatrix::SelfUpdateOutcome)
Q_DECLARE_METATYPE(TestFaultMatrix::SectorCheck)

void TestFaultMatrix::initTestCase()
{
    qRegisterMetaType<QNetworkReply *>();
    new SettingsHandler(this);
}

void TestFaultMatrix::init()
{
    m_content = std::make_unique<QTemporaryDir>();
    m_outer = std::make_unique<QTemporaryDir>();
    QVERIFY2(m_content->isValid() && m_outer->isValid(), "The temporary folders could not be made.");
    QVERIFY(QDir(m_content->path()).mkpath(QStringLiteral("client")));
    QVERIFY(QDir(m_content->path()).mkpath(QStringLiteral("sector")));
    QVERIFY(QDir(m_outer->path()).mkpath(QStringLiteral("sector")));
    QVERIFY(writeFile(m_outer->filePath(QStringLiteral("outside.txt")), "beside the sector folder"));
    QVERIFY(publish(QStringLiteral("accounts.json"),
                    "[{\"cid\": \"" + cid.toUtf8() + "\", \"sha1\": \""
                        + sha1Hex(password.toUtf8()).toLatin1() + "\", \"rating\": 5}]"));
    resetTestService(m_content->path());

    settings()->loadSettings();
    settings()->insert(usernameKey, rememberedName);
    settings()->insert(hashedPasswordKey, sha1Hex("an older password"));
    settings()->insert(sectorPathKey, fileUrl(m_outer->filePath(QStringLiteral("sector"))));
    QVERIFY(settings()->saveSettings());
    m_settingsBytes = readFile(SettingsHandler::settingsFilePath());

    m_update = std::make_unique<UpdateHandler>();
    m_signals.clear();
    connect(
        m_update.get(), &UpdateHandler::checkoutComplete, this,
        [this](bool needsUpdate, const QString &updated) {
            m_signals.append(
                QStringLiteral("checkoutComplete(%1, %2)")
                    .arg(needsUpdate ? QStringLiteral("true") : QStringLiteral("false"), updated));
        });
    connect(m_update.get(), &UpdateHandler::updateProgress, this, [this](uint current, uint count) {
        m_signals.append(QStringLiteral("updateProgress(%1, %2)").arg(current).arg(count));
    });
    connect(m_update.get(), &UpdateHandler::updateFailures, this, [this](uint failed) {
        m_signals.append(QStringLiteral("updateFailures(%1)").arg(failed));
    });
    connect(m_update.get(), &UpdateHandler::updateCompleted, this,
            [this] { m_signals.append(QStringLiteral("updateCompleted()")); });

    const QString programFolder = QCoreApplication::applicationDirPath();
    m_besideProgramBefore = entriesBeside(QFileInfo(programFolder).absolutePath(),
                                          QFileInfo(programFolder).fileName());
    m_outerBefore = treeOf(m_outer->path());
}

void TestFaultMatrix::cleanup()
{
    // A held request of a failed cell must not hold a worker of the service.
    testService().releaseHeld();
    m_update.reset();
    const QStringList programFiles = {QStringLiteral("data.txt"), QStringLiteral("keep.txt"),
                                      QStringLiteral("extra.txt.delete")};
    for (const QString &file : programFiles)
        QFile::remove(programFile(file));
    for (const QString &part : partFilesBelow(QCoreApplication::applicationDirPath()))
        QFile::remove(programFile(part));
}

// Everything outside the folders being updated is as it was.
void TestFaultMatrix::checkNothingOutside()
{
    const QString programFolder = QCoreApplication::applicationDirPath();
    QVERIFY2(
        entriesBeside(QFileInfo(programFolder).absolutePath(), QFileInfo(programFolder).fileName())
            == m_besideProgramBefore,
        "Something was written beside the program folder.");
    QMap<QString, QByteArray> outer = treeOf(m_outer->path());
    QMap<QString, QByteArray> outerBefore = m_outerBefore;
    for (QMap<QString, QByteArray> *tree : {&outer, &outerBefore}) {
        for (auto it = tree->begin(); it != tree->end();) {
            if (it.key().startsWith(QLatin1String("sector/")))
                it = tree->erase(it);
            else
                ++it;
        }
    }
    QVERIFY2(outer == outerBefore, "A file was written outside the sector folder.");
}

void TestFaultMatrix::jsonParserNestingLimit()
{
    // What the deep cells rely on: the parser reads the limit and refuses one
    // level more, and also every tree deeper than that.
    QJsonParseError error;
    QVERIFY2(!QJsonDocument::fromJson(nestedArrays(jsonNestingLimit), &error).isNull(),
             "A document at the nesting limit did not parse.");
    QCOMPARE(error.error, QJsonParseError::NoError);
    QVERIFY(QJsonDocument::fromJson(nestedArrays(jsonNestingLimit + 1), &error).isNull());
    QCOMPARE(error.error, QJsonParseError::DeepNesting);
    QVERIFY(QJsonDocument::fromJson("[" + deepSectorTree(deepLevels) + ']', &error).isNull());
    QCOMPARE(error.error, QJsonParseError::DeepNesting);
}

// ---------------------------------------------------------------------------
// login.php

void TestFaultMatrix::login_data()
{
    QTest::addColumn<Fault>("fault");
    QTest::addColumn<Login>("outcome");
    const QMap<Fault, Login> outcomes = {
        {Fault::Refused, Login::NoSignal},
        {Fault::Slow, Login::Completed},
        {Fault::Unauthorized, Login::Failed},
        {Fault::NotFound, Login::NoSignal},
        {Fault::ServerError, Login::NoSignal},
        // A cut answer is a failed request, not a login with an empty identity.
        {Fault::DroppedMidBody, Login::NoSignal},
        // Login answers carry no such header and need none: the answer counts.
        {Fault::NoContentDisposition, Login::Completed},
        {Fault::NotJson, Login::CompletedEmpty},
        // An answer object with 100,000 further members.
        {Fault::HugeList, Login::Completed},
        // Beyond the parser's limit the answer reads as an empty object.
        {Fault::DeepNesting, Login::CompletedEmpty},
        {Fault::NestingAtLimit, Login::Completed},
    };
    addFaultRows([&](const char *name, Fault fault) {
        QTest::addRow("login.php: %s", name) << fault << outcomes.value(fault);
    });
}

void TestFaultMatrix::login()
{
    QFETCH(Fault, fault);
    QFETCH(Login, outcome);
    const QString endpoint = QStringLiteral("login.php");
    addServiceFault(fault, endpoint);
    switch (fault) {
    case Fault::NotJson:
        testService().setListOverride("login.php", notJsonBytes().toStdString());
        break;
    case Fault::HugeList:
    case Fault::DroppedMidBody:
        // Qt reads much of a large body before it sees the connection close.
        testService().setListOverride("login.php", hugeLoginAnswer().toStdString());
        break;
    case Fault::DeepNesting:
    case Fault::NestingAtLimit: {
        const int levels = fault == Fault::DeepNesting ? deepLevels : jsonNestingLimit;
        // The answer object is the first level.
        testService().setListOverride(
            "login.php", loginAnswer(", \"extra\": " + nestedArrays(levels - 1)).toStdString());
        break;
    }
    default: break;
    }

    ServiceOutage outage;
    if (fault == Fault::Refused)
        outage.stop();
    ReplyWatch replies;
    UserHandler user;
    QSignalSpy completed(&user, &UserHandler::loginCompleted);
    QSignalSpy failed(&user, &UserHandler::loginFailed);
    QSignalSpy empty(&user, &UserHandler::loginEmpty);
    user.logIn(cid, password);

    if (fault == Fault::Slow) {
        QVERIFY2(waitUntil([] { return requestCount("/api/tarn/login.php") == 1; }),
                 "The held login request did not reach the service.");
        QCoreApplication::processEvents();
        QVERIFY2(completed.isEmpty() && failed.isEmpty(), "The login ended before its answer came.");
        testService().releaseHeld();
    }
    QVERIFY2(replies.waitFor(endpoint), "The login request did not end.");
    if (fault == Fault::Refused) {
        QCOMPARE(replies.lastError(endpoint), QNetworkReply::ConnectionRefusedError);
        QVERIFY2(outage.restart(), "The service could not listen on its port again.");
    }

    QCOMPARE(empty.count(), 0);
    const QVariantHash stored = storedOnDisk();
    switch (outcome) {
    case Login::Completed:
    case Login::CompletedEmpty: {
        const QString expectedCid = outcome == Login::Completed ? cid : QString();
        QCOMPARE(completed.count(), 1);
        QCOMPARE(failed.count(), 0);
        QCOMPARE(user.vatsimId(), expectedCid);
        QCOMPARE(user.rating(),
                 outcome == Login::Completed ? QStringLiteral("CTR1") : QStringLiteral("OBS"));
        QCOMPARE(stored.value(usernameKey).toString(), expectedCid);
        QCOMPARE(stored.value(hashedPasswordKey).toString(), sha1Hex(password.toUtf8()));
        break;
    }
    case Login::Failed:
        QCOMPARE(failed.count(), 1);
        QCOMPARE(completed.count(), 0);
        QVERIFY2(!stored.contains(usernameKey) && !stored.contains(hashedPasswordKey),
                 "A rejected login left the remembered credentials in settings.dat.");
        break;
    case Login::NoSignal:
        QCOMPARE(completed.count() + failed.count(), 0);
        QVERIFY2(readFile(SettingsHandler::settingsFilePath()) == m_settingsBytes,
                 "A failed login request changed settings.dat.");
        break;
    }
    QCOMPARE(stored.value(sectorPathKey).toString(),
             fileUrl(m_outer->filePath(QStringLiteral("sector"))));
    checkNothingOutside();
}

// ---------------------------------------------------------------------------
// checkClient.php and downloadFile.php, through the self-update

void TestFaultMatrix::prepareProgramFolder()
{
    QVERIFY(publish(QStringLiteral("client/data.txt"), newData));
    QVERIFY(publish(QStringLiteral("client/keep.txt"), keptData));
    QVERIFY(writeFile(programFile(QStringLiteral("data.txt")), oldData));
    QVERIFY(writeFile(programFile(QStringLiteral("keep.txt")), keptData));
    QVERIFY(writeFile(programFile(QStringLiteral("extra.txt.delete")), setAside));
    m_programBefore = treeOf(QCoreApplication::applicationDirPath());
}

QByteArray TestFaultMatrix::clientListFor(Fault fault) const
{
    const QByteArray data = clientEntry(QStringLiteral("data.txt"), sha1Hex(newData));
    const QByteArray keep = clientEntry(QStringLiteral("keep.txt"), sha1Hex(keptData));
    switch (fault) {
    case Fault::NotJson: return notJsonBytes();
    case Fault::HugeList:
    case Fault::DroppedMidBody: {
        // Every entry names one of the two program files with a hash of other
        // bytes; the last two give the real hashes and replace all earlier
        // ones, so the list's size is exercised without 100,000 downloads.
        const int entries = fault == Fault::HugeList ? hugeCount : droppedListCount;
        QByteArrayList list;
        for (int i = 0; i < entries - 2; ++i) {
            list.append(clientEntry(i % 2 ? QStringLiteral("keep.txt") : QStringLiteral("data.txt"),
                                    sha1Hex(QByteArray::number(i))));
        }
        list << keep << data;
        return '[' + list.join(",\n") + ']';
    }
    case Fault::DeepNesting:
    case Fault::NestingAtLimit: {
        // An entry with one more member nested below the list and the entry.
        const int levels = fault == Fault::DeepNesting ? deepLevels : jsonNestingLimit;
        QByteArray deepEntry = data;
        deepEntry.chop(1);
        return "[" + keep + ", " + deepEntry + ", \"extra\": " + nestedArrays(levels - 2) + "}]";
    }
    default: return {};
    }
}

void TestFaultMatrix::checkClient_data()
{
    QTest::addColumn<Fault>("fault");
    QTest::addColumn<SelfUpdateOutcome>("outcome");
    const QMap<Fault, SelfUpdateOutcome> outcomes = {
        {Fault::Refused, SelfUpdateOutcome::WatchdogOnly},
        // The watchdog fires while the list is held; the list still updates.
        {Fault::Slow, SelfUpdateOutcome::Updated},
        {Fault::Unauthorized, SelfUpdateOutcome::WatchdogOnly},
        {Fault::NotFound, SelfUpdateOutcome::WatchdogOnly},
        {Fault::ServerError, SelfUpdateOutcome::WatchdogOnly},
        // A cut list must not pass for an empty one: that would be "current".
        {Fault::DroppedMidBody, SelfUpdateOutcome::WatchdogOnly},
        // Lists carry no such header and need none.
        {Fault::NoContentDisposition, SelfUpdateOutcome::Updated},
        {Fault::NotJson, SelfUpdateOutcome::EmptyList},
        {Fault::HugeList, SelfUpdateOutcome::Updated},
        // Beyond the parser's limit the list reads as empty.
        {Fault::DeepNesting, SelfUpdateOutcome::EmptyList},
        {Fault::NestingAtLimit, SelfUpdateOutcome::Updated},
    };
    addFaultRows([&](const char *name, Fault fault) {
        QTest::addRow("checkClient.php: %s", name) << fault << outcomes.value(fault);
    });
}

void TestFaultMatrix::checkClient()
{
    QFETCH(Fault, fault);
    QFETCH(SelfUpdateOutcome, outcome);
    const QString endpoint = QStringLiteral("checkClient.php");
    prepareProgramFolder();
    addServiceFault(fault, endpoint);
    if (const QByteArray list = clientListFor(fault); !list.isEmpty())
        testService().setListOverride("checkClient.php", list.toStdString());

    ServiceOutage outage;
    if (fault == Fault::Refused)
        outage.stop();
    ReplyWatch replies;
    SelfUpdate run;
    QVERIFY2(run.watchdog(), "The handler has no watchdog.");
    if (fault == Fault::Slow) {
        QVERIFY2(waitUntil([] { return requestCount("/api/tarn/checkClient.php") == 1; }),
                 "The held list request did not reach the service.");
        QVERIFY2(run.fireWatchdog(), "The watchdog could not be fired.");
        testService().releaseHeld();
    }
    QVERIFY2(replies.waitFor(endpoint), "The list request did not end.");
    if (fault == Fault::Refused) {
        QCOMPARE(replies.lastError(endpoint), QNetworkReply::ConnectionRefusedError);
        QVERIFY2(outage.restart(), "The service could not listen on its port again.");
    }

    switch (outcome) {
    case SelfUpdateOutcome::Updated:
        QVERIFY2(waitForSignals(run.updated, 1, 60000), "selfUpdated() did not come.");
        QCOMPARE(run.order,
                 fault == Fault::Slow
                     ? (QStringList{QStringLiteral("errorFound"), QStringLiteral("selfUpdated")})
                     : QStringList{QStringLiteral("selfUpdated")});
        QCOMPARE(readFile(programFile(QStringLiteral("data.txt"))), newData);
        QCOMPARE(requestCount("/api/tarn/downloadFile.php"), size_t(1));
        QVERIFY2(!QFile::exists(programFile(QStringLiteral("extra.txt.delete"))),
                 "The comparison did not remove the copy set aside earlier.");
        break;
    case SelfUpdateOutcome::EmptyList:
        QVERIFY2(waitForSignals(run.updated), "selfUpdated() did not come after an empty list.");
        QCOMPARE(run.order, QStringList{QStringLiteral("selfUpdated")});
        QCOMPARE(readFile(programFile(QStringLiteral("data.txt"))), oldData);
        QCOMPARE(requestCount("/api/tarn/downloadFile.php"), size_t(0));
        QVERIFY2(!QFile::exists(programFile(QStringLiteral("extra.txt.delete"))),
                 "The comparison did not remove the copy set aside earlier.");
        break;
    case SelfUpdateOutcome::WatchdogOnly:
        QVERIFY2(run.order.isEmpty(), "A failed list request was reported before the watchdog.");
        QVERIFY2(run.watchdog()->isActive(), "The watchdog stopped although nothing was compared.");
        QCOMPARE(requestCount("/api/tarn/downloadFile.php"), size_t(0));
        QVERIFY2(treeOf(QCoreApplication::applicationDirPath()) == m_programBefore,
                 "The program folder changed although the list never arrived.");
        QVERIFY2(run.fireWatchdog(), "The watchdog could not be fired.");
        QCOMPARE(run.order, QStringList{QStringLiteral("errorFound")});
        break;
    }
    QCOMPARE(readFile(programFile(QStringLiteral("keep.txt"))), keptData);
    QVERIFY2(partFilesBelow(QCoreApplication::applicationDirPath()).isEmpty(),
             "A partial file was left in the program folder.");
    QVERIFY2(readFile(SettingsHandler::settingsFilePath()) == m_settingsBytes,
             "The self-update changed settings.dat.");
    checkNothingOutside();
}

QByteArray TestFaultMatrix::servedBytesFor(Fault fault, const QByteArray &ordinary) const
{
    switch (fault) {
    case Fault::NotJson: return notJsonBytes();
    case Fault::HugeList: return hugeLines();
    case Fault::DroppedMidBody:
        // Qt reads much of a large body before it sees the connection close.
        return hugeLines() + hugeLines();
    case Fault::DeepNesting: return nestedArrays(deepLevels);
    case Fault::NestingAtLimit: return nestedArrays(jsonNestingLimit);
    default: return ordinary;
    }
}

void TestFaultMatrix::downloadFile_data()
{
    addDownloadRows("downloadFile.php");
}

void TestFaultMatrix::downloadFile()
{
    QFETCH(Fault, fault);
    QFETCH(bool, written);
    const QString endpoint = QStringLiteral("downloadFile.php");
    const QByteArray served = servedBytesFor(fault, newData);
    prepareProgramFolder();
    QVERIFY(publish(QStringLiteral("client/data.txt"), served));
    addServiceFault(fault, endpoint);

    ServiceOutage outage;
    ReplyWatch replies;
    if (fault == Fault::Refused) {
        // Runs before the list is handed over, so the downloads that follow
        // it find the port closed.
        replies.onFinished([&outage](const QString &finished) {
            if (finished == QLatin1String("checkClient.php"))
                outage.stop();
        });
    }
    SelfUpdate run;
    QVERIFY2(run.watchdog(), "The handler has no watchdog.");
    if (fault == Fault::Slow) {
        QVERIFY2(waitUntil([] { return requestCount("/api/tarn/downloadFile.php") == 1; }),
                 "The held download did not reach the service.");
        QVERIFY2(run.fireWatchdog(), "The watchdog could not be fired.");
        testService().releaseHeld();
    }
    QVERIFY2(replies.waitFor(endpoint), "The download did not end.");
    if (fault == Fault::Refused) {
        QCOMPARE(replies.lastError(endpoint), QNetworkReply::ConnectionRefusedError);
        QVERIFY2(outage.restart(), "The service could not listen on its port again.");
    }

    if (written) {
        QVERIFY2(waitForSignals(run.updated), "selfUpdated() did not come.");
        QCOMPARE(run.order,
                 fault == Fault::Slow
                     ? (QStringList{QStringLiteral("errorFound"), QStringLiteral("selfUpdated")})
                     : QStringList{QStringLiteral("selfUpdated")});
        QVERIFY2(readFile(programFile(QStringLiteral("data.txt"))) == served,
                 "The downloaded file is not byte for byte what the service sent.");
    } else {
        QVERIFY2(run.order.isEmpty(), "A failed download was reported before the watchdog.");
        QVERIFY2(run.watchdog()->isActive(),
                 "The watchdog stopped although a file is still pending.");
        QCOMPARE(readFile(programFile(QStringLiteral("data.txt"))), oldData);
        QVERIFY2(run.fireWatchdog(), "The watchdog could not be fired.");
        QCOMPARE(run.order, QStringList{QStringLiteral("errorFound")});
    }
    QVERIFY2(!QFile::exists(programFile(QStringLiteral("data.txt.delete"))),
             "A file that is not in use was set aside.");
    QCOMPARE(readFile(programFile(QStringLiteral("keep.txt"))), keptData);
    QVERIFY2(partFilesBelow(QCoreApplication::applicationDirPath()).isEmpty(),
             "A partial file was left in the program folder.");
    QVERIFY2(readFile(SettingsHandler::settingsFilePath()) == m_settingsBytes,
             "The self-update changed settings.dat.");
    checkNothingOutside();
}

// ---------------------------------------------------------------------------
// getfilelist.php and downloadSectorFile.php, through the update controller

void TestFaultMatrix::prepareSectorFolder()
{
    QVERIFY(publishSector(QStringLiteral("Brenmar/new.txt"), newSector));
    QVERIFY(publishSector(QStringLiteral("Brenmar/old.txt"), freshSector));
    QVERIFY(publishSector(QStringLiteral("Brenmar/same.txt"), sameSector));
    QVERIFY(writeFile(sectorFile(QStringLiteral("Brenmar/old.txt")), staleSector));
    QVERIFY(setModificationTime(sectorFile(QStringLiteral("Brenmar/old.txt")), staleTime));
    QVERIFY(writeFile(sectorFile(QStringLiteral("Brenmar/same.txt")), sameSector));
    QVERIFY(setModificationTime(sectorFile(QStringLiteral("Brenmar/same.txt")), serviceTime));
    QVERIFY(writeFile(sectorFile(QStringLiteral("Brenmar/mine.txt")), usersOwn));
    m_sectorBefore = treeOf(m_outer->filePath(QStringLiteral("sector")));
    m_outerBefore = treeOf(m_outer->path());
}

void TestFaultMatrix::checkSectorFolderUntouched()
{
    QVERIFY2(treeOf(m_outer->filePath(QStringLiteral("sector"))) == m_sectorBefore,
             "The sector folder changed although nothing was to be written.");
    QCOMPARE(QFileInfo(sectorFile(QStringLiteral("Brenmar/old.txt"))).lastModified(), staleTime);
}

// The update that follows a successful check writes exactly these files
// (relative to the sector folder) with the service's time, and nothing else.
void TestFaultMatrix::checkUpdateWrites(const QStringList &written)
{
    const QMap<QString, QByteArray> before = m_sectorBefore;
    const QMap<QString, QByteArray> after = treeOf(m_outer->filePath(QStringLiteral("sector")));
    for (auto it = after.cbegin(); it != after.cend(); ++it) {
        const bool expected
            = before.contains(it.key()) || written.contains(it.key()) || it.value() == "<folder>";
        QVERIFY2(
            expected,
            qPrintable(QStringLiteral("The update left the unexpected file %1.").arg(it.key())));
    }
    for (const QString &file : written)
        QCOMPARE(QFileInfo(sectorFile(file)).lastModified(), serviceTime);
    QCOMPARE(readFile(sectorFile(QStringLiteral("Brenmar/mine.txt"))), usersOwn);
    QCOMPARE(readFile(sectorFile(QStringLiteral("Brenmar/same.txt"))), sameSector);
    QVERIFY2(partFilesBelow(m_outer->filePath(QStringLiteral("sector"))).isEmpty(),
             "A partial file was left in the sector folder.");
}

void TestFaultMatrix::getfilelist_data()
{
    QTest::addColumn<Fault>("fault");
    QTest::addColumn<SectorCheck>("outcome");
    const QMap<Fault, SectorCheck> outcomes = {
        {Fault::Refused, SectorCheck::NoCheckout},
        // There is no watchdog here: the held list is answered late and counts.
        {Fault::Slow, SectorCheck::Checked},
        {Fault::Unauthorized, SectorCheck::NoCheckout},
        {Fault::NotFound, SectorCheck::NoCheckout},
        {Fault::ServerError, SectorCheck::NoCheckout},
        {Fault::DroppedMidBody, SectorCheck::NoCheckout},
        // Lists carry no such header and need none.
        {Fault::NoContentDisposition, SectorCheck::Checked},
        {Fault::NotJson, SectorCheck::NoCheckout},
        // 100,000 elements, each compared on its own.
        {Fault::HugeList, SectorCheck::Checked},
        // Beyond the parser's limit no element is read.
        {Fault::DeepNesting, SectorCheck::NoCheckout},
        // A real folder chain as deep as the parser reads: the deep walk and
        // the deep write.
        {Fault::NestingAtLimit, SectorCheck::Checked},
    };
    addFaultRows([&](const char *name, Fault fault) {
        QTest::addRow("getfilelist.php: %s", name) << fault << outcomes.value(fault);
    });
}

void TestFaultMatrix::getfilelist()
{
    QFETCH(Fault, fault);
    QFETCH(SectorCheck, outcome);
    const QString endpoint = QStringLiteral("getfilelist.php");
    prepareSectorFolder();
    // The list nests: the array, the element, "Brenmar", then the chain.
    const QString deepFile = QStringLiteral("Brenmar/") + deepFolderPath(jsonNestingLimit - 3)
        + QStringLiteral("/f.txt");
    QStringList written = {QStringLiteral("Brenmar/new.txt"), QStringLiteral("Brenmar/old.txt")};
    addServiceFault(fault, endpoint);
    switch (fault) {
    case Fault::NotJson:
        testService().setListOverride("getfilelist.php", notJsonBytes().toStdString());
        break;
    case Fault::HugeList:
    case Fault::DroppedMidBody: {
        const QByteArray time = serviceTimeText();
        const QByteArray same = "{\"Brenmar\": {\"same.txt\": \"" + time + "\"}},\n";
        const QByteArray list = '[' + same.repeated(hugeCount - 2)
            + "{\"Brenmar\": {\"new.txt\": \"" + time + "\"}},\n{\"Brenmar\": {\"old.txt\": \""
            + time + "\"}}]";
        testService().setListOverride("getfilelist.php", list.toStdString());
        break;
    }
    case Fault::DeepNesting:
        testService().setListOverride(
            "getfilelist.php",
            QByteArray("[{\"Brenmar\": " + deepSectorTree(deepLevels - 3) + "}]").toStdString());
        break;
    case Fault::NestingAtLimit:
        QVERIFY(publishSector(deepFile, newSector));
        written.append(deepFile);
        break;
    default: break;
    }

    ServiceOutage outage;
    if (fault == Fault::Refused)
        outage.stop();
    ReplyWatch replies;
    m_update->checkUpdate();
    if (fault == Fault::Slow) {
        QVERIFY2(waitUntil([] { return requestCount("/api/tarn/getfilelist.php") == 1; }),
                 "The held list request did not reach the service.");
        QCoreApplication::processEvents();
        QVERIFY2(m_signals.isEmpty(), "The check answered before its list came.");
        testService().releaseHeld();
    }
    QVERIFY2(replies.waitFor(endpoint), "The list request did not end.");
    if (fault == Fault::Refused) {
        QCOMPARE(replies.lastError(endpoint), QNetworkReply::ConnectionRefusedError);
        QVERIFY2(outage.restart(), "The service could not listen on its port again.");
    }

    if (outcome == SectorCheck::NoCheckout) {
        QVERIFY2(m_signals.isEmpty(), "A failed or unreadable list was answered.");
        m_update->startUpdate();
        QCOMPARE(m_signals, QStringList{QStringLiteral("updateCompleted()")});
        QCOMPARE(requestCount("/api/tarn/downloadSectorFile.php"), size_t(0));
        checkSectorFolderUntouched();
        checkNothingOutside();
        return;
    }

    const int count = int(written.size());
    if (fault == Fault::HugeList) {
        QCOMPARE(m_signals.size(), hugeCount);
        QCOMPARE(m_signals.at(hugeCount - 3), QStringLiteral("checkoutComplete(false, 0)"));
        QCOMPARE(m_signals.at(hugeCount - 2), QStringLiteral("checkoutComplete(true, 1)"));
    } else {
        QCOMPARE(m_signals.size(), 1);
    }
    QCOMPARE(m_signals.last(), QStringLiteral("checkoutComplete(true, %1)").arg(count));
    m_signals.clear();
    m_update->startUpdate();
    QVERIFY2(waitUntil([this] { return m_signals.contains(QStringLiteral("updateCompleted()")); },
                       60000),
             "The update after the check did not complete.");
    QStringList expected;
    for (int i = 1; i <= count; ++i)
        expected.append(QStringLiteral("updateProgress(%1, %2)").arg(i).arg(count));
    expected.append(QStringLiteral("updateCompleted()"));
    QCOMPARE(m_signals, expected);
    QCOMPARE(readFile(sectorFile(QStringLiteral("Brenmar/new.txt"))), newSector);
    QCOMPARE(readFile(sectorFile(QStringLiteral("Brenmar/old.txt"))), freshSector);
    if (fault == Fault::NestingAtLimit)
        QCOMPARE(readFile(sectorFile(deepFile)), newSector);
    checkUpdateWrites(written);
    checkNothingOutside();
}

void TestFaultMatrix::downloadSectorFile_data()
{
    addDownloadRows("downloadSectorFile.php");
}

void TestFaultMatrix::downloadSectorFile()
{
    QFETCH(Fault, fault);
    QFETCH(bool, written);
    const QString endpoint = QStringLiteral("downloadSectorFile.php");
    const QByteArray served = servedBytesFor(fault, freshSector);
    prepareSectorFolder();
    QVERIFY(publishSector(QStringLiteral("Brenmar/old.txt"), served));
    // Only old.txt meets the fault; new.txt, fetched first, shows the rest
    // of the batch going on.
    addServiceFault(fault, endpoint, QStringLiteral("//Brenmar/old.txt"));

    ReplyWatch replies;
    m_update->checkUpdate();
    QVERIFY2(replies.waitFor(QStringLiteral("getfilelist.php")), "The list request did not end.");
    QCOMPARE(m_signals, QStringList{QStringLiteral("checkoutComplete(true, 2)")});
    m_signals.clear();

    ServiceOutage outage;
    if (fault == Fault::Refused)
        outage.stop();
    m_update->startUpdate();
    if (fault == Fault::Slow) {
        QVERIFY2(waitUntil([] { return requestCount("/api/tarn/downloadSectorFile.php") == 2; }),
                 "The held download did not reach the service.");
        QCoreApplication::processEvents();
        QVERIFY2(!m_signals.contains(QStringLiteral("updateCompleted()")),
                 "The update completed before its last file came.");
        QCOMPARE(readFile(sectorFile(QStringLiteral("Brenmar/old.txt"))), staleSector);
        testService().releaseHeld();
    }
    QVERIFY2(replies.waitFor(endpoint, 2), "The downloads did not end.");
    if (fault == Fault::Refused) {
        QCOMPARE(replies.lastError(endpoint), QNetworkReply::ConnectionRefusedError);
        QVERIFY2(outage.restart(), "The service could not listen on its port again.");
        QVERIFY2(m_signals.isEmpty(), "A refused download was reported.");
        checkSectorFolderUntouched();
        checkNothingOutside();
        return;
    }

    QStringList files = {QStringLiteral("Brenmar/new.txt")};
    if (written) {
        QVERIFY2(
            waitUntil([this] { return m_signals.contains(QStringLiteral("updateCompleted()")); }),
            "The update did not complete.");
        QCOMPARE(m_signals,
                 (QStringList{QStringLiteral("updateProgress(1, 2)"),
                              QStringLiteral("updateProgress(2, 2)"),
                              QStringLiteral("updateCompleted()")}));
        QVERIFY2(readFile(sectorFile(QStringLiteral("Brenmar/old.txt"))) == served,
                 "The downloaded sector file is not byte for byte what the service sent.");
        files.append(QStringLiteral("Brenmar/old.txt"));
    } else {
        QCOMPARE(m_signals, QStringList{QStringLiteral("updateProgress(1, 2)")});
        QCOMPARE(readFile(sectorFile(QStringLiteral("Brenmar/old.txt"))), staleSector);
        QCOMPARE(QFileInfo(sectorFile(QStringLiteral("Brenmar/old.txt"))).lastModified(), staleTime);
    }
    QCOMPARE(readFile(sectorFile(QStringLiteral("Brenmar/new.txt"))), newSector);
    checkUpdateWrites(files);
    checkNothingOutside();
}

QTEST_GUILESS_MAIN(TestFaultMatrix)
#include "tst_faultmatrix.moc"
