// Datagram acceptance of a UDP client: any datagram, from any sender, against
// any client_host. Only a whole packet with both marks from the server's own
// IPv4 address may be put on the meters.
//
// Input: byte 0 picks the sender, byte 1 the client_host text, byte 2 how
// many following bytes are typed text (for the typed kinds); the rest is the
// datagram.
#include "datagramfilter.h"
#include "meterpacket.h"

#include <QByteArray>
#include <QHostAddress>
#include <QString>

#include <cstdint>
#include <cstdlib>

namespace {

void check(bool condition)
{
    if (!condition)
        std::abort();
}

constexpr quint32 kServer = 0x7F000001;  // 127.0.0.1

QHostAddress senderFor(std::uint8_t kind, const std::uint8_t *bytes, std::size_t size)
{
    quint32 v4 = kServer;
    if (size >= 4)
        v4 = quint32(bytes[0]) << 24 | quint32(bytes[1]) << 16 | quint32(bytes[2]) << 8 | bytes[3];
    switch (kind % 6) {
    case 0: return QHostAddress(kServer);
    case 1: return QHostAddress(QStringLiteral("::ffff:127.0.0.1"));
    case 2: return QHostAddress(v4);
    case 3: {
        // The same address, IPv4-mapped, as a dual-stack socket reports it.
        Q_IPV6ADDR mapped{};
        mapped[10] = mapped[11] = 0xFF;
        mapped[12] = quint8(v4 >> 24);
        mapped[13] = quint8(v4 >> 16);
        mapped[14] = quint8(v4 >> 8);
        mapped[15] = quint8(v4);
        return QHostAddress(mapped);
    }
    case 4: return QHostAddress(QStringLiteral("::1"));
    default: return QHostAddress();
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    if (size < 3)
        return 0;
    const std::uint8_t senderKind = data[0];
    const std::uint8_t hostKind = data[1];
    std::size_t typed = std::min<std::size_t>(data[2] % 48, size - 3);
    const std::uint8_t *rest = data + 3;

    static const char *const kHosts[] = {
        "127.0.0.1", "::ffff:127.0.0.1", "localhost", "::1", "", "0.0.0.0", "127.0.0.2",
        " 127.0.0.1", "127.1", "2130706433",
    };
    constexpr std::size_t kHostCount = sizeof kHosts / sizeof kHosts[0];
    QString clientHost;
    if (hostKind < kHostCount) {
        clientHost = QString::fromLatin1(kHosts[hostKind]);
        typed = 0;
    } else {
        // Whatever an operator or a damaged file could put there.
        clientHost = QString::fromUtf8(reinterpret_cast<const char *>(rest), int(typed));
    }
    const QHostAddress sender = senderFor(senderKind, rest + typed, size - 3 - typed);
    const char *datagram = reinterpret_cast<const char *>(rest + typed);
    const qint64 datagramSize = qint64(size - 3 - typed);

    const DatagramFilter filter(clientHost);
    const bool accepted = filter.accepts(datagram, datagramSize, sender);
    check(accepted == filter.accepts(QByteArray(datagram, int(datagramSize)), sender));

    if (accepted) {
        // A whole packet with its marks...
        check(datagramSize == qint64(MeterPacket::kSize));
        check(MeterPacket::hasMarks(reinterpret_cast<const std::uint8_t *>(datagram)));
        // ... from an IPv4 sender (plain or mapped) equal to an IPv4 client_host.
        const QHostAddress server(clientHost);
        check(server.protocol() == QAbstractSocket::IPv4Protocol);
        bool senderIsV4 = false;
        const quint32 senderV4 = sender.toIPv4Address(&senderIsV4);
        check(senderIsV4 && senderV4 != 0 && senderV4 == server.toIPv4Address());
    }

    // The fixed cases the client relies on.
    const bool wholePacket = datagramSize == qint64(MeterPacket::kSize)
        && MeterPacket::hasMarks(reinterpret_cast<const std::uint8_t *>(datagram));
    if (hostKind == 0 && senderKind % 6 <= 1)
        check(accepted == wholePacket);
    if (hostKind >= 2 && hostKind <= 5)
        check(!accepted);  // a name, IPv6 text, nothing or 0.0.0.0 never matches
    return 0;
}
