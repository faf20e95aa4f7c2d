// Writes onto a file system that is full: each one must fail as a whole,
// say so, and leave the file it would have replaced as it was. Needs root
// for its mounts.

#include "HelperProcess.h"

#include "handlers/SettingsHandler.h"
#include "handlers/UpdateHandler.h"

#include <QScopeGuard>
#include <QTemporaryDir>

#include <sys/mount.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace {
const QString fillerName = QStringLiteral("filler");
const QString settingsName = QStringLiteral("settings.dat");

// Takes all the space that is left in folder; whether none is left afterwards.
bool fill(const QString &folder)
{
    QFile filler(folder + QLatin1Char('/') + fillerName);
    if (!filler.open(QIODevice::WriteOnly | QIODevice::Unbuffered))
        return false;
    for (const int size : {64 * 1024, 4096, 1})
        while (filler.write(QByteArray(size, 'f')) == size) { }
    struct statvfs status;
    return ::statvfs(QFile::encodeName(folder).constData(), &status) == 0 && status.f_bavail == 0;
}
} // namespace

class TestFullDisk : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase()
    {
        if (geteuid() != 0)
            TARN_SKIP("Mounting a small file system needs root; the full-disk cases are skipped.");
        new SettingsHandler(this);
    }

    void writeOntoFullDisk_data()
    {
        QTest::addColumn<QString>("path");
        QTest::addColumn<QByteArray>("oldContent");
        QTest::addColumn<QByteArray>("newContent");
        QTest::newRow("file streamed to the disk")
            << QStringLiteral("Data/Radar.sct") << QByteArray(16 * 1024, 'o')
            << QByteArray(96 * 1024, 'n');
        // Larger than the room that is left.
        QTest::newRow("profile merged in memory")
            << QStringLiteral("Profiles/Brenmar.prf")
            << QByteArray("LastSession\tcallsign\tEDWW_CTR\r\nSettings\tScreen\tOld.txt\r\n")
            << QByteArray("Settings\tSCREEN\tScreen.txt\r\n")
                   .repeated(2000)
                   .prepend("LastSession\tcallsign\tEDDF_APP\r\n");
        // The settings file lies beside the executable, so a copy of the helper
        // runs from the small file system.
        QTest::newRow("settings save")
            << settingsName
            << settingsFileBytes({{QStringLiteral("username"), QStringLiteral("1084211")}})
            << QByteArray(4096, '9');
    }

    void writeOntoFullDisk()
    {
        QFETCH(QString, path);
        QFETCH(QByteArray, oldContent);
        QFETCH(QByteArray, newContent);
        const bool settingsSave = path == settingsName;
        // A small tmpfs on a temporary folder, unmounted also when a check fails half-way.
        QTemporaryDir disk;
        const QByteArray mountPoint = QFile::encodeName(disk.path());
        const qint64 helper
            = settingsSave ? QFileInfo(QStringLiteral(TARN_UPDATE_HELPER)).size() : 0;
        const QByteArray options = "size=" + QByteArray::number(256 * 1024 + helper);
        if (::mount("tarn-fulldisk", mountPoint.constData(), "tmpfs", 0, options.constData()) != 0)
            TARN_SKIP(qPrintable(QStringLiteral("No tmpfs could be mounted: %1.")
                                     .arg(QString::fromLocal8Bit(std::strerror(errno)))));
        const auto unmount = qScopeGuard([&] { ::umount2(mountPoint.constData(), MNT_DETACH); });
        QTemporaryDir content;
        resetTestService(content.path());
        const QDateTime serviceTime(QDate(2024, 3, 9), QTime(17, 45, 12));
        QVERIFY(
            writeFile(content.filePath(QStringLiteral("sector/") + path), newContent, serviceTime)
            && writeFile(disk.filePath(path), oldContent, serviceTime.addYears(-1)));
        QStringList files
            = QStringList{path, fillerName, helperName()}.mid(0, settingsSave ? 3 : 2);
        QVERIFY((!settingsSave || copyHelperInto(disk.path())) && fill(disk.path()));

        if (settingsSave) {
            QProcess process;
            startHelper(process, disk.path(),
                        {QStringLiteral("save-setting"), QStringLiteral("username"),
                         QString::fromLatin1(newContent)});
            QVERIFY(process.waitForFinished(60000));
            QCOMPARE(process.readAllStandardOutput().trimmed(), QByteArray("saved=0"));
        } else {
            settings()->insert(QStringLiteral("sectorPath"), fileUrl(disk.path()));
            UpdateHandler handler;
            QSignalSpy compared(&handler, &UpdateHandler::checkoutComplete);
            QSignalSpy failures(&handler, &UpdateHandler::updateFailures);
            QSignalSpy completed(&handler, &UpdateHandler::updateCompleted);
            handler.checkUpdate();
            QVERIFY(waitForSignals(compared) && compared.first().first().toBool());
            handler.startUpdate();
            QVERIFY(waitForSignals(completed));
            // Reported as failed once.
            QVERIFY(failures.count() == 1 && failures.first().first().toUInt() == 1);
        }
        QCOMPARE(readFile(disk.filePath(path)), oldContent);
        files.sort();
        QCOMPARE(contents(snapshot(disk.path())).keys(), files);
    }
};

QTEST_GUILESS_MAIN(TestFullDisk)
#include "tst_fulldisk.moc"
