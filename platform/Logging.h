#pragma once

#include <QLoggingCategory>

// The program's logging categories, each defined once in Logging.cpp. Tarn
// logs only to Qt's message log; "tarn.*=false" in QT_LOGGING_RULES silences it.

// Lists, comparisons, downloads and file writes ("tarn.update").
Q_DECLARE_LOGGING_CATEGORY(lcUpdate)
// The settings file ("tarn.settings").
Q_DECLARE_LOGGING_CATEGORY(lcSettings)
// The self-update's outcome and restart ("tarn.selfupdate").
Q_DECLARE_LOGGING_CATEGORY(lcSelfUpdate)
// Starting EuroScope, the voice client and Discord ("tarn.launcher").
Q_DECLARE_LOGGING_CATEGORY(lcLauncher)
