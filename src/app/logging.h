#pragma once

#include <QLoggingCategory>

// The program's own category, lcApp ("lumora.app"), comes from the service
// part, which the relay shares.
#include "programlogging.h"

// The application's diagnostic lines go through these categories (the link
// and the dialogs have their own). Debug output is off by default; switch it
// on with e.g. QT_LOGGING_RULES="lumora.settings.debug=true".
Q_DECLARE_LOGGING_CATEGORY(lcSettings)
// Paint counts once a second, for the performance measurement only:
// QT_LOGGING_RULES="lumora.perf.debug=true".
Q_DECLARE_LOGGING_CATEGORY(lcPerf)
