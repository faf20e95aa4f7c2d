#include "Logging.h"

Q_LOGGING_CATEGORY(lcUpdate, "tarn.update")
Q_LOGGING_CATEGORY(lcSettings, "tarn.settings")
Q_LOGGING_CATEGORY(lcSelfUpdate, "tarn.selfupdate")
Q_LOGGING_CATEGORY(lcLauncher, "tarn.launcher")
