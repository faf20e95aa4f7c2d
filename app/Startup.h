#pragma once

#include <QSslConfiguration>

class QMLWrapper;
class QQmlApplicationEngine;

// The steps of the program's start, in the order main() runs them.
class Startup
{
public:
    // Before the application object exists: high-DPI scaling, TLS brought up
    // (the returned default configuration is kept, unchanged, until main()
    // returns) and the environment the platform plugin reads.
    static QSslConfiguration prepareProcess();

    // Creates the native objects, registers them with QML and adds the fonts.
    // Returns the relay, which is never deleted.
    static QMLWrapper *createNativeObjects();

    // Loads the main window document into the engine.
    static void loadMainWindow(QQmlApplicationEngine &engine);

    // The wrapper made by createNativeObjects(), for its QML factory.
    static QMLWrapper *wrapper();
};
