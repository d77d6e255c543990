#pragma once

#include <QLoggingCategory>

// The link's fixed diagnostic lines ("data arrived.. ", "udpReceive", "bind to
// port "). Debug output is off by default: a studio PC would otherwise log a
// hundred lines a second. QT_LOGGING_RULES="lumora.link.debug=true" shows it.
Q_DECLARE_LOGGING_CATEGORY(lcLink)
