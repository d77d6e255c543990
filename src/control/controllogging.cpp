#include "controllogging.h"

Q_LOGGING_CATEGORY(lcControl, "lumora.control", QtInfoMsg)
