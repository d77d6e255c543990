#include "logging.h"

#include "commandline.h"
#include "linksummary.h"

Q_LOGGING_CATEGORY(lcSettings, "lumora.settings", QtInfoMsg)
Q_LOGGING_CATEGORY(lcApp, "lumora.app", QtInfoMsg)
Q_LOGGING_CATEGORY(lcPerf, "lumora.perf", QtInfoMsg)

QString startLine(const QString &instance, const CommSettings &link)
{
    return QStringLiteral("%1 starting: instance %2, %3")
        .arg(CommandLine::versionText(), instance.isEmpty() ? QStringLiteral("default") : instance,
             linkSummary(link));
}
