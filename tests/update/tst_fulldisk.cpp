#include "TestService.h"

#include "handlers/SettingsHandler.h"
#include "handlers/UpdateHandler.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRandomGenerator>
#include <QSignalSpy>
#include <QTemporaryDir>

#include <sys/mount.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>

// Writes onto a file system that is full: each one must fail as a whole,
// say so, and leave the file it would have replaced as it was.

namespace {
constexpr qint64 smallFileSystemBytes = 256 * 1024;
constexpr int processTimeoutMs = 60000;
const QString fillerName = QStringLiteral("filler");
const QString settingsName = QStringLiteral("settings.dat");
const QString helperName = QFileInfo(QStringLiteral(TARN_UPDATE_HELPER)).fileName();
const QDateTime serviceTime(QDate(2024, 3, 9), QTime(17, 45, 12), Qt::LocalTime);
const QDateTime oldTime(QDate(2023, 1, 2), QTime(8, 0, 0), Qt::LocalTime);

// A tmpfs of a given size on a temporary folder, unmounted when the object goes,
// so also when a check fails half-way.
class SmallFileSystem
{
public:
    explicit SmallFileSystem(qint64 bytes)
    {
        if (!m_folder.isValid()) {
            m_problem = QStringLiteral("no temporary folder could be made");
            return;
        }
        const QByteArray options = "size=" + QByteArray::number(bytes);
        if (::mount("tarn-fulldisk", QFile::encodeName(path()).constData(), "tmpfs", 0,
                    options.constData())
            != 0) {
            m_problem = QString::fromLocal8Bit(std::strerror(errno));
            return;
        }
        m_mounted = true;
    }

    ~SmallFileSystem()
    {
        if (m_mounted)
            ::umount2(QFile::encodeName(path()).constData(), MNT_DETACH);
    }

    SmallFileSystem(const SmallFileSystem &) = delete;
    SmallFileSystem &operator=(const SmallFileSystem &) = delete;

    bool isMounted() const { return m_mounted; }
    QString problem() const { return m_problem; }
    QString path() const { return m_folder.path(); }
    QString filePath(const QString &name) const { return m_folder.filePath(name); }

    // Takes all the space that is left; whether none is left afterwards.
    bool fill() const
    {
        QFile filler(filePath(fillerName));
        if (!filler.open(QIODevice::WriteOnly | QIODevice::Unbuffered))
            return false;
        for (const int blockSize : {64 * 1024, 4096, 1}) {
            const QByteArray block(blockSize, 'f');
            while (filler.write(block) == block.size()) { }
        }
        filler.close();
        struct statvfs status;
        return ::statvfs(QFile::encodeName(path()).constData(), &status) == 0
            && status.f_bavail == 0;
    }

    // Every file on it, relative to its root.
    QStringList files() const
    {
        QStringList files;
        QDirIterator walk(path(), QDir::Files | QDir::Hidden | QDir::System,
                          QDirIterator::Subdirectories);
        while (walk.hasNext())
            files.append(QDir(path()).relativeFilePath(walk.next()));
        files.sort();
        return files;
    }

private:
    QTemporaryDir m_folder;
    QString m_problem;
    bool m_mounted = false;
};

QByteArray randomBytes(int size)
{
    QByteArray bytes(size, Qt::Uninitialized);
    QRandomGenerator random(size);
    for (char &byte : bytes)
        byte = char(random.bounded(256));
    return bytes;
}

// A profile of many plain lines, larger than the room that is left.
QByteArray largeProfile(const QByteArray &keyedLine)
{
    QByteArray profile = keyedLine;
    for (int line = 0; line < 2000; ++line)
        profile += "Settings\tSettingsfileSCREEN\tScreen" + QByteArray::number(line) + ".txt\r\n";
    return profile;
}

QByteArray binarySettings(const QString &user)
{
    QT_WARNING_PUSH
    QT_WARNING_DISABLE_DEPRECATED
    return QJsonDocument(QJsonObject{{QStringLiteral("username"), user}}).toBinaryData();
    QT_WARNING_POP
}
} // namespace

class TestFullDisk : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void init();

    void sectorWriteOntoFullDisk_data();
    void sectorWriteOntoFullDisk();
    void settingsSaveOntoFullDisk();

private:
    SettingsHandler *m_settings = nullptr;
    std::unique_ptr<QTemporaryDir> m_content;
};

void TestFullDisk::initTestCase()
{
    if (geteuid() != 0)
        QSKIP("Mounting a small file system needs root rights; the full-disk cases are skipped.");
    m_settings = new SettingsHandler(this);
}

