#pragma once

// What the tests of FilesChecker and its parts share: a content folder that
// the development service serves, a local folder that the checker keeps in
// step with it (both fresh for every test function), and the steps that drive
// the checker over loopback.

#include "TestService.h"

#include "update/FilesChecker.h"

#include <QByteArray>
#include <QDate>
#include <QDateTime>
#include <QObject>
#include <QProcess>
#include <QSignalSpy>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>
#include <QTime>

#include <memory>
#include <string>

inline const QString clientList = QStringLiteral("checkClient.php");
inline const QString sectorList = QStringLiteral("getfilelist.php");
// The download endpoints as the service records them.
inline const std::string clientDownload = "/api/tarn/downloadFile.php";
inline const std::string sectorDownload = "/api/tarn/downloadSectorFile.php";

// A service time, and its text as the sector list gives it.
inline const QDateTime listedTime(QDate(2021, 2, 1), QTime(10, 0, 0), Qt::LocalTime);
inline const QString listedTimeText = QStringLiteral("01-02-2021 10:00:00");

class FilesCheckerFixture : public QObject
{
    Q_OBJECT

protected:
    QString contentPath(const QString &relative) const { return content->filePath(relative); }
    QString localPath(const QString &relative) const { return local->filePath(relative); }
    QString localRoot() const { return local->path(); }
    // Runs a comparison of the local folder; false when it did not come.
    bool compareClient(FilesChecker &checker) const;
    bool compareSector(FilesChecker &checker) const;
    // Downloads what a sector comparison found; false when the batch did not end.
    static bool downloadSector(FilesChecker &checker);
    // Waits until count more replies of the shared access manager have
    // finished, counting from when the spy was made.
    static bool waitForReplies(QSignalSpy &finished, int count);
    // Runs the update helper's sector update of the local folder.
    bool runSectorHelper(QProcess &helper, const QStringList &options) const;
    // The warnings of the category "tarn.update" logged in this test function.
    static QStringList updateWarnings();

private Q_SLOTS:
    void initTestCase();
    void init();
    void cleanup();

private:
    bool compare(FilesChecker &checker, const QString &mode, const QString &endpoint) const;

    std::unique_ptr<QTemporaryDir> content;
    std::unique_ptr<QTemporaryDir> local;
};

QString sha1Hex(const QByteArray &bytes);
// The "file" fields of the requests to path, sorted.
QStringList requestedFiles(const std::string &path);
// The next list request of endpoint is answered with HTTP 401.
void answerNextListWithUnauthorized(const std::string &endpoint);
// The service answers endpoint with this list instead of its content's.
void setList(const QString &endpoint, const QByteArray &json);
// The update helper's executable.
QByteArray helperBytes();
// Bytes in which every four-byte word differs from its neighbours, so a lost,
// repeated or reordered piece changes the content.
QByteArray patterned(int size, quint32 seed);
// The sector downloads posted and not finished yet.
int unfinishedSectorDownloads();
