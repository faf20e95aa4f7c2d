#include "TestService.h"

#include "handlers/SettingsHandler.h"
#include "handlers/UpdateHandler.h"

#include <QDateTime>
#include <QFileInfo>
#include <QMetaMethod>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QUrl>

#include <memory>

namespace {
const QDateTime serviceTime(QDate(2024, 3, 9), QTime(17, 45, 12), Qt::LocalTime);

QByteArrayList parameterNames(const char *signature)
{
    const QMetaObject &meta = UpdateHandler::staticMetaObject;
    return meta.method(meta.indexOfSignal(signature)).parameterNames();
}
} // namespace

class TestUpdateHandler : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void init();

    void unusableSectorFolder_data();
    void unusableSectorFolder();
    void checkAndUpdateThreeFiles();
    void nothingOutdated();
    void severalElementsGiveGrowingCounts();
    void checkingTwiceRelaysEachSignalOnce();
    void failedWritesAreReported();
    void signalArgumentNamesForQml();

private:
    QString contentPath(const QString &relative) const { return m_content->filePath(relative); }
    QString sectorPath(const QString &relative) const { return m_sector->filePath(relative); }
    void useSectorFolder(const QString &folder);
    // Every signal of the controller, in order, as readable text.
    void recordSignals();

    SettingsHandler *m_settings = nullptr;
    UpdateHandler *m_handler = nullptr;
    std::unique_ptr<QTemporaryDir> m_content;
    std::unique_ptr<QTemporaryDir> m_sector;
    QStringList m_signals;
    QList<QMetaObject::Connection> m_recorders;
};

void TestUpdateHandler::initTestCase()
{
    m_settings = new SettingsHandler(this);
    m_handler = new UpdateHandler(this);
}

void TestUpdateHandler::init()
{
    m_content = std::make_unique<QTemporaryDir>();
    m_sector = std::make_unique<QTemporaryDir>();
    QVERIFY2(m_content->isValid() && m_sector->isValid(),
             "The temporary folders could not be made.");
    resetTestService(m_content->path());
    useSectorFolder(m_sector->path());
    recordSignals();
}

void TestUpdateHandler::useSectorFolder(const QString &folder)
{
    m_settings->insert(QStringLiteral("sectorPath"),
                       folder.isEmpty() ? QString() : QUrl::fromLocalFile(folder).toString());
}

void TestUpdateHandler::recordSignals()
{
    for (const auto &connection : qAsConst(m_recorders))
        disconnect(connection);
    m_signals.clear();
    m_recorders = {
        connect(m_handler, &UpdateHandler::checkoutComplete, this,
                [this](bool needsUpdate, const QString &updated) {
                    m_signals.append(
                        QStringLiteral("checkoutComplete(%1, %2)")
                            .arg(needsUpdate ? QStringLiteral("true") : QStringLiteral("false"),
                                 updated));
                }),
        connect(m_handler, &UpdateHandler::updateProgress, this,
                [this](uint current, uint count) {
                    m_signals.append(
                        QStringLiteral("updateProgress(%1, %2)").arg(current).arg(count));
                }),
        connect(m_handler, &UpdateHandler::updateFailures, this,
                [this](uint failed) {
                    m_signals.append(QStringLiteral("updateFailures(%1)").arg(failed));
                }),
        connect(m_handler, &UpdateHandler::updateCompleted, this,
                [this] { m_signals.append(QStringLiteral("updateCompleted()")); }),
        connect(m_handler, &UpdateHandler::sectorFolderError, this,
                [this] { m_signals.append(QStringLiteral("sectorFolderError()")); }),
    };
}

void TestUpdateHandler::unusableSectorFolder_data()
{
    QTest::addColumn<QString>("folder");
    QTest::newRow("empty sector path") << QString();
    QTest::newRow("folder that does not exist") << QStringLiteral("/nonexistent/tarn/sector");
    QTest::newRow("a file, not a folder")
        << QStringLiteral(TARN_TEST_DATA_DIR "/profiles/user/Brenmar.prf");
}

