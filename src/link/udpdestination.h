#pragma once

#include <QHostAddress>
#include <QString>

// Where a UDP server sends its packets, read from server_destination and
// server_ttl. Empty means the broadcast of old; a multicast group goes out
// with a hop limit, so nothing leaves the studio's segment unless the
// installer says so; any other host gets a plain unicast stream.
struct UdpDestination
{
    enum class Kind { Broadcast, Multicast, Unicast, Invalid };
    static constexpr int kDefaultTtl = 1;
    static constexpr int kMaxTtl = 255;

    Kind kind = Kind::Broadcast;
    QHostAddress address { QHostAddress::Broadcast };
    int ttl = kDefaultTtl;
    QString problem;       // why an Invalid one cannot be used
    QString problemValue;  // the text at fault

    static UdpDestination parse(const QString &destination, const QString &ttl);
};

// The multicast group a client joins, read from client_group. Empty: none,
// the client listens as before.
struct MulticastGroup
{
    bool isSet = false;
    bool isValid = true;
    QHostAddress address;
    QString problem;

    static MulticastGroup parse(const QString &group);
};

// A dotted IPv4 address of four decimal parts, or nothing: the toolkit also
// reads "10.1" and IPv6 forms, which an installer's typo should not become.
bool parseDottedIPv4(const QString &text, QHostAddress *address);

// Why a UDP server's socket could not take its address and port (0: any),
// in the system's words; for a port that another program on this PC holds
// without sharing it, also what to do.
QString serverBindProblem(const QHostAddress &address, quint16 port, bool portTaken, const QString &systemText);
