#pragma once

#include <QLoggingCategory>
#include <QString>

struct CommSettings;

// The application's diagnostic lines go through these categories (the link
// and the dialogs have their own). Debug output is off by default; switch it
// on with e.g. QT_LOGGING_RULES="lumora.settings.debug=true".
Q_DECLARE_LOGGING_CATEGORY(lcSettings)
Q_DECLARE_LOGGING_CATEGORY(lcApp)
// Paint counts once a second, for the performance measurement only:
// QT_LOGGING_RULES="lumora.perf.debug=true".
Q_DECLARE_LOGGING_CATEGORY(lcPerf)

// The one line the display logs as it starts: version, instance, link mode
// and where it reads, e.g. "Lumora Meters 1.9 starting: instance default,
// UDP client on port 5000 from 10.10.1.10".
QString startLine(const QString &instance, const CommSettings &link);
