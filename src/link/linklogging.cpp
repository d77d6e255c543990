#include "linklogging.h"

Q_LOGGING_CATEGORY(lcLink, "lumora.link", QtInfoMsg)

namespace {
const char kTimedMessagePattern[] = "%{time yyyy-MM-dd HH:mm:ss.zzz} %{if-category}%{category}: %{endif}%{message}";
} // namespace

void setTimedMessagePattern()
{
    if (!qEnvironmentVariableIsSet("QT_MESSAGE_PATTERN"))
        qSetMessagePattern(QString::fromLatin1(kTimedMessagePattern));
}
