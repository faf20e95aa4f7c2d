#include "TestService.h"

#include "app/QMLWrapper.h"
#include "app/Startup.h"
#include "handlers/ApplicationHandler.h"
#include "handlers/SelfUpdateHandler.h"
#include "handlers/SettingsHandler.h"
#include "handlers/UpdateHandler.h"
#include "handlers/UserHandler.h"

#include <QGuiApplication>
#include <QJsonDocument>
#include <QJsonObject>
#include <QPointer>
#include <QQmlApplicationEngine>
#include <QQmlComponent>
#include <QQuickWindow>
#include <QTemporaryDir>
#include <QTimer>

#include <memory>

namespace {
bool environmentBeforeApplication = false;
bool highDpiBeforeApplication = false;

void writeStoredCredentials()
{
    QJsonObject stored;
    stored.insert(QStringLiteral("username"), QStringLiteral("1234567"));
    QT_WARNING_PUSH
    QT_WARNING_DISABLE_DEPRECATED
    writeFile(SettingsHandler::settingsFilePath(), QJsonDocument(stored).toBinaryData());
    QT_WARNING_POP
}
} // namespace

class TestStartup : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void preparesProcessBeforeApplication();
    void createsEveryObjectOnceWithSettingsLoaded();
    void relayReEmitsSynchronouslyOnce();
    void qmlSeesTheObjectsStartupMade();
    void selfUpdateOutcomeArrivesAfterWindowExists();
    void quitEndsEventLoopWithZero();
    void wrapperOutlivesEngine();

private:
    QTemporaryDir content;
    std::unique_ptr<QQmlApplicationEngine> engine;
    int rootObjectsAtSelfUpdate = -1;
};

void TestStartup::initTestCase()
{
    QVERIFY(content.isValid());
    QVERIFY(QDir(content.path()).mkpath(QStringLiteral("client")));
    testService().setContentRoot(content.path().toStdString());
    writeStoredCredentials();
}

void TestStartup::preparesProcessBeforeApplication()
{
    QVERIFY2(environmentBeforeApplication,
             "QT_QPA_DISABLE_ENHANCED_MOUSE was 1 before the application existed.");
    QVERIFY2(highDpiBeforeApplication, "High-DPI scaling was on before the application existed.");
}

void TestStartup::createsEveryObjectOnceWithSettingsLoaded()
{
    QMLWrapper *wrapper = Startup::createNativeObjects();
    QVERIFY(wrapper);
    QCOMPARE(Startup::wrapper(), wrapper);
    QVERIFY(QmlSingletonType<ApplicationHandler>::instance);
    QVERIFY(QmlSingletonType<UserHandler>::instance);
    QVERIFY(QmlSingletonType<SettingsHandler>::instance);
    QVERIFY(QmlSingletonType<UpdateHandler>::instance);
    QVERIFY(QmlSingletonType<SelfUpdateHandler>::instance);
    QVERIFY2(!QmlSingletonType<SettingsHandler>::instance->parent(), "Handlers have no parent.");
    QCOMPARE(
        QmlSingletonType<SettingsHandler>::instance->value(QStringLiteral("username")).toString(),
        QStringLiteral("1234567"));
    connect(QmlSingletonType<SelfUpdateHandler>::instance, &SelfUpdateHandler::selfUpdated, this,
            [this] { rootObjectsAtSelfUpdate = engine ? engine->rootObjects().size() : 0; });
}

void TestStartup::relayReEmitsSynchronouslyOnce()
{
    QSignalSpy relayed(Startup::wrapper(), &QMLWrapper::selfUpdated);
    int relayedDuringEmission = -1;
    SelfUpdateHandler *handler = QmlSingletonType<SelfUpdateHandler>::instance;
    // Connected after the relay, so it runs after it within the same emission.
    const auto probe = connect(handler, &SelfUpdateHandler::selfUpdated, this,
                               [&] { relayedDuringEmission = relayed.count(); });
    Q_EMIT handler->selfUpdated();
    disconnect(probe);
    QCOMPARE(relayedDuringEmission, 1);
    QCOMPARE(relayed.count(), 1);
    rootObjectsAtSelfUpdate = -1;
}

