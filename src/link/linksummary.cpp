#include "linksummary.h"

#include "commsettings.h"
#include "serialproblem.h"

namespace {

QString orAny(const QString &text, const QString &any)
{
    const QString trimmed = text.trimmed();
    return trimmed.isEmpty() ? any : trimmed;
}

} // namespace

QString linkSummary(const CommSettings &s)
{
    const QString serial = s.serialport.trimmed().isEmpty()
        ? QStringLiteral("no serial port chosen")
        : QStringLiteral("serial port ") + shownPortName(s.serialport);
    if (!s.use_udp)
        return serial;
    if (s.is_server)
        return QStringLiteral("%1, UDP server from %2 to %3 port %4")
            .arg(serial, orAny(s.server_host, QStringLiteral("any address")),
                 orAny(s.server_destination, QStringLiteral("255.255.255.255")), s.server_port.trimmed());
    const QString group = s.client_group.trimmed().isEmpty()
        ? QString()
        : QStringLiteral(" in group ") + s.client_group.trimmed();
    return QStringLiteral("UDP client on port %1%2 from %3")
        .arg(s.client_port.trimmed(), group, orAny(s.client_host, QStringLiteral("any host")));
}
