// A separate process for the update tests.
//
//   tarn_update_helper
//       The self-update as start-up runs it, with this program's folder as
//       the program folder. Every process appends its story to
//       run-<pid>.txt in that folder: "start <executable file name>", then "selfUpdated",
//       "errorFound" or "quit" (the restart path). When the folder holds a
//       file "gate", the process waits for "go-<pid>" before it starts, so
//       that a test can look at the folder between two processes.
//   tarn_update_helper hold [LIBRARY...]
//       Keeps its own executable busy, and each library loaded, until its
//       standard input closes; prints "holding" once it does.
//   tarn_update_helper save-setting KEY VALUE
//       Loads the settings, sets KEY to VALUE, saves them and prints
//       "saved=1" or "saved=0".
//
// The service address comes from the environment variable TARN_TEST_SERVICE_URL;
// TARN_TEST_AUTHORITY, when set, names the certificate authority to trust.

#include "handlers/SelfUpdateHandler.h"
#include "handlers/SettingsHandler.h"
#include "net/ApiBaseUrl.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QFile>
#include <QFileInfo>
#include <QLibrary>
#include <QSslConfiguration>
#include <QTextStream>
#include <QThread>

#include <cstdio>
#include <utility>

#ifdef Q_OS_WIN
#include <windows.h>
#endif

const QString apiBaseUrl = qEnvironmentVariable("TARN_TEST_SERVICE_URL");

namespace {
QString inProgramFolder(const QString &name)
{
    return QCoreApplication::applicationDirPath() + QLatin1Char('/') + name;
}

void logLine(const QString &line)
{
    QFile log(inProgramFolder(QStringLiteral("run-%1.txt").arg(QCoreApplication::applicationPid())));
    if (!log.open(QIODevice::WriteOnly | QIODevice::Append) || log.write(line.toUtf8() + '\n') < 0)
        fprintf(stderr, "Could not write the run log.\n");
}

int runSelfUpdate()
{
    // The file this process runs from, read before any update sets it aside.
    logLine(QStringLiteral("start ")
            + QFileInfo(QCoreApplication::applicationFilePath()).fileName());
    const QString go
        = inProgramFolder(QStringLiteral("go-%1").arg(QCoreApplication::applicationPid()));
    for (QDeadlineTimer deadline(120000);
         QFileInfo::exists(inProgramFolder(QStringLiteral("gate"))) && !QFileInfo::exists(go);
         QThread::msleep(10))
        if (deadline.hasExpired())
            return 1;
    // The self-update loads the settings through the store start-up makes.
    new SettingsHandler;
    auto *handler = new SelfUpdateHandler;
    QString outcome = QStringLiteral("quit");
    for (const auto &[signal, name] : {std::pair{&SelfUpdateHandler::selfUpdated, "selfUpdated"},
                                       std::pair{&SelfUpdateHandler::errorFound, "errorFound"}})
        QObject::connect(handler, signal, [&outcome, name = name] {
            outcome = QLatin1String(name);
            QCoreApplication::exit(0);
        });
    const int result = QCoreApplication::exec();
    logLine(outcome);
    return result;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication application(argc, argv);
    const QString authority = qEnvironmentVariable("TARN_TEST_AUTHORITY");
    if (!authority.isEmpty()) {
        QSslConfiguration configuration = QSslConfiguration::defaultConfiguration();
        configuration.addCaCertificates(authority);
        QSslConfiguration::setDefaultConfiguration(configuration);
    }
    const QStringList arguments = QCoreApplication::arguments().mid(1);
    if (arguments.isEmpty())
        return runSelfUpdate();
    if (arguments.first() == QLatin1String("hold")) {
        for (const QString &library : arguments.mid(1)) {
            if (!QLibrary(library).load())
                return 1;
#ifdef Q_OS_WIN
            // Windows' loader keeps a loaded library from being written, but
            // not from being renamed; Wine does neither. A handle that denies
            // writing holds it as Windows does.
            if (CreateFileW(reinterpret_cast<const wchar_t *>(library.utf16()), GENERIC_READ,
                            FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING, 0, nullptr)
                == INVALID_HANDLE_VALUE)
                return 1;
#endif
        }
        // Tells the test, then blocks until it closes the write channel.
        QTextStream(stdout) << "holding" << Qt::endl;
        while (fgetc(stdin) != EOF) { }
        return 0;
    }
    if (arguments.first() == QLatin1String("save-setting") && arguments.size() == 3) {
        SettingsHandler settings;
        settings.loadSettings();
        settings.insert(arguments.at(1), arguments.at(2));
        QTextStream(stdout) << "saved=" << (settings.saveSettings() ? 1 : 0) << Qt::endl;
        return 0;
    }
    fprintf(stderr, "Unknown arguments.\n");
    return 2;
}
