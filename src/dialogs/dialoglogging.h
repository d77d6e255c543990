#pragma once

#include <QLoggingCategory>

// The dialogs' fixed diagnostic lines ("OK CLICK.. ", "comm is not null ");
// QT_LOGGING_RULES="lumora.dialog.debug=true" shows them.
Q_DECLARE_LOGGING_CATEGORY(lcDialog)
