#include "datagramfilter.h"

#include "meterpacket.h"

#include <QByteArray>
#include <QHostAddress>
#include <QString>

DatagramFilter::DatagramFilter(const QString &clientHost)
{
    const QHostAddress server(clientHost);
    if (server.protocol() == QAbstractSocket::IPv4Protocol)
        m_server = server.toIPv4Address();
}

quint32 DatagramFilter::ipv4Form(const QHostAddress &address)
{
    bool ok = false;
    const quint32 v4 = address.toIPv4Address(&ok);
    return ok ? v4 : 0;
}

bool DatagramFilter::accepts(const char *data, qint64 size, const QHostAddress &sender) const
{
    if (size != qint64(MeterPacket::kSize) || data == nullptr || m_server == 0)
        return false;
    if (!MeterPacket::hasMarks(reinterpret_cast<const std::uint8_t *>(data)))
        return false;
    return ipv4Form(sender) == m_server;
}

bool DatagramFilter::accepts(const QByteArray &datagram, const QHostAddress &sender) const
{
    return accepts(datagram.constData(), datagram.size(), sender);
}
