#include "linklogging.h"

Q_LOGGING_CATEGORY(lcLink, "lumora.link", QtInfoMsg)
