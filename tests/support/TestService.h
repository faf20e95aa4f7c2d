#pragma once

#include "DevService.h"

#include <QDateTime>
#include <QFileDevice>
#include <QHash>
#include <QJsonObject>
#include <QList>
#include <QMap>
#include <QProcessEnvironment>
#include <QSignalSpy>
#include <QString>
#include <QTest>

#include <functional>
#include <string>
#include <vector>

class FilesChecker;
class SettingsHandler;

// Skips the current test with the message where a tool the README calls
// optional is missing; fails it instead where every test must run
// (TARN_REQUIRE_EVERY_TEST set, as .ci/run sets it).
#define TARN_SKIP(message)                                                                         \
    do {                                                                                           \
        if (qEnvironmentVariableIsSet("TARN_REQUIRE_EVERY_TEST"))                                  \
            QFAIL(message);                                                                        \
        QSKIP(message);                                                                            \
    } while (false)

// Whether the program talks to nginx in front of the service.
#ifdef TARN_TEST_SERVICE_NGINX
constexpr bool realServer = true;
#else
constexpr bool realServer = false;
#endif

// The development service this test program talks to; apiBaseUrl points at it.
devservice::DevService &testService();

// Serves this content root with no faults and no requests recorded.
void resetTestService(const QString &contentRoot);
// A fault on the requests to endpoint ("login.php"), or to it for one file;
// the caller sets what it does.
devservice::Fault faultOn(const std::string &endpoint, const std::string &file = {});

// The requests the service has seen at exactly this path, in order.
std::vector<devservice::RecordedRequest> requestsTo(const std::string &path);
// The form fields of every request to a path ending in endpoint (for
// example "login.php"), in order.
QList<QHash<QString, QString>> requestFields(const QString &endpoint);

// Why nginx in front of the service could not start, in the real-server
// tests; empty when it serves.
QString realServerUnavailableReason();
// Skips the current test as TARN_SKIP does where nginx in front of the
// service could not start.
#define TARN_REQUIRE_SERVICE()                                                                     \
    do {                                                                                           \
        const QString unavailable = realServerUnavailableReason();                                 \
        if (!unavailable.isEmpty())                                                                \
            TARN_SKIP(qPrintable(unavailable));                                                    \
    } while (false)

// Trusts the test's certificate authority from now on, where the service
// speaks TLS with its certificate; elsewhere does nothing.
void trustTestAuthority();

// The environment of a separate process that talks to this program's service.
QProcessEnvironment serviceEnvironment();

// Runs the event loop until the condition holds or the time is up.
bool waitUntil(const std::function<bool()> &condition, int timeoutMs = 10000);

// Waits until the spy holds at least count signals.
bool waitForSignals(QSignalSpy &spy, int count = 1, int timeoutMs = 10000);

// Reads a whole file; empty when it cannot be opened.
QByteArray readFile(const QString &path);
// Writes a whole file, creating its folder, with this modification time when
// it is valid; false when that fails.
bool writeFile(const QString &path, const QByteArray &data, const QDateTime &modified = {});
// Copies the stand-in program (tests/support/StandIn.cpp) to path.
bool placeStandIn(const QString &path);
// The lines the stand-in at path recorded, once it has run: its working
// directory, argument count, arguments, inherited self-restart marker and
// EuroScope's last profile; empty when it did not run.
QStringList waitForRecord(const QString &path);
// The file: URL of a local path, as the settings store paths.
QString fileUrl(const QString &path);

// Compares root with the list of mode ("client" or "sector") and waits for
// the comparison; then downloads what differs and waits for the end of the
// batch. False when either does not end.
bool compareWithList(FilesChecker &checker, const QString &root, const QString &mode);
bool downloadDifferences(FilesChecker &checker, const QString &mode);

// The store start-up makes, as the interface reaches it.
SettingsHandler *settings();
// Removes the settings file where the program reads it.
void removeSettingsFile();
// The bytes of a settings file holding these values, as the program stores them.
QByteArray settingsFileBytes(const QJsonObject &values);
// Writes a settings file holding these values where the program reads it.
bool writeSettingsFile(const QJsonObject &values);

// One entry below a folder: a folder, or a file with its content, time and
// permissions.
struct SnapshotEntry
{
    bool isFolder = false;
    QByteArray content;
    qint64 modifiedMs = 0;
    QFileDevice::Permissions permissions;
    bool operator==(const SnapshotEntry &other) const;
};
// Everything below folder by relative path, hidden files and part files of
// unfinished writes included.
QMap<QString, SnapshotEntry> snapshot(const QString &folder);
// The relative paths of the files in a snapshot and their contents.
QMap<QString, QByteArray> contents(const QMap<QString, SnapshotEntry> &entries);
// How found differs from expected, by path ("missing", "unexpected",
// "different"), after the message; for a failing check.
template<typename Value>
QByteArray differences(const char *message, const QMap<QString, Value> &found,
                       const QMap<QString, Value> &expected)
{
    QStringList lines{QLatin1String(message)};
    QStringList paths = expected.keys() + found.keys();
    paths.removeDuplicates();
    for (const QString &path : qAsConst(paths)) {
        if (!found.contains(path) || !expected.contains(path) || found[path] != expected[path])
            lines << (!found.contains(path)          ? QStringLiteral("missing: ")
                          : !expected.contains(path) ? QStringLiteral("unexpected: ")
                                                     : QStringLiteral("different: "))
                    + path;
    }
    return lines.join(QStringLiteral("\n  ")).toLocal8Bit();
}

// Every signal its source declares beyond QObject's, in order, as text:
// "name(argument, ...)", each argument as QVariant renders it. The test may
// append markers of its own steps to events.
class SignalRecorder : public QObject
{
public:
    explicit SignalRecorder(QObject *source);
    int qt_metacall(QMetaObject::Call call, int id, void **arguments) override;

    QStringList events;

private:
    QList<QMetaMethod> m_signals;
};
