#pragma once

#include <QString>
#include <QStringList>

struct CommSettings;

// The program's own options. They are read before the toolkit starts, so
// --help and --version work without a display (over ssh, say); everything
// else on the line is left to the toolkit (-platform, -display ...).
struct CommandLine
{
    enum class Action { Run, Help, Version, Error };

    Action action = Action::Run;
    QString instance;      // empty: the standard display
    QString error;         // with Action::Error: one line for the operator
    QStringList rest;      // arguments that are not ours, argv[0] first

    static CommandLine parse(const QStringList &arguments);
    static QString helpText();
    static QString versionText();
};

// A name an instance may have: it becomes part of file names, so letters,
// digits, '-', '_' and '.', up to 64 characters, not starting with '.'.
bool isValidInstanceName(const QString &name);

// The one line the display logs as it starts: version, instance, link mode
// and where it reads, e.g. "Lumora Meters 1.9 starting: instance default,
// UDP client on port 5000 from 10.10.1.10".
QString startLine(const QString &instance, const CommSettings &link);
