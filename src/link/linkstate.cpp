#include "linkstate.h"

#include <QCoreApplication>

namespace {
LinkControls s_controls = LinkControls::GearIcon;
} // namespace

void setLinkControls(LinkControls controls)
{
    s_controls = controls;
}

QString linkStateDescription(LinkState state, const QString &where)
{
    switch (state) {
    case LinkState::Live:
        return QCoreApplication::translate("MainWindow", "Meter data arrives from %1.").arg(where);
    case LinkState::Silent:
        return QCoreApplication::translate("MainWindow", "No meter data from %1 for more than a second.").arg(where);
    case LinkState::PortClosed:
        if (where.isEmpty() && s_controls == LinkControls::CommandLine)
            return QCoreApplication::translate("MainWindow", "No serial port is chosen yet: name the console's port with --serial.");
        if (where.isEmpty())
            return QCoreApplication::translate("MainWindow", "No serial port is chosen yet: choose the console's port with the gear icon.");
        return QCoreApplication::translate("MainWindow", "Serial port %1 is not open. Retrying every second.").arg(where);
    case LinkState::BindFailed:
        return QCoreApplication::translate("MainWindow", "Could not listen on UDP port %1.").arg(where);
    case LinkState::SendBindFailed:
        return QCoreApplication::translate("MainWindow", "Could not set up the socket that sends meter data from %1: the displays receive nothing. Trying again every 5 seconds.").arg(where);
    case LinkState::InvalidPort:
        return QCoreApplication::translate("MainWindow", "The UDP port \"%1\" is not a number from 1 to 65535.").arg(where);
    case LinkState::AddressNotLocal:
        if (s_controls == LinkControls::CommandLine)
            return QCoreApplication::translate("MainWindow", "Waiting for address %1 to appear on this PC; nothing is sent meanwhile. Trying again every 5 seconds; if it is mistyped, give the right address with --interface.").arg(where);
        return QCoreApplication::translate("MainWindow", "Waiting for address %1 to appear on this PC; nothing is sent meanwhile. Trying again every 5 seconds; if it is mistyped, choose the network address with the gear icon.").arg(where);
    case LinkState::HostUnresolved:
        return QCoreApplication::translate("MainWindow", "The host name %1 does not resolve. Retrying every 10 seconds.").arg(where);
    case LinkState::InvalidAddress:
        return QCoreApplication::translate("MainWindow", "The UDP setting \"%1\" cannot be used; nothing is sent or joined.").arg(where);
    case LinkState::SendFailed:
        return QCoreApplication::translate("MainWindow", "Sending meter data to %1 fails: the displays receive nothing. Check this PC's network connection and routes.").arg(where);
    case LinkState::LoopbackOnly:
        if (s_controls == LinkControls::CommandLine)
            return QCoreApplication::translate("MainWindow", "Sending from a loopback address: only this PC hears it. Meter data comes from %1; give the studio network's address with --interface.").arg(where);
        return QCoreApplication::translate("MainWindow", "Sending from a loopback address: only this PC hears it. Meter data comes from %1; choose the studio network's address with the gear icon.").arg(where);
    }
    return QString();
}

QString linkStateTooltip(LinkState state, const QString &where, const QString &reason)
{
    const QString description = linkStateDescription(state, where);
    return reason.isEmpty() ? description : description + QLatin1Char('\n') + reason;
}
