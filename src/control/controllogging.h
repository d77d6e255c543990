#pragma once

#include <QLoggingCategory>

// Every accepted write with its sender, refusals at most once a minute per
// sender, and the channel's own troubles.
Q_DECLARE_LOGGING_CATEGORY(lcControl)