void TestUpdateHandler::unusableSectorFolder()
{
    QFETCH(QString, folder);
    useSectorFolder(folder);
    m_handler->checkUpdate();
    QCOMPARE(m_signals, QStringList{QStringLiteral("sectorFolderError()")});
    QVERIFY2(testService().requests().empty(),
             "A check without a usable sector folder sent a request.");
}

void TestUpdateHandler::checkAndUpdateThreeFiles()
{
    QVERIFY(writeFile(
        contentPath(QStringLiteral("sector/Brenmar/Brenmar.prf")),
        "Settings\tSettingsfileTAGS\t\\Brenmar\\Tags.txt\r\nLastSession\tcallsign\tBRM_OBS\r\n"));
    QVERIFY(writeFile(contentPath(QStringLiteral("sector/Brenmar/Data/airports.txt")), "EBRM\r\n"));
    QVERIFY(writeFile(contentPath(QStringLiteral("sector/Brenmar/Brenmar.sct")),
                      "[INFO]\r\nBrenmar\r\n"));
    for (const QString &file : {QStringLiteral("Brenmar.prf"), QStringLiteral("Data/airports.txt"),
                                QStringLiteral("Brenmar.sct")})
        QVERIFY(setModificationTime(contentPath(QStringLiteral("sector/Brenmar/") + file),
                                    serviceTime));
    QVERIFY(writeFile(
        sectorPath(QStringLiteral("Brenmar/Brenmar.prf")),
        "Settings\tSettingsfileTAGS\t\\Old\\Tags.txt\r\nLastSession\tcallsign\tBRM_W_APP\r\n"));
    QVERIFY(setModificationTime(sectorPath(QStringLiteral("Brenmar/Brenmar.prf")),
                                serviceTime.addDays(-30)));
    QVERIFY(writeFile(sectorPath(QStringLiteral("Brenmar/mine.txt")), "the user's own file"));

    m_handler->checkUpdate();
    QVERIFY2(m_signals.isEmpty(), "The check answered before its reply arrived.");
    QVERIFY2(waitUntil([this] { return !m_signals.isEmpty(); }), "The check was not answered.");
    QCOMPARE(m_signals, QStringList{QStringLiteral("checkoutComplete(true, 3)")});

    m_signals.clear();
    m_handler->startUpdate();
    QVERIFY2(waitUntil([this] { return m_signals.contains(QStringLiteral("updateCompleted()")); }),
             "The update did not complete.");
    QCOMPARE(
        m_signals,
        (QStringList{QStringLiteral("updateProgress(1, 3)"), QStringLiteral("updateProgress(2, 3)"),
                     QStringLiteral("updateProgress(3, 3)"), QStringLiteral("updateCompleted()")}));
    QCOMPARE(requestCount("/api/tarn/downloadSectorFile.php"), size_t(3));

    QCOMPARE(readFile(sectorPath(QStringLiteral("Brenmar/Brenmar.prf"))),
             QByteArray("Settings\tSettingsfileTAGS\t\\Brenmar\\Tags."
                        "txt\nLastSession\tcallsign\tBRM_W_APP\r\n"));
    QCOMPARE(readFile(sectorPath(QStringLiteral("Brenmar/Data/airports.txt"))),
             QByteArray("EBRM\r\n"));
    QCOMPARE(readFile(sectorPath(QStringLiteral("Brenmar/mine.txt"))),
             QByteArray("the user's own file"));
    for (const QString &file : {QStringLiteral("Brenmar.prf"), QStringLiteral("Data/airports.txt"),
                                QStringLiteral("Brenmar.sct")})
        QCOMPARE(QFileInfo(sectorPath(QStringLiteral("Brenmar/") + file)).lastModified(),
                 serviceTime);

    m_signals.clear();
    m_handler->checkUpdate();
    QVERIFY2(waitUntil([this] { return !m_signals.isEmpty(); }),
             "The second check was not answered.");
    QCOMPARE(m_signals, QStringList{QStringLiteral("checkoutComplete(false, 0)")});
}

