#pragma once

#include <QLoggingCategory>

// The program's fixed diagnostic lines go through these categories. Debug
// output is off by default (a studio PC would otherwise log a hundred lines a
// second); switch it on with e.g. QT_LOGGING_RULES="lumora.link.debug=true".
Q_DECLARE_LOGGING_CATEGORY(lcLink)
Q_DECLARE_LOGGING_CATEGORY(lcDialog)
Q_DECLARE_LOGGING_CATEGORY(lcSettings)
Q_DECLARE_LOGGING_CATEGORY(lcApp)
// Paint counts once a second, for the performance measurement only:
// QT_LOGGING_RULES="lumora.perf.debug=true".
Q_DECLARE_LOGGING_CATEGORY(lcPerf)
