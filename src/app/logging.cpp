#include "logging.h"

Q_LOGGING_CATEGORY(lcSettings, "lumora.settings", QtInfoMsg)
Q_LOGGING_CATEGORY(lcPerf, "lumora.perf", QtInfoMsg)
