#pragma once

#include <QList>
#include <QtGlobal>

#include <vector>

class QByteArray;
class QHostAddress;
class QString;

// Decides which UDP datagrams a client puts on its meters: a whole meter
// packet with both marks, sent from the server named by client_host.
//
// The sender is compared in its IPv4 form (a dual-stack socket reports IPv4
// senders as ::ffff:a.b.c.d), so client_host must be a literal IPv4 address:
// a host name is not resolved here (the link resolves it and hands over its
// addresses) and an IPv6 text never matches. 0.0.0.0 is no sender's address
// and never matches either.
class DatagramFilter
{
public:
    explicit DatagramFilter(const QString &clientHost);
    // Any of these senders (the IPv4 addresses a host name resolved to).
    explicit DatagramFilter(const QList<QHostAddress> &servers);

    // size must be the datagram's real length: a datagram read into a
    // 16-byte buffer would be cut to fit and look like a packet.
    bool accepts(const char *data, qint64 size, const QHostAddress &sender) const;
    bool accepts(const QByteArray &datagram, const QHostAddress &sender) const;

    // The IPv4 form of an address: IPv4-mapped IPv6 becomes plain IPv4, an
    // address with no IPv4 form gives 0 (0.0.0.0).
    static quint32 ipv4Form(const QHostAddress &address);

    // The accepted senders' IPv4 addresses, host order.
    const std::vector<quint32> &servers() const { return m_servers; }

private:
    std::vector<quint32> m_servers;  // empty: nothing matches
};
