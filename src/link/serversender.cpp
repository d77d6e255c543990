#include "serversender.h"

#include <QNetworkInterface>
#include <QUdpSocket>

#include <cerrno>
#include <cstring>

#ifdef Q_OS_LINUX
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>
#endif

#include "linklogging.h"
#include "meterpacket.h"
#include "threadwake.h"
#include "udpdestination.h"

namespace {

#ifdef Q_OS_LINUX
// A descriptor that sends nowhere: a datagram to an IPv4 address fails on
// it at once, and nothing leaves this PC.
int nowhereSocket()
{
    return ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
}
#endif

} // namespace

ServerSender::ServerSender(QObject *socketParent, ThreadWake *changeWake)
    : m_socketParent(socketParent)
    , m_changeWake(changeWake)
{
    renewSocket();
}

ServerSender::~ServerSender()
{
#ifdef Q_OS_LINUX
    if (m_fd >= 0)
        ::close(m_fd);
#endif
    m_socket->close();
    m_socket->deleteLater();
}

void ServerSender::renewSocket()
{
    if (m_socket) {
        m_socket->close();
        m_socket->deleteLater();
    }
    m_socket = new QUdpSocket(m_socketParent);
}

bool ServerSender::aim(const QHostAddress &destination, quint16 port, QString *error)
{
    m_destination = destination;
    m_port = port;
#ifdef Q_OS_LINUX
    m_fd = nowhereSocket();
    if (m_fd < 0) {
        *error = QString::fromLocal8Bit(std::strerror(errno));
        return false;
    }
    m_address = destination.toIPv4Address();
#else
    Q_UNUSED(error)
#endif
    return true;
}

void ServerSender::openTurn()
{
    if (!(m_turn.load() & 1))
        m_turn.fetch_add(1, std::memory_order_release);
}

void ServerSender::closeTurn()
{
    if (m_turn.load() & 1)
        m_turn.fetch_add(1, std::memory_order_release);
}

ServerSender::Bound ServerSender::bind(const QHostAddress &local, quint16 fromPort, int multicastTtl,
                                       QString *problem)
{
    // A new socket for each try: one whose bind failed reports that first
    // failure again on every later try, so an address that came while the
    // port is taken would still read as missing.
    renewSocket();
    // Shared, as a client's is: a display on this PC listening on the same
    // port is not in the way.
    const bool bound = m_socket->bind(local, fromPort, QAbstractSocket::ShareAddress | QAbstractSocket::ReuseAddressHint);
    qCDebug(lcLink) << "server bind to" << local.toString() << fromPort << "-" << bound;
    if (!bound) {
        // An address that is not on this PC (yet, or any more) is not the
        // port's fault; say so.
        const QAbstractSocket::SocketError error = m_socket->error();
        const Bound result = error == QAbstractSocket::SocketAddressNotAvailableError ? Bound::AddressMissing
                                                                                      : Bound::Failed;
        *problem = result == Bound::AddressMissing
            ? m_socket->errorString()
            : serverBindProblem(local, fromPort, error == QAbstractSocket::AddressInUseError, m_socket->errorString());
        m_socket->close();
        return result;
    }
    if (multicastTtl > 0) {
        m_socket->setSocketOption(QAbstractSocket::MulticastTtlOption, multicastTtl);
        // Out of the network card that server_host names, not wherever the
        // routing table would send a group.
        const QList<QNetworkInterface> interfaces = QNetworkInterface::allInterfaces();
        for (const QNetworkInterface &candidate : interfaces) {
            const QList<QNetworkAddressEntry> entries = candidate.addressEntries();
            for (const QNetworkAddressEntry &entry : entries)
                if (entry.ip().protocol() == QAbstractSocket::IPv4Protocol && entry.ip().isEqual(local))
                    m_socket->setMulticastInterface(candidate);
        }
    }
#ifdef Q_OS_LINUX
    if (::dup3(int(m_socket->socketDescriptor()), m_fd, O_CLOEXEC) < 0) {
        *problem = QString::fromLocal8Bit(std::strerror(errno));
        m_socket->close();
        return Bound::Failed;
    }
#endif
    // A new socket has not failed yet. The reader leaves the error alone
    // until the turn is odd again.
    m_error.store(0);
    openTurn();
    return Bound::Yes;
}

void ServerSender::release()
{
    closeTurn();
#ifdef Q_OS_LINUX
    const int nowhere = nowhereSocket();
    if (nowhere >= 0) {
        // Should it fail, the reader still sends nothing: the turn is even.
        if (::dup3(nowhere, m_fd, O_CLOEXEC) < 0)
            qCWarning(lcLink).noquote() << "cannot park the reader thread's send socket:" << qt_error_string(errno);
        ::close(nowhere);
    }
#endif
    m_socket->close();
}

bool ServerSender::isBound() const
{
    return m_socket->state() == QAbstractSocket::BoundState;
}

void ServerSender::send(const std::uint8_t *packet)
{
#ifdef Q_OS_LINUX
    if (m_fd < 0)
        return;
    const unsigned turn = m_turn.load(std::memory_order_acquire);
    if (!(turn & 1)) {
        m_unsent.fetch_add(1, std::memory_order_relaxed);
        return;
    }
    sockaddr_in to {};
    to.sin_family = AF_INET;
    to.sin_port = htons(m_port);
    to.sin_addr.s_addr = htonl(m_address);
    const ssize_t sent = ::sendto(m_fd, packet, MeterPacket::kSize, MSG_NOSIGNAL,
                                  reinterpret_cast<const sockaddr *>(&to), sizeof to);
    const int error = sent == ssize_t(MeterPacket::kSize) ? 0 : sent < 0 ? errno : EMSGSIZE;
    (error == 0 ? m_sent : m_unsent).fetch_add(1, std::memory_order_relaxed);
    // A send that overlapped a rebind says nothing about the new socket.
    if (m_turn.load(std::memory_order_acquire) != turn)
        return;
    const int before = m_error.exchange(error, std::memory_order_relaxed);
    // Through the eventfd, not a queued call: the reader thread makes no Qt
    // event, and the owner's thread reads the error from the atomic.
    if ((before != 0) != (error != 0))
        m_changeWake->wake();
#else
    if (m_port == 0 || m_socket->state() != QAbstractSocket::BoundState)
        return;
    const bool sent = m_socket->writeDatagram(reinterpret_cast<const char *>(packet), qint64(MeterPacket::kSize),
                                              m_destination, m_port) == qint64(MeterPacket::kSize);
    (sent ? m_sent : m_unsent).fetch_add(1, std::memory_order_relaxed);
#endif
}
