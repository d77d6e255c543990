#pragma once

#include "commsettings.h"

#include <QString>
#include <QStringList>

// The relay's command line, checked before anything is opened: the same
// names and meanings as the display's settings keys, or a settings file.
struct RelayOptions
{
    enum class Status { Run, Help, Version, Error };
    Status status = Status::Run;
    CommSettings link;   // a UDP server link
    QString message;     // the help text, or a line for each option at fault
};

RelayOptions parseRelayOptions(const QStringList &arguments);