void TestStartup::qmlSeesTheObjectsStartupMade()
{
    engine = std::make_unique<QQmlApplicationEngine>();
    Startup::loadMainWindow(*engine);
    QCOMPARE(engine->rootObjects().size(), 1);

    QQmlComponent probe(engine.get());
    probe.setData(R"(
        import QtQuick 2.11
        import org.kelpix.qml 1.0
        QtObject {
            property QtObject application: ApplicationHandler
            property QtObject user: UserHandler
            property QtObject settings: SettingsHandler
            property QtObject update: UpdateHandler
            property QtObject selfUpdate: SelfUpdateHandler
            property QtObject wrapper: QMLWrapper
            property int failures: 0
            property Connections watch: Connections {
                target: UserHandler
                function onLoginFailed() { failures += 1 }
            }
        })",
                  QUrl(QStringLiteral("qrc:/probe.qml")));
    std::unique_ptr<QObject> object(probe.create());
    QVERIFY2(object, qPrintable(probe.errorString()));
    QCOMPARE(object->property("application").value<QObject *>(),
             QmlSingletonType<ApplicationHandler>::instance);
    QCOMPARE(object->property("user").value<QObject *>(), QmlSingletonType<UserHandler>::instance);
    QCOMPARE(object->property("settings").value<QObject *>(),
             QmlSingletonType<SettingsHandler>::instance);
    QCOMPARE(object->property("update").value<QObject *>(),
             QmlSingletonType<UpdateHandler>::instance);
    QCOMPARE(object->property("selfUpdate").value<QObject *>(),
             QmlSingletonType<SelfUpdateHandler>::instance);
    QCOMPARE(object->property("wrapper").value<QObject *>(), Startup::wrapper());

    Q_EMIT QmlSingletonType<UserHandler>::instance->loginFailed();
    QCOMPARE(object->property("failures").toInt(), 1);
}

void TestStartup::selfUpdateOutcomeArrivesAfterWindowExists()
{
    QVERIFY2(waitUntil([this] { return rootObjectsAtSelfUpdate >= 0; }, 20000),
             "The self-update against an empty program list reported success.");
    QCOMPARE(rootObjectsAtSelfUpdate, 1);
    auto *window = qobject_cast<QQuickWindow *>(engine->rootObjects().first());
    QVERIFY(window);
}

void TestStartup::quitEndsEventLoopWithZero()
{
    auto *window = qobject_cast<QQuickWindow *>(engine->rootObjects().first());
    QObject *closeButton = window->findChild<QObject *>(QStringLiteral("closeButton"));
    QVERIFY(closeButton);
    QTimer::singleShot(0, closeButton,
                       [closeButton] { QMetaObject::invokeMethod(closeButton, "clicked"); });
    QCOMPARE(QGuiApplication::exec(), 0);
}

void TestStartup::wrapperOutlivesEngine()
{
    QPointer<QMLWrapper> wrapper = Startup::wrapper();
    QPointer<UserHandler> user = QmlSingletonType<UserHandler>::instance;
    engine.reset();
    QVERIFY2(!wrapper.isNull(), "The engine never deletes the program-owned relay.");
    QVERIFY2(user.isNull(), "The engine deleted a handler that QML had used.");
}

int main(int argc, char *argv[])
{
    const QSslConfiguration tls = Startup::prepareProcess();
    environmentBeforeApplication = qgetenv("QT_QPA_DISABLE_ENHANCED_MOUSE") == "1";
    highDpiBeforeApplication = QCoreApplication::testAttribute(Qt::AA_EnableHighDpiScaling);
    QGuiApplication application(argc, argv);
    TestStartup test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_startup.moc"
