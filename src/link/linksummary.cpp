#include "linksummary.h"

#include "commsettings.h"
#include "serialproblem.h"

namespace {

QString orAny(const QString &text, const QString &any)
{
    const QString trimmed = text.trimmed();
    return trimmed.isEmpty() ? any : trimmed;
}

// A port as typed, or what is missing.
QString portOrMissing(const QString &port, const char *key)
{
    const QString trimmed = port.trimmed();
    return trimmed.isEmpty() ? QStringLiteral("no port (%1 is empty)").arg(QLatin1String(key))
                             : QStringLiteral("port ") + trimmed;
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
        return QStringLiteral("%1, UDP server from %2 to %3 %4")
            .arg(serial, orAny(s.server_host, QStringLiteral("any address")),
                 orAny(s.server_destination, QStringLiteral("255.255.255.255")),
                 portOrMissing(s.server_port, LUMORA_KEY_SERVER_PORT));
    const QString group = s.client_group.trimmed().isEmpty()
        ? QString()
        : QStringLiteral(" in group ") + s.client_group.trimmed();
    return QStringLiteral("UDP client on %1%2 from %3")
        .arg(portOrMissing(s.client_port, LUMORA_KEY_CLIENT_PORT), group, orAny(s.client_host, QStringLiteral("any host")));
}
