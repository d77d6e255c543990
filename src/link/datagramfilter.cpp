#include "datagramfilter.h"

#include "meterpacket.h"

#include <QByteArray>
#include <QHostAddress>
#include <QString>

#include <algorithm>

DatagramFilter::DatagramFilter(const QString &clientHost)
{
    const QHostAddress server(clientHost);
    if (server.protocol() == QAbstractSocket::IPv4Protocol && server.toIPv4Address() != 0)
        m_servers.push_back(server.toIPv4Address());
}

DatagramFilter::DatagramFilter(const QList<QHostAddress> &servers)
{
    for (const QHostAddress &server : servers)
        if (const quint32 v4 = ipv4Form(server))
            m_servers.push_back(v4);
}

quint32 DatagramFilter::ipv4Form(const QHostAddress &address)
{
    bool ok = false;
    const quint32 v4 = address.toIPv4Address(&ok);
    return ok ? v4 : 0;
}

bool DatagramFilter::accepts(const char *data, qint64 size, const QHostAddress &sender) const
{
    if (size != qint64(MeterPacket::kSize) || data == nullptr || m_servers.empty())
        return false;
    if (!MeterPacket::hasMarks(reinterpret_cast<const std::uint8_t *>(data)))
        return false;
    return std::find(m_servers.begin(), m_servers.end(), ipv4Form(sender)) != m_servers.end();
}

bool DatagramFilter::accepts(const QByteArray &datagram, const QHostAddress &sender) const
{
    return accepts(datagram.constData(), datagram.size(), sender);
}
