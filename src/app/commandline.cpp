#include "commandline.h"
#include "linksummary.h"
#include "version.h"

#include <QRegularExpression>

namespace {

const QString kInstance = QStringLiteral("--instance");

// The options QApplication itself takes (with one dash or two), and which of
// them take a value. Anything else is refused before the toolkit starts,
// since without a display it would abort before it could say so.
const QStringList kToolkitFlags = {
    QStringLiteral("reverse"), QStringLiteral("nograb"), QStringLiteral("dograb"), QStringLiteral("sync"),
    QStringLiteral("widgetcount"), QStringLiteral("testability"),
};
const QStringList kToolkitValues = {
    QStringLiteral("platform"), QStringLiteral("platformpluginpath"), QStringLiteral("platformtheme"),
    QStringLiteral("plugin"), QStringLiteral("qwindowgeometry"), QStringLiteral("geometry"),
    QStringLiteral("qwindowicon"), QStringLiteral("icon"), QStringLiteral("qwindowtitle"),
    QStringLiteral("title"), QStringLiteral("session"), QStringLiteral("display"), QStringLiteral("name"),
    QStringLiteral("style"), QStringLiteral("stylesheet"), QStringLiteral("qmljsdebugger"),
};

// The option's name without its dashes, or empty when arg is no option.
QString toolkitOptionName(const QString &arg)
{
    if (arg.startsWith(QLatin1String("--")))
        return arg.mid(2).section(QLatin1Char('='), 0, 0);
    if (arg.startsWith(QLatin1Char('-')))
        return arg.mid(1).section(QLatin1Char('='), 0, 0);
    return QString();
}

} // namespace

bool isValidInstanceName(const QString &name)
{
    // \A and \z: '$' would also match before a final newline.
    static const QRegularExpression pattern(QStringLiteral("\\A[A-Za-z0-9_-][A-Za-z0-9_.-]{0,63}\\z"));
    return pattern.match(name).hasMatch();
}

CommandLine CommandLine::parse(const QStringList &arguments)
{
    CommandLine line;
    if (!arguments.isEmpty())
        line.rest << arguments.first();
    bool instanceGiven = false;
    for (int i = 1; i < arguments.size(); ++i) {
        const QString &arg = arguments.at(i);
        if (arg == QLatin1String("-h") || arg == QLatin1String("--help")) {
            line.action = Action::Help;
            return line;
        }
        if (arg == QLatin1String("-v") || arg == QLatin1String("--version")) {
            line.action = Action::Version;
            return line;
        }
        QString name;
        if (arg == kInstance) {
            if (i + 1 >= arguments.size()) {
                line.action = Action::Error;
                line.error = QStringLiteral("--instance needs a name");
                return line;
            }
            name = arguments.at(++i);
        } else if (arg.startsWith(kInstance + QLatin1Char('='))) {
            name = arg.mid(kInstance.size() + 1);
        } else {
            const QString option = toolkitOptionName(arg);
            const bool withValue = kToolkitValues.contains(option);
            if (!withValue && !kToolkitFlags.contains(option)) {
                line.action = Action::Error;
                line.error = QStringLiteral("unknown option \"%1\"").arg(arg.left(200));
                return line;
            }
            line.rest << arg;
            if (withValue && !arg.contains(QLatin1Char('='))) {
                if (i + 1 >= arguments.size()) {
                    line.action = Action::Error;
                    line.error = QStringLiteral("%1 needs a value").arg(arg);
                    return line;
                }
                line.rest << arguments.at(++i);
            }
            continue;
        }
        if (instanceGiven || !isValidInstanceName(name)) {
            line.action = Action::Error;
            line.error = instanceGiven
                ? QStringLiteral("--instance given twice")
                : QStringLiteral("invalid instance name \"%1\": use letters, digits, '-', '_' and '.', "
                                 "up to 64 characters").arg(name);
            return line;
        }
        instanceGiven = true;
        line.instance = name;
    }
    return line;
}

QString CommandLine::versionText()
{
    return QStringLiteral("Lumora Meters %1.%2").arg(LumoraVersion::kMajor).arg(LumoraVersion::kMinor);
}

QString CommandLine::helpText()
{
    return QStringLiteral(
        "Usage: lumora-meters [--instance NAME] [toolkit options]\n"
        "Peak programme meters and studio clock for the broadcast studio wall.\n"
        "\n"
        "  --instance NAME  run another display on this PC, with its own settings\n"
        "                   (and so its own link, names and window place);\n"
        "                   NAME: letters, digits, '-', '_' and '.'\n"
        "  -h, --help       show this text and exit\n"
        "  -v, --version    show the version and exit\n"
        "\n"
        "Settings: $XDG_CONFIG_HOME/Korvel B.V./Lumora Meters.conf, or\n"
        "Lumora Meters-NAME.conf for an instance; ~/.config when XDG_CONFIG_HOME is\n"
        "not set. Only one copy of each instance runs at a time.\n"
        "Debug output: QT_LOGGING_RULES=\"lumora.*.debug=true\".\n");
}

QString startLine(const QString &instance, const CommSettings &link)
{
    return QStringLiteral("%1 starting: instance %2, %3")
        .arg(CommandLine::versionText(), instance.isEmpty() ? QStringLiteral("default") : instance,
             linkSummary(link));
}
