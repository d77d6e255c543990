#pragma once

#include <QString>

// What the small mark beside the settings icon tells the operator. Only Live
// hides it.
enum class LinkState {
    Live,         // valid packets arrive
    Silent,       // link open, but no valid packet for a second
    PortClosed,   // the serial port is not open (missing, unplugged, busy)
    BindFailed,   // the UDP socket could not take its port
    InvalidPort,  // the port text is not a number from 1 to 65535
};

// The tooltip of the link-state mark, in plain words.
QString linkStateDescription(LinkState state, const QString &where);
