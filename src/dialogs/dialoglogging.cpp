#include "dialoglogging.h"

Q_LOGGING_CATEGORY(lcDialog, "lumora.dialog", QtInfoMsg)
