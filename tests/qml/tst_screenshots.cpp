#include "TestService.h"
#include "UiDriver.h"

#include "app/Startup.h"
#include "handlers/SettingsHandler.h"

#include <QDir>
#include <QFile>
#include <QGuiApplication>
#include <QImage>
#include <QQuickItem>
#include <QQuickWindow>
#include <QSet>
#include <QTemporaryDir>
#include <QUrl>

namespace {
// TARN_SCREENSHOT_DIR, or the test's own folder.
QString screenshotFolder()
{
    const QString chosen = qEnvironmentVariable("TARN_SCREENSHOT_DIR");
    return chosen.isEmpty() ? QCoreApplication::applicationDirPath() : chosen;
}

// Enough different colours that something was drawn, not one flat fill.
bool showsSomething(const QImage &image)
{
    QSet<QRgb> colours;
    for (int y = 0; y < image.height() && colours.size() < 64; y += 3) {
        for (int x = 0; x < image.width() && colours.size() < 64; x += 3)
            colours.insert(image.pixel(x, y));
    }
    return colours.size() >= 64;
}
} // namespace

// Renders the splash, the login page and the four pages with OpenGL (drop
// shadows, blur and tinted icons included) and saves them as PNG files.
class TestScreenshots : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void cleanupTestCase();

    void splash();
    void login();
    void dashboard();
    void update();
    void settings();
    void about();

private:
    void save(const QString &name);

    QTemporaryDir content;
    QTemporaryDir sector;
    UiDriver ui;
};

void TestScreenshots::save(const QString &name)
{
    QQuickWindow *window = ui.window();
    const QImage image = window->grabWindow();
    const QSize expected = window->size() * window->devicePixelRatio();
    QCOMPARE(window->size(), QSize(800, 600));
    QCOMPARE(image.size(), expected);
    QVERIFY2(showsSomething(image),
             qPrintable(name + QStringLiteral(" shows more than one flat colour.")));
    const QString path = QDir(screenshotFolder()).filePath(name + QStringLiteral(".png"));
    QVERIFY2(QDir().mkpath(screenshotFolder()) && image.save(path),
             qPrintable(QStringLiteral("Could not save ") + path));
}

void TestScreenshots::initTestCase()
{
    QVERIFY2(content.isValid() && sector.isValid(), "Temporary folders could be made.");
    QVERIFY(writeFile(content.filePath(QStringLiteral("accounts.json")), DemoAccount::accountsJson));
    for (const QString &file :
         {QStringLiteral("Brenmar.sct"), QStringLiteral("Brenmar.ese"),
          QStringLiteral("Airports/BRM1.txt"), QStringLiteral("Airports/BRM2.txt")})
        QVERIFY(writeFile(content.filePath(QStringLiteral("sector/") + file), "content\n"));
    testService().setContentRoot(content.path().toStdString());
    QFile::remove(SettingsHandler::settingsFilePath());
    // Holds the self-update's answer back, so the splash can be taken whole.
    devservice::Fault slowSelfUpdate;
    slowSelfUpdate.endpoint = "checkClient.php";
    slowSelfUpdate.delay = std::chrono::seconds(5);
    slowSelfUpdate.times = 1;
    testService().addFault(slowSelfUpdate);
    QVERIFY2(ui.start(), "The main window appeared.");
}

void TestScreenshots::cleanupTestCase()
{
    QFile::remove(SettingsHandler::settingsFilePath());
}

void TestScreenshots::splash()
{
    QQuickItem *splash = ui.item(QStringLiteral("splashScreen"));
    QVERIFY(splash && splash->isVisible());
    QCOMPARE(splash->opacity(), 1.0);
    save(QStringLiteral("splash"));
}

void TestScreenshots::login()
{
    QVERIFY2(ui.waitForSplashGone(), "The splash faded out after the self-update.");
    ui.typeInto(ui.item(QStringLiteral("loginInput")), DemoAccount::vatsimId);
    ui.typeInto(ui.item(QStringLiteral("passwordInput")), DemoAccount::password);
    ui.moveAway();
    save(QStringLiteral("login"));
}

void TestScreenshots::dashboard()
{
    QVERIFY2(ui.logIn(DemoAccount::vatsimId, DemoAccount::password), "The login succeeded.");
    ui.moveAway();
    save(QStringLiteral("dashboard"));
}

void TestScreenshots::update()
{
    QmlSingletonType<SettingsHandler>::instance->setSectorPath(
        QUrl::fromLocalFile(sector.path()).toString());
    QVERIFY(ui.showPage(QStringLiteral("updatePlaceholder")));
    QQuickItem *status = ui.item(QStringLiteral("textDebug"));
    ui.click(ui.item(QStringLiteral("checkButton")));
    QVERIFY2(waitUntil([status] {
                 return status->property("text").toString()
                     == QLatin1String("Ready to Update. Files to update: 4");
             }),
             "The check found the four files.");
    ui.moveAway();
    save(QStringLiteral("update"));
}

void TestScreenshots::settings()
{
    QVERIFY(ui.showPage(QStringLiteral("settingsPlaceholder")));
    save(QStringLiteral("settings"));
}

void TestScreenshots::about()
{
    QVERIFY(ui.showPage(QStringLiteral("aboutPlaceholder")));
    save(QStringLiteral("about"));
}

int main(int argc, char *argv[])
{
    // As the program starts: high-DPI scaling before the application exists.
    const QSslConfiguration tlsConfiguration = Startup::prepareProcess();
    Q_UNUSED(tlsConfiguration)
    QGuiApplication application(argc, argv);
    TestScreenshots test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_screenshots.moc"