void TestFullDisk::init()
{
    m_content = std::make_unique<QTemporaryDir>();
    QVERIFY2(m_content->isValid(), "The temporary content folder could not be made.");
    resetTestService(m_content->path());
}

void TestFullDisk::sectorWriteOntoFullDisk_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<QByteArray>("oldContent");
    QTest::addColumn<QByteArray>("newContent");

    QTest::newRow("file streamed to the disk")
        << QStringLiteral("Data/Radar.sct") << randomBytes(16 * 1024) << randomBytes(96 * 1024);
    QTest::newRow("profile merged in memory")
        << QStringLiteral("Profiles/Brenmar.prf")
        << QByteArray(
               "LastSession\tcallsign\tEDWW_CTR\r\nSettings\tSettingsfileSCREEN\tOld.txt\r\n")
        << largeProfile("LastSession\tcallsign\tEDDF_APP\r\n");
}

void TestFullDisk::sectorWriteOntoFullDisk()
{
    QFETCH(QString, path);
    QFETCH(QByteArray, oldContent);
    QFETCH(QByteArray, newContent);

    SmallFileSystem disk(smallFileSystemBytes);
    if (!disk.isMounted())
        QSKIP(qPrintable(QStringLiteral("A small tmpfs could not be mounted (%1); the full-disk "
                                        "case is skipped.")
                             .arg(disk.problem())));
    const QString published = m_content->filePath(QStringLiteral("sector/") + path);
    QVERIFY(writeFile(published, newContent) && setModificationTime(published, serviceTime));
    QVERIFY(writeFile(disk.filePath(path), oldContent)
            && setModificationTime(disk.filePath(path), oldTime));
    QVERIFY2(disk.fill(), "The small file system could not be filled.");

    m_settings->insert(QStringLiteral("sectorPath"), fileUrl(disk.path()));
    UpdateHandler handler;
    QSignalSpy compared(&handler, &UpdateHandler::checkoutComplete);
    QSignalSpy failures(&handler, &UpdateHandler::updateFailures);
    QSignalSpy completed(&handler, &UpdateHandler::updateCompleted);
    handler.checkUpdate();
    QVERIFY2(waitForSignals(compared), "The sector folder was not compared.");
    QVERIFY2(compared.first().first().toBool(), "The old file was not found outdated.");
    handler.startUpdate();
    QVERIFY2(waitForSignals(completed), "The update did not complete.");

    QCOMPARE(failures.count(), 1);
    QVERIFY2(failures.first().first().toUInt() == 1, "The write was not reported as failed.");
    QVERIFY2(readFile(disk.filePath(path)) == oldContent,
             "The old file changed although the new one did not fit.");
    QCOMPARE(disk.files(), (QStringList{path, fillerName}));
}

void TestFullDisk::settingsSaveOntoFullDisk()
{
    // The settings file lies beside the executable, so a copy of the helper
    // runs from the small file system.
    const qint64 helperBytes = QFileInfo(QStringLiteral(TARN_UPDATE_HELPER)).size();
    SmallFileSystem disk(helperBytes + smallFileSystemBytes);
    if (!disk.isMounted())
        QSKIP(qPrintable(QStringLiteral("A small tmpfs could not be mounted (%1); the full-disk "
                                        "case is skipped.")
                             .arg(disk.problem())));
    const QString helper = disk.filePath(helperName);
    QVERIFY(QFile::copy(QStringLiteral(TARN_UPDATE_HELPER), helper));
    const QByteArray oldSettings = binarySettings(QStringLiteral("1084211"));
    QVERIFY(writeFile(disk.filePath(settingsName), oldSettings));
    QVERIFY2(disk.fill(), "The small file system could not be filled.");

    QProcess process;
    process.setProcessEnvironment(serviceEnvironment());
    process.start(helper,
                  {QStringLiteral("save-setting"), QStringLiteral("username"),
                   QString(4096, QLatin1Char('9'))});
    QVERIFY2(process.waitForFinished(processTimeoutMs), "The settings save did not end.");
    QCOMPARE(process.readAllStandardOutput().trimmed(), QByteArray("saved=0"));
    QVERIFY2(readFile(disk.filePath(settingsName)) == oldSettings,
             "The settings file changed although the new one did not fit.");
    QCOMPARE(disk.files(), (QStringList{fillerName, settingsName, helperName}));
}

QTEST_GUILESS_MAIN(TestFullDisk)
#include "tst_fulldisk.moc"