void TestUpdateHandler::nothingOutdated()
{
    QVERIFY(writeFile(contentPath(QStringLiteral("sector/a.txt")), "a"));
    QVERIFY(setModificationTime(contentPath(QStringLiteral("sector/a.txt")), serviceTime));
    QVERIFY(writeFile(sectorPath(QStringLiteral("a.txt")), "a"));
    QVERIFY(setModificationTime(sectorPath(QStringLiteral("a.txt")), serviceTime));

    m_handler->checkUpdate();
    QVERIFY2(waitUntil([this] { return !m_signals.isEmpty(); }), "The check was not answered.");
    QCOMPARE(m_signals, QStringList{QStringLiteral("checkoutComplete(false, 0)")});

    m_signals.clear();
    m_handler->startUpdate();
    QCOMPARE(m_signals, QStringList{QStringLiteral("updateCompleted()")});
    QCOMPARE(requestCount("/api/tarn/downloadSectorFile.php"), size_t(0));
}

void TestUpdateHandler::severalElementsGiveGrowingCounts()
{
    // The service lists each top-level entry of the sector folder as an element.
    QVERIFY(writeFile(contentPath(QStringLiteral("sector/A/one.txt")), "1"));
    QVERIFY(writeFile(contentPath(QStringLiteral("sector/B/two.txt")), "2"));
    QVERIFY(writeFile(contentPath(QStringLiteral("sector/B/three.txt")), "3"));

    m_handler->checkUpdate();
    QVERIFY2(waitUntil([this] { return m_signals.size() >= 2; }),
             "The check was not answered twice.");
    QCOMPARE(m_signals,
             (QStringList{QStringLiteral("checkoutComplete(true, 1)"),
                          QStringLiteral("checkoutComplete(true, 3)")}));
}

void TestUpdateHandler::checkingTwiceRelaysEachSignalOnce()
{
    QVERIFY(writeFile(contentPath(QStringLiteral("sector/A/one.txt")), "1"));
    for (int check = 1; check <= 2; ++check) {
        m_handler->checkUpdate();
        QVERIFY2(waitUntil([&] { return m_signals.size() >= check; }), "A check was not answered.");
    }
    // Both answers have come; a third signal would come from a second relay.
    QSignalSpy replies(m_handler, &UpdateHandler::updateCompleted);
    m_handler->startUpdate();
    QVERIFY2(waitForSignals(replies), "The update did not complete.");
    QCOMPARE(
        m_signals,
        (QStringList{QStringLiteral("checkoutComplete(true, 1)"),
                     QStringLiteral("checkoutComplete(true, 1)"),
                     QStringLiteral("updateProgress(1, 1)"), QStringLiteral("updateCompleted()")}));
}

void TestUpdateHandler::failedWritesAreReported()
{
    QVERIFY(writeFile(contentPath(QStringLiteral("sector/S/Blocked/x.txt")), "x"));
    QVERIFY(writeFile(contentPath(QStringLiteral("sector/S/fine.txt")), "fine"));
    QVERIFY(writeFile(sectorPath(QStringLiteral("S/Blocked")), "a file where a folder should be"));

    m_handler->checkUpdate();
    QVERIFY2(waitUntil([this] { return !m_signals.isEmpty(); }), "The check was not answered.");
    m_signals.clear();
    m_handler->startUpdate();
    QVERIFY2(waitUntil([this] { return m_signals.contains(QStringLiteral("updateCompleted()")); }),
             "An update with a failed write did not complete.");
    QCOMPARE(
        m_signals,
        (QStringList{QStringLiteral("updateProgress(1, 2)"), QStringLiteral("updateProgress(2, 2)"),
                     QStringLiteral("updateFailures(1)"), QStringLiteral("updateCompleted()")}));
    QCOMPARE(readFile(sectorPath(QStringLiteral("S/fine.txt"))), QByteArray("fine"));
}

void TestUpdateHandler::signalArgumentNamesForQml()
{
    // QML handlers read the arguments by these names.
    QCOMPARE(parameterNames("checkoutComplete(bool,QString)"),
             (QByteArrayList{"needsUpdate", "Updated"}));
    QCOMPARE(parameterNames("updateProgress(uint,uint)"), (QByteArrayList{"current", "count"}));
}

QTEST_GUILESS_MAIN(TestUpdateHandler)
#include "tst_updatehandler.moc"
