#pragma once

#include <QString>

// What the small mark beside the settings icon tells the operator. Only Live
// hides it. LoopbackOnly is Live in all but reach: the packets go out, and
// only this PC hears them.
enum class LinkState {
    Live,         // valid packets arrive
    Silent,       // link open, but no valid packet for a second
    PortClosed,   // the serial port is not open (missing, unplugged, busy)
    BindFailed,   // the UDP socket could not take its port
    SendBindFailed,   // the server's sending socket could not be set up
    InvalidPort,  // the port text is not a number from 1 to 65535
    AddressNotLocal,  // server_host is no address of this PC (any more)
    HostUnresolved,   // client_host is a name that does not resolve
    InvalidAddress,   // a destination, TTL or group the link cannot use
    SendFailed,       // the server's sends fail (no route, say)
    LoopbackOnly,     // the server sends, but from a loopback address
};

// Where the operator changes the link, as the descriptions' remedies name
// it: the display's gear icon, or the relay's command line. One per program.
enum class LinkControls { GearIcon, CommandLine };
void setLinkControls(LinkControls controls);

// The tooltip of the link-state mark, in plain words.
QString linkStateDescription(LinkState state, const QString &where);

// The description with the reason beneath it, when there is one.
QString linkStateTooltip(LinkState state, const QString &where, const QString &reason);
