#include "udpdestination.h"

#include <QCoreApplication>
#include <QStringList>

namespace {

QString tr(const char *text)
{
    return QCoreApplication::translate("MeterLink", text);
}

bool isMulticast(const QHostAddress &a)
{
    return (a.toIPv4Address() >> 28) == 0xE;  // 224.0.0.0/4
}

} // namespace

bool parseDottedIPv4(const QString &text, QHostAddress *address)
{
    const QStringList parts = text.split(QLatin1Char('.'));
    if (parts.size() != 4)
        return false;
    quint32 value = 0;
    for (const QString &part : parts) {
        if (part.isEmpty() || part.size() > 3)
            return false;
        for (const QChar c : part)
            if (c < QLatin1Char('0') || c > QLatin1Char('9'))
                return false;
        const uint byte = part.toUInt();
        if (byte > 255)
            return false;
        value = (value << 8) | byte;
    }
    *address = QHostAddress(value);
    return true;
}

UdpDestination UdpDestination::parse(const QString &destination, const QString &ttl)
{
    UdpDestination d;
    const QString ttlText = ttl.trimmed();
    if (!ttlText.isEmpty()) {
        bool ok = false;
        const int value = ttlText.toInt(&ok);
        if (!ok || value < 1 || value > kMaxTtl) {
            d.kind = Kind::Invalid;
            d.problemValue = ttl;
            d.problem = tr("the multicast TTL must be a whole number from 1 to 255");
            return d;
        }
        d.ttl = value;
    }

    const QString text = destination.trimmed();
    if (text.isEmpty())
        return d;
    QHostAddress address;
    if (!parseDottedIPv4(text, &address)) {
        d.kind = Kind::Invalid;
        d.problemValue = destination;
        d.problem = tr("the destination must be an IPv4 address such as 239.1.2.3 or 192.168.1.20");
        return d;
    }
    d.address = address;
    if (address.toIPv4Address() == 0) {
        d.kind = Kind::Invalid;
        d.problemValue = destination;
        d.problem = tr("0.0.0.0 is no host to send to");
    } else if (address == QHostAddress(QHostAddress::Broadcast)) {
        d.kind = Kind::Broadcast;
    } else if (isMulticast(address)) {
        d.kind = Kind::Multicast;
    } else {
        d.kind = Kind::Unicast;
    }
    return d;
}

MulticastGroup MulticastGroup::parse(const QString &group)
{
    MulticastGroup g;
    const QString text = group.trimmed();
    if (text.isEmpty())
        return g;
    g.isSet = true;
    if (!parseDottedIPv4(text, &g.address) || !isMulticast(g.address)) {
        g.isValid = false;
        g.address = QHostAddress();
        g.problem = tr("a multicast group is an IPv4 address from 224.0.0.0 to 239.255.255.255");
    }
    return g;
}

QString serverBindProblem(const QHostAddress &address, quint16 port, bool portTaken, const QString &systemText)
{
    const QString place = port == 0 ? address.toString() : QStringLiteral("%1:%2").arg(address.toString()).arg(port);
    QString text = QStringLiteral("%1: %2").arg(place, systemText);
    if (portTaken)
        text += QLatin1String(". ")
            + tr("Another program on this PC holds UDP port %1 without sharing it: close that program, or use "
                 "another port.").arg(port);
    return text;
}
