#include "programlogging.h"

Q_LOGGING_CATEGORY(lcApp, "lumora.app", QtInfoMsg)

namespace {
const char kTimedMessagePattern[] = "%{time yyyy-MM-dd HH:mm:ss.zzz} %{if-category}%{category}: %{endif}%{message}";
} // namespace

void setTimedMessagePattern()
{
    if (!qEnvironmentVariableIsSet("QT_MESSAGE_PATTERN"))
        qSetMessagePattern(QString::fromLatin1(kTimedMessagePattern));
}
