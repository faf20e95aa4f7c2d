#include "FilesCheckerFixture.h"

#include "net/RequestSender.h"

#include <QCryptographicHash>
#include <QFile>
#include <QNetworkAccessManager>
#include <QNetworkReply>

#include <cstring>

namespace {
constexpr int helperTimeoutMs = 60000;

QStringList warnings;
QtMessageHandler defaultHandler = nullptr;

void recordMessage(QtMsgType type, const QMessageLogContext &context, const QString &message)
{
    if (type == QtWarningMsg && qstrcmp(context.category, "tarn.update") == 0)
        warnings.append(message);
    defaultHandler(type, context, message);
}
} // namespace

void FilesCheckerFixture::initTestCase()
{
    defaultHandler = qInstallMessageHandler(&recordMessage);
    qRegisterMetaType<QNetworkReply *>();
}

void FilesCheckerFixture::init()
{
    content = std::make_unique<QTemporaryDir>();
    local = std::make_unique<QTemporaryDir>();
    QVERIFY2(content->isValid() && local->isValid(), "The temporary folders could not be made.");
    resetTestService(content->path());
    warnings.clear();
}

void FilesCheckerFixture::cleanup()
{
    // Folders that a test made read-only must not keep the cleanup out.
    for (const QString &folder : {QStringLiteral("Locked")})
        QFile::setPermissions(localPath(folder),
                              QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
}

bool FilesCheckerFixture::compareClient(FilesChecker &checker) const
{
    return compare(checker, QStringLiteral("client"), clientList);
}

bool FilesCheckerFixture::compareSector(FilesChecker &checker) const
{
    return compare(checker, QStringLiteral("sector"), sectorList);
}

bool FilesCheckerFixture::compare(FilesChecker &checker, const QString &mode,
                                  const QString &endpoint) const
{
    checker.SetRootPath(localRoot());
    checker.SetMode(mode);
    QSignalSpy compared(&checker, &FilesChecker::FilesCompared);
    checker.RequestFilelist(endpoint);
    return waitForSignals(compared);
}

bool FilesCheckerFixture::downloadSector(FilesChecker &checker)
{
    QSignalSpy finished(&checker, &FilesChecker::UpdateFinished);
    checker.DownloadSectorFiles();
    return waitForSignals(finished);
}

bool FilesCheckerFixture::waitForReplies(QSignalSpy &finished, int count)
{
    // The spy is connected before any sender, so by the time it has counted a
    // reply, the checker's handling of that reply has run as well.
    return waitForSignals(finished, count);
}

bool FilesCheckerFixture::runSectorHelper(QProcess &helper, const QStringList &options) const
{
    helper.setProcessEnvironment(serviceEnvironment());
    helper.start(QStringLiteral(TARN_UPDATE_HELPER),
                 QStringList{QStringLiteral("sector-update"), localRoot()} + options);
    return helper.waitForFinished(helperTimeoutMs);
}

QStringList FilesCheckerFixture::updateWarnings()
{
    return warnings;
}

QString sha1Hex(const QByteArray &bytes)
{
    return QString::fromLatin1(QCryptographicHash::hash(bytes, QCryptographicHash::Sha1).toHex());
}

QStringList requestedFiles(const std::string &path)
{
    QStringList files;
    for (const auto &request : requestsTo(path)) {
        const auto file = request.fields.find("file");
        files.append(file == request.fields.end() ? QString()
                                                  : QString::fromStdString(file->second));
    }
    files.sort();
    return files;
}

void answerNextListWithUnauthorized(const std::string &endpoint)
{
    devservice::Fault fault;
    fault.endpoint = endpoint;
    fault.status = 401;
    fault.times = 1;
    testService().addFault(fault);
}

void setList(const QString &endpoint, const QByteArray &json)
{
    testService().setListOverride(endpoint.toStdString(), json.toStdString());
}

QByteArray helperBytes()
{
    return readFile(QStringLiteral(TARN_UPDATE_HELPER));
}

QByteArray patterned(int size, quint32 seed)
{
    QByteArray bytes(size, Qt::Uninitialized);
    for (int i = 0; i + 4 <= size; i += 4) {
        const quint32 word = seed * 2654435761u + quint32(i);
        memcpy(bytes.data() + i, &word, 4);
    }
    for (int i = size - size % 4; i < size; ++i)
        bytes[i] = char(i);
    return bytes;
}

int unfinishedSectorDownloads()
{
    int count = 0;
    const auto replies = RequestSender::sharedManager()->findChildren<QNetworkReply *>();
    for (const QNetworkReply *reply : replies) {
        if (!reply->isFinished()
            && reply->url().path().endsWith(QLatin1String("/downloadSectorFile.php")))
            ++count;
    }
    return count;
}
