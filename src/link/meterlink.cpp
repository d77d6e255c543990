#include "meterlink.h"

#include <QFile>
#include <QHostAddress>
#include <QHostInfo>
#include <QNetworkInterface>
#include <QSerialPort>
#include <QTimer>
#include <QUdpSocket>

#include <algorithm>
#include <cerrno>
#include <cstring>

#ifdef Q_OS_LINUX
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>
#endif

#include "kernelfilter.h"
#include "linklogging.h"
#include "readnotifiers.h"
#include "portnumber.h"
#include "serialfeed.h"
#include "serialproblem.h"
#include "threadwake.h"
#include "udpdestination.h"

namespace {

// The kernel's limit on group memberships per socket, as the system says it.
QString igmpMaxMemberships()
{
    QFile file(QStringLiteral("/proc/sys/net/ipv4/igmp_max_memberships"));
    if (!file.open(QIODevice::ReadOnly))
        return QStringLiteral("?");
    return QString::fromLatin1(file.read(16)).trimmed();
}

} // namespace

MeterLink::MeterLink(QObject *parent)
    : QObject(parent)
    , m_serial(new SerialFeed(this))
    , m_udpSocket(new QUdpSocket(this))
    , m_silenceTimer(new QTimer(this))
    , m_wake(new ThreadWake(this))
    , m_sendWake(new ThreadWake(this))
    , m_datagramFilter(QString())
{
    m_clock.start();
    m_silenceTimer->setSingleShot(true);
    m_silenceTimer->setTimerType(Qt::PreciseTimer);
    connect(m_silenceTimer, &QTimer::timeout, this, &MeterLink::checkSilence);
    connect(m_serial, &SerialFeed::packetReceived, this, &MeterLink::packetReceived);
    connect(m_serial, &SerialFeed::packetsFramed, this, &MeterLink::packetsDone);
    connect(m_serial, &SerialFeed::openChanged, this, &MeterLink::refreshState);
    connect(m_wake, &ThreadWake::woken, this, &MeterLink::readSerial);
    connect(m_sendWake, &ThreadWake::woken, this, &MeterLink::sendStateChanged);
#ifdef Q_OS_LINUX
    m_serial->setThreadSink([this](const std::uint8_t *packet) { threadPacket(packet); });
#endif
    m_hostLookup = new HostLookup(this);
    connect(m_hostLookup, &HostLookup::finished, this, &MeterLink::clientHostLookedUp);
    m_lookupTimer = new QTimer(this);
    m_lookupTimer->setSingleShot(true);
    connect(m_lookupTimer, &QTimer::timeout, this, &MeterLink::lookupTimerFired);
    m_wrongSenderTimer = new QTimer(this);
    m_wrongSenderTimer->setSingleShot(true);
    m_wrongSenderTimer->setInterval(kWrongSenderNoticeMs);
    connect(m_wrongSenderTimer, &QTimer::timeout, this, &MeterLink::tellWrongSender);
    m_rejoinTimer = new QTimer(this);
    m_rejoinTimer->setInterval(kRejoinMs);
    connect(m_rejoinTimer, &QTimer::timeout, this, &MeterLink::joinGroup);
    m_addressTimer = new QTimer(this);
    m_addressTimer->setInterval(AddressWatch::kCheckMs);
    connect(m_addressTimer, &QTimer::timeout, this, &MeterLink::checkServerAddress);
}

MeterLink::~MeterLink()
{
    // The serial thread sends on the socket: it ends first.
    m_serial->close();
#ifdef Q_OS_LINUX
    if (m_threadSend.fd >= 0)
        ::close(m_threadSend.fd);
#endif
}

const QSerialPort *MeterLink::serialPort() const
{
    return m_serial->port();
}

void MeterLink::setSilenceTimeout(int milliseconds)
{
    m_silence = LinkSilence(milliseconds);
}

void MeterLink::setAddressCheckInterval(int milliseconds)
{
    m_addressTimer->setInterval(milliseconds);
}

void MeterLink::rebuild(const CommSettings &settings)
{
    m_settings = settings;
    // The serial thread ends here, before anything it uses changes.
    m_serial->close();
#ifdef Q_OS_LINUX
    if (m_threadSend.fd >= 0)
        ::close(m_threadSend.fd);
#endif
    m_threadSend = ThreadSend();
    if (m_sendTurn.load() & 1)
        m_sendTurn.fetch_add(1);
    m_sendError.store(0);
    m_sendProblem.clear();
    m_sendWhere.clear();
    m_loopbackTold = false;
    m_addressTimer->stop();
    m_serverLocal = QHostAddress();
    m_multicastTtl = 0;
    m_gate.reset();
    m_gate.setPaced(m_paced);
    m_silence.reset();
    m_stoppedSinceMs = -1;
    m_silenceTimer->stop();
    m_lookupTimer->stop();
    m_rejoinTimer->stop();
    m_hostLookup->cancel();  // an answer still on its way is for the old link
    m_hostResolved = false;
    m_hostProblem.clear();
    m_hostAddresses.clear();
    forgetClientNotes();
    m_sendPort.reset();
    m_destination = QHostAddress();
    m_group = QHostAddress();
    m_joined.clear();
    m_silent = true;
    m_silenceTellDue = false;
    m_problem = LinkState::Live;
    m_problemWhere.clear();
    m_problemReason.clear();

    // The state is told once the whole link is set up, not half-way.
    m_rebuilding = true;
    const bool serialInUse = !m_settings.use_udp || m_settings.is_server;
    if (!m_settings.use_udp) {
        m_udpSocket->close();
    } else {
        renewSocket();
        if (m_settings.is_server)
            setUpServer();
        else
            setUpClient();
    }
    // The server's socket is ready before the port opens, so the serial
    // thread sends from its very first packet.
    if (serialInUse) {
        m_name = m_settings.serialport;
        m_serial->open(m_settings.serialport);
    }
    m_rebuilding = false;
    refreshState();
}

void MeterLink::renewSocket()
{
    m_udpSocket->close();
    m_udpSocket->disconnect(this);
    m_udpSocket->deleteLater();
    m_udpSocket = new QUdpSocket(this);
}

void MeterLink::setProblem(LinkState state, const QString &where, const QString &reason)
{
    m_problem = state;
    m_problemWhere = where;
    m_problemReason = reason;
}

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

void MeterLink::setUpServer()
{
    const auto port = parsePort(m_settings.server_port);
    if (!port) {
        setProblem(LinkState::InvalidPort, m_settings.server_port,
                   tr("Nothing is sent until the server port is corrected."));
        return;
    }
    const UdpDestination destination =
        UdpDestination::parse(m_settings.server_destination, m_settings.server_ttl);
    if (destination.kind == UdpDestination::Kind::Invalid) {
        setProblem(LinkState::InvalidAddress, destination.problemValue, destination.problem);
        return;
    }
    // The packets go out as IPv4; an IPv6 address would bind, and send
    // nothing.
    QHostAddress local(QHostAddress::AnyIPv4);
    const QString host = m_settings.server_host.trimmed();
    if (!host.isEmpty() && !parseDottedIPv4(host, &local)) {
        setProblem(LinkState::InvalidAddress, m_settings.server_host,
                   tr("the address to send from must be an IPv4 address of this PC, such as 192.168.1.20"));
        return;
    }
    m_serverLocal = local;
    // The broadcast goes out from server_port as it always did. A group or a
    // host is sent to from any free port, so displays listening on
    // server_port on this same PC (a relay beside a display, a test) are not
    // in its way; receivers look at the sender's address, not its port.
    m_serverFrom = destination.kind == UdpDestination::Kind::Broadcast ? *port : 0;
    m_multicastTtl = destination.kind == UdpDestination::Kind::Multicast ? destination.ttl : 0;
    m_destination = destination.address;
    m_sendPort = port;
    m_sendWhere = QStringLiteral("%1:%2").arg(m_destination.toString()).arg(*port);
#ifdef Q_OS_LINUX
    m_threadSend.fd = nowhereSocket();
    if (m_threadSend.fd < 0) {
        setProblem(LinkState::SendBindFailed, serverPlace(), QString::fromLocal8Bit(std::strerror(errno)));
        return;
    }
    m_threadSend.address = m_destination.toIPv4Address();
    m_threadSend.port = *port;
#endif
    const bool bound = bindServer();
    m_addressWatch = AddressWatch();
    m_addressWatch.check(bound || m_problem != LinkState::AddressNotLocal, m_clock.elapsed());
    // An address that is there now may still go (a new lease, a cable
    // moved to another network), so it is watched; "any" only until bound.
    if (!bound || local != QHostAddress(QHostAddress::AnyIPv4))
        m_addressTimer->start();
}

// Where the server sends from, as its bind failure names it.
QString MeterLink::serverPlace() const
{
    const QString host = m_serverLocal.isNull() ? m_settings.server_host : m_serverLocal.toString();
    return m_serverFrom ? QStringLiteral("%1:%2").arg(host).arg(m_serverFrom) : host;
}

// Binds the server's socket and hands it to the serial thread. False, with
// the problem set, when the address is not on this PC or the port is taken.
bool MeterLink::bindServer()
{
    // A new socket for each try: one whose bind failed reports that first
    // failure again on every later try, so an address that came while the
    // port is taken would still read as missing.
    renewSocket();
    // Shared, as a client's is: a display on this PC listening on the same
    // port is not in the way.
    const bool bound = m_udpSocket->bind(m_serverLocal, m_serverFrom,
                                         QAbstractSocket::ShareAddress | QAbstractSocket::ReuseAddressHint);
    qCDebug(lcLink) << "server bind to" << m_serverLocal.toString() << m_serverFrom << "-" << bound;
    if (!bound) {
        // An address that is not on this PC (yet, or any more) is not the
        // port's fault; say so.
        const QAbstractSocket::SocketError error = m_udpSocket->error();
        if (error == QAbstractSocket::SocketAddressNotAvailableError)
            setProblem(LinkState::AddressNotLocal, m_settings.server_host, m_udpSocket->errorString());
        else
            setProblem(LinkState::SendBindFailed, serverPlace(),
                       serverBindProblem(m_serverLocal, m_serverFrom, error == QAbstractSocket::AddressInUseError,
                                         m_udpSocket->errorString()));
        m_udpSocket->close();
        return false;
    }
    if (m_multicastTtl > 0) {
        m_udpSocket->setSocketOption(QAbstractSocket::MulticastTtlOption, m_multicastTtl);
        // Out of the network card that server_host names, not wherever the
        // routing table would send a group.
        const QList<QNetworkInterface> interfaces = QNetworkInterface::allInterfaces();
        for (const QNetworkInterface &candidate : interfaces) {
            const QList<QNetworkAddressEntry> entries = candidate.addressEntries();
            for (const QNetworkAddressEntry &entry : entries)
                if (entry.ip().protocol() == QAbstractSocket::IPv4Protocol && entry.ip().isEqual(m_serverLocal))
                    m_udpSocket->setMulticastInterface(candidate);
        }
    }
#ifdef Q_OS_LINUX
    if (::dup3(int(m_udpSocket->socketDescriptor()), m_threadSend.fd, O_CLOEXEC) < 0) {
        setProblem(LinkState::SendBindFailed, serverPlace(), QString::fromLocal8Bit(std::strerror(errno)));
        m_udpSocket->close();
        return false;
    }
#endif
    // A new socket has not failed yet. The thread leaves the error alone
    // until the turn is odd again.
    m_sendError.store(0);
    m_sendProblem.clear();
    if (!(m_sendTurn.load() & 1))
        m_sendTurn.fetch_add(1, std::memory_order_release);
    setProblem(LinkState::Live, QString(), QString());
    return true;
}

// Lets the socket go: the serial thread counts its packets as unsent from
// here, and the port is free for the next bind.
void MeterLink::releaseServer()
{
    if (m_sendTurn.load() & 1)
        m_sendTurn.fetch_add(1, std::memory_order_release);
#ifdef Q_OS_LINUX
    const int nowhere = nowhereSocket();
    if (nowhere >= 0) {
        // Should it fail, the thread still sends nothing: the send gate above
        // is closed.
        if (::dup3(nowhere, m_threadSend.fd, O_CLOEXEC) < 0)
            qCWarning(lcLink).noquote() << "cannot park the reader thread's send socket:" << qt_error_string(errno);
        ::close(nowhere);
    }
#endif
    m_udpSocket->close();
}

bool MeterLink::serverAddressPresent(QString *why) const
{
    QUdpSocket probe;
    if (probe.bind(m_serverLocal, 0))
        return true;
    *why = probe.errorString();
    return probe.error() != QAbstractSocket::SocketAddressNotAvailableError;
}

// Every few seconds while a server has a socket to look after: binds again
// once its address is (back) on this PC, and lets the socket go when the
// address leaves.
void MeterLink::checkServerAddress()
{
    bool present = true;
    if (m_udpSocket->state() == QAbstractSocket::BoundState) {
        QString why;
        present = serverAddressPresent(&why);
        if (!present) {
            releaseServer();
            setProblem(LinkState::AddressNotLocal, m_settings.server_host, why);
        }
    } else {
        present = bindServer() || m_problem != LinkState::AddressNotLocal;
    }
    switch (m_addressWatch.check(present, m_clock.elapsed())) {
    case AddressWatch::Note::Mistyped:
        qCWarning(lcLink).noquote()
            << tr("Address %1 has not appeared on this PC for more than a minute: is it mistyped? Still "
                  "trying every %2 seconds.")
                   .arg(m_settings.server_host)
                   .arg(m_addressTimer->interval() / 1000.0);
        break;
    case AddressWatch::Note::Appeared:
        qCInfo(lcLink).noquote() << tr("Address %1 is on this PC again.").arg(m_settings.server_host);
        break;
    case AddressWatch::Note::None:
    case AddressWatch::Note::Missing:
        break;
    }
    if (m_udpSocket->state() == QAbstractSocket::BoundState && m_serverLocal == QHostAddress(QHostAddress::AnyIPv4))
        m_addressTimer->stop();
    refreshState();
}

void MeterLink::setUpClient()
{
    m_datagramFilter = DatagramFilter(m_settings.client_host);
    const auto port = parsePort(m_settings.client_port);
    const qulonglong shown = portTextValue(m_settings.client_port);
    m_name = QString::number(shown);
    const MulticastGroup group = MulticastGroup::parse(m_settings.client_group);
    bool bound = false;
    if (!port) {
        setProblem(LinkState::InvalidPort, m_settings.client_port,
                   tr("Nothing is received until the client port is corrected."));
    } else if (!group.isValid) {
        setProblem(LinkState::InvalidAddress, m_settings.client_group, group.problem);
    } else {
        m_group = group.address;
        bound = bindClient(*port);
        connect(m_udpSocket, &QUdpSocket::readyRead, this, &MeterLink::readDatagrams);
        if (!bound)
            setProblem(LinkState::BindFailed, m_settings.client_port, m_udpSocket->errorString());
    }
    qCDebug(lcLink) << "bind to port " << shown << " - " << bound;
    if (!bound)
        return;
    filterInKernel();
    if (!m_group.isNull()) {
        joinGroup();
        m_rejoinTimer->start();
    }
    // A literal address is used as it stands; only a name is looked up.
    QHostAddress literal;
    if (!m_settings.client_host.trimmed().isEmpty() && !literal.setAddress(m_settings.client_host))
        lookUpClientHost();
}

bool MeterLink::bindClient(quint16 port)
{
    // Several displays on one PC may listen to the same group or broadcast,
    // and each gets every packet. (A packet sent to one address of this PC
    // still reaches only one of them.)
    const auto sharing = QAbstractSocket::ShareAddress | QAbstractSocket::ReuseAddressHint;
    if (m_group.isNull())
        return m_udpSocket->bind(QHostAddress::Any, port, sharing);
    return m_udpSocket->bind(QHostAddress::AnyIPv4, port, sharing);
}

// Lets only the accepted senders' packets (and a sample of other marked
// packets, for the wrong-sender notice) into the socket's queue, so a flood
// of junk cannot crowd them out. Called again whenever the senders change.
void MeterLink::filterInKernel()
{
    if (!KernelFilter::kAvailable)
        return;
    QString error;
    if (KernelFilter::attach(m_udpSocket->socketDescriptor(), m_datagramFilter.servers(), &error)
        || !m_kernelFilterProblem.isEmpty())
        return;
    m_kernelFilterProblem = error;
    qCWarning(lcLink).noquote() << "cannot filter datagrams in the kernel:" << error
                                << "- a flood of other datagrams may crowd out the server's packets";
}

// Joins the group on every interface that is up and can take multicast and
// has not been joined yet; an interface that went away is forgotten, so it
// is joined again when it comes back. One that refuses now (no address yet,
// say) is tried again on the next round, and told of once.
void MeterLink::joinGroup()
{
    QSet<int> present;
    bool failuresChanged = false;
    const QList<QNetworkInterface> interfaces = QNetworkInterface::allInterfaces();
    for (const QNetworkInterface &candidate : interfaces) {
        const auto flags = candidate.flags();
        if (!(flags & QNetworkInterface::IsUp) || !(flags & QNetworkInterface::CanMulticast))
            continue;
        present.insert(candidate.index());
        if (m_joined.contains(candidate.index()))
            continue;
        QString error;
        if (joinGroupOn(candidate, &error)) {
            qCInfo(lcLink) << "joined" << m_group.toString() << "on" << candidate.name();
            m_joined.insert(candidate.index());
            failuresChanged |= m_joinFailures.remove(candidate.index()) > 0;
        } else if (!m_joinFailures.contains(candidate.index())) {
            qCWarning(lcLink).noquote() << QStringLiteral("cannot join group %1 on %2: %3")
                                               .arg(m_group.toString(), candidate.name(), error);
            m_joinFailures.insert(candidate.index(), candidate.name() + QStringLiteral(": ") + error);
            failuresChanged = true;
        }
    }
    m_joined.intersect(present);
    for (auto it = m_joinFailures.begin(); it != m_joinFailures.end();) {
        if (present.contains(it.key())) {
            ++it;
        } else {
            it = m_joinFailures.erase(it);
            failuresChanged = true;
        }
    }
    if (failuresChanged)
        refreshState();
}

bool MeterLink::joinGroupOn(const QNetworkInterface &interface, QString *error)
{
#ifdef Q_OS_LINUX
    // By the interface's index: the toolkit joins by the interface's first
    // IPv4 address, and a card that has just come up may have none yet.
    ip_mreqn request{};
    request.imr_multiaddr.s_addr = htonl(m_group.toIPv4Address());
    request.imr_ifindex = interface.index();
    const int fd = int(m_udpSocket->socketDescriptor());
    // A membership that still stands (the card went down and up) is joined.
    if (::setsockopt(fd, IPPROTO_IP, IP_ADD_MEMBERSHIP, &request, sizeof request) == 0 || errno == EADDRINUSE)
        return true;
    *error = qt_error_string(errno);
    // The kernel's per-socket limit on memberships.
    if (errno == ENOBUFS)
        *error += tr(" (this PC allows %1 groups per socket: net.ipv4.igmp_max_memberships)")
                      .arg(igmpMaxMemberships());
    return false;
#else
    if (m_udpSocket->joinMulticastGroup(m_group, interface))
        return true;
    *error = m_udpSocket->errorString();
    return false;
#endif
}

void MeterLink::lookUpClientHost()
{
    m_hostLookup->start(m_settings.client_host.trimmed());
}

bool MeterLink::isLookingUp() const
{
    return m_hostLookup->isRunning();
}

void MeterLink::setHostResolver(HostLookup::Resolver resolver)
{
    m_hostLookup->setResolver(std::move(resolver));
}

// After a failed look-up: again. After a good one: again only while no
// packet arrives, since a moved server is what a silent link may mean.
void MeterLink::lookupTimerFired()
{
    if (m_hostResolved && !m_silent) {
        m_lookupTimer->start(m_hostRecheckMs);
        return;
    }
    lookUpClientHost();
}

void MeterLink::clientHostLookedUp(const QHostInfo &info)
{
    QList<QHostAddress> v4;
    const QList<QHostAddress> addresses = info.addresses();
    for (const QHostAddress &a : addresses)
        if (a.protocol() == QAbstractSocket::IPv4Protocol && !v4.contains(a))
            v4 << a;
    if (v4.isEmpty()) {
        // A name that resolved once keeps its addresses: a resolver that
        // fails for a while does not stop a live link.
        if (!m_hostResolved)
            m_hostProblem = info.error() != QHostInfo::NoError
                ? info.errorString()
                : tr("%1 has no IPv4 address.").arg(m_settings.client_host);
        m_lookupTimer->start(m_hostResolved ? m_hostRecheckMs : kLookupRetryMs);
        refreshState();
        return;
    }
    m_hostProblem.clear();
    m_hostResolved = true;
    std::sort(v4.begin(), v4.end(), [](const QHostAddress &a, const QHostAddress &b) {
        return a.toIPv4Address() < b.toIPv4Address();
    });
    QStringList texts;
    for (const QHostAddress &a : qAsConst(v4))
        texts << a.toString();
    const QString joined = texts.join(QStringLiteral(", "));
    if (joined != m_hostAddresses) {
        m_hostAddresses = joined;
        m_datagramFilter = DatagramFilter(v4);
        if (m_udpSocket->state() == QAbstractSocket::BoundState)
            filterInKernel();
        qCInfo(lcLink).noquote() << "accepting meter data from" << m_settings.client_host << "=" << joined;
    }
    m_lookupTimer->start(m_hostRecheckMs);
    refreshState();
}

// A whole marked packet from a sender that is not client_host: told at once,
// then once a minute while such packets keep coming.
void MeterLink::wrongSenderSeen(const QHostAddress &sender)
{
    m_wrongSenderSeenAt = m_clock.elapsed();
    const quint32 v4 = DatagramFilter::ipv4Form(sender);
    m_wrongSender = v4 != 0 ? QHostAddress(v4).toString() : sender.toString();
    if (!m_wrongSenderTimer->isActive())
        tellWrongSender();
}

void MeterLink::tellWrongSender()
{
    if (m_wrongSenderSeenAt <= m_wrongSenderToldAt) {
        // None for a minute: the notice is withdrawn.
        m_wrongSenderNotice.clear();
        m_wrongSenderToldAt = -1;
        refreshState();
        return;
    }
    m_wrongSenderToldAt = m_wrongSenderSeenAt;
    QString listensTo;
    if (m_settings.client_host.trimmed().isEmpty())
        listensTo = tr("no server (client_host is empty)");
    else if (!m_hostAddresses.isEmpty())
        listensTo = tr("%1 = %2 (client_host)").arg(m_settings.client_host.trimmed(), m_hostAddresses);
    else
        listensTo = tr("%1 (client_host)").arg(m_settings.client_host.trimmed());
    qCWarning(lcLink).noquote() << QStringLiteral("ignoring meter data from %1: this display listens to %2")
                                       .arg(m_wrongSender, listensTo);
    m_wrongSenderNotice = tr("Ignoring meter data from %1: this display listens to %2.").arg(m_wrongSender, listensTo);
    m_wrongSenderTimer->start();
    refreshState();
}

void MeterLink::forgetClientNotes()
{
    m_kernelFilterProblem.clear();
    m_wrongSenderTimer->stop();
    m_wrongSender.clear();
    m_wrongSenderSeenAt = -1;
    m_wrongSenderToldAt = -1;
    m_wrongSenderNotice.clear();
    m_joinFailures.clear();
}

// What a client's tooltip adds to Live or Silent: groups not joined, and a
// wrong sender.
QString MeterLink::clientNotes() const
{
    QStringList notes;
    if (!m_joinFailures.isEmpty())
        notes << tr("Not joined to group %1 on %2.")
                     .arg(m_group.toString(), QStringList(m_joinFailures.values()).join(QStringLiteral("; ")));
    if (!m_wrongSenderNotice.isEmpty())
        notes << m_wrongSenderNotice;
    return notes.join(QLatin1Char('\n'));
}

void MeterLink::readSerial()
{
    if (!m_serial->isThreaded()) {
        m_serial->readAvailable();
        return;
    }
    m_taken.clear();
    m_gate.take(m_taken);
    for (const MeterPacket::Bytes &packet : m_taken)
        takePacket(packet);
    if (!m_taken.empty())
        packetsDone();
}

void MeterLink::threadPacket(const std::uint8_t *packet)
{
    // On the serial thread: only the gate, the clock, the thread's send
    // descriptor and the send counters are touched here.
    MeterPacket::Bytes bytes;
    std::copy(packet, packet + MeterPacket::kSize, bytes.begin());
    sendPacket(packet);
    if (m_gate.offer(bytes, m_clock.elapsed()))
        m_wake->wake();
}

void MeterLink::readDatagrams()
{
    qCDebug(lcLink) << "udpReceive";
    QUdpSocket *socket = m_udpSocket;
    int decoded = 0;
    for (int handled = 0; handled < kMaxDatagramsPerTurn; ++handled) {
        // The first read happens even if nothing shows as pending: only a
        // read tells the socket its readyRead was answered, and an
        // unanswered one leaves it silent for good.
        if (handled > 0 && !socket->hasPendingDatagrams())
            break;
        // Read at most one packet's worth: a longer datagram is cut and
        // dropped by the size check, so no buffer is sized from the wire.
        const qint64 size = socket->pendingDatagramSize();
        MeterPacket::Bytes buffer;
        QHostAddress sender;
        const qint64 got = socket->readDatagram(reinterpret_cast<char *>(buffer.data()), qint64(buffer.size()), &sender);
        if (got != qint64(MeterPacket::kSize))
            continue;
        if (m_datagramFilter.accepts(reinterpret_cast<const char *>(buffer.data()), size, sender)) {
            packetReceived(buffer);
            ++decoded;
        } else if (size == got && MeterPacket::hasMarks(buffer.data())) {
            wrongSenderSeen(sender);
        }
    }
    if (decoded > 0)
        packetsDone();
    // More may be waiting. The reads above re-armed the socket's read
    // notifier, so the next turn of the event loop brings another readyRead
    // after the clocks and the meters have had theirs. No queued call of our
    // own: one that empties the socket between the event loop's poll and the
    // notifier's turn leaves the socket believing a readyRead is unanswered,
    // and it never reports data again.
}

void MeterLink::setPaced(bool paced)
{
    if (paced == m_paced)
        return;
    m_paced = paced;
    // Packets kept while paced are taken at once when the release rests.
    if (m_gate.setPaced(paced) && !paced && m_serial->isThreaded())
        QMetaObject::invokeMethod(this, &MeterLink::readSerial, Qt::QueuedConnection);
    if (paced) {
        quietTransports();
        return;
    }
    m_serial->setNotified(true);
    // The last pull read the socket, so it awaits no answer to a readyRead
    // and its notifier may simply come back; data already waiting fires it
    // at once. The server's socket is never read: left alone.
    if (readsDatagrams())
        setReadNotifiers(m_udpSocket, true);
}

bool MeterLink::readsDatagrams() const
{
    return m_settings.use_udp && !m_settings.is_server;
}

bool MeterLink::forwardsOnArrival() const
{
    return m_threadSend.fd >= 0 && m_serial->isThreaded();
}

void MeterLink::pull()
{
    if (!readsDatagrams()) {
        // A server's reader thread has read and sent every packet as it
        // came; only what it kept for this thread is taken.
        if (!forwardsOnArrival())
            m_serial->pull();
        if (m_serial->isThreaded())
            readSerial();
    }
    else if (m_udpSocket->state() == QAbstractSocket::BoundState)
        readDatagrams();
    if (m_paced)
        quietTransports();
}

void MeterLink::quietTransports()
{
    // Every read re-arms the transports' notifiers (QSerialPort's readData,
    // QUdpSocket's readDatagram), and a rebuilt link comes with new ones, so
    // they are quietened after each pull. A server's reader thread keeps
    // watching, to send each packet the moment it is framed.
    m_serial->setNotified(forwardsOnArrival());
    if (readsDatagrams())
        setReadNotifiers(m_udpSocket, false);
}

void MeterLink::packetReceived(const MeterPacket::Bytes &packet)
{
    ++m_packetsDecoded;
    sendPacket(packet.data());
    takePacket(packet);
}

// On the serial thread or on the event loop, one packet at a time: atomics
// only. A failed send loses this one packet on the network; a change
// between working and failing is told to the event loop, which logs it.
void MeterLink::sendPacket(const std::uint8_t *packet)
{
#ifdef Q_OS_LINUX
    if (m_threadSend.fd < 0)
        return;
    const unsigned turn = m_sendTurn.load(std::memory_order_acquire);
    if (!(turn & 1)) {
        m_packetsUnsent.fetch_add(1, std::memory_order_relaxed);
        return;
    }
    sockaddr_in to {};
    to.sin_family = AF_INET;
    to.sin_port = htons(m_threadSend.port);
    to.sin_addr.s_addr = htonl(m_threadSend.address);
    const ssize_t sent = ::sendto(m_threadSend.fd, packet, MeterPacket::kSize, MSG_NOSIGNAL,
                                  reinterpret_cast<const sockaddr *>(&to), sizeof to);
    const int error = sent == ssize_t(MeterPacket::kSize) ? 0 : sent < 0 ? errno : EMSGSIZE;
    (error == 0 ? m_packetsSent : m_packetsUnsent).fetch_add(1, std::memory_order_relaxed);
    // A send that overlapped a rebind says nothing about the new socket.
    if (m_sendTurn.load(std::memory_order_acquire) != turn)
        return;
    const int before = m_sendError.exchange(error, std::memory_order_relaxed);
    // Through the eventfd, not a queued call: the reader thread makes no Qt
    // event, and the GUI thread reads the state from the atomic.
    if ((before != 0) != (error != 0))
        m_sendWake->wake();
#else
    if (!m_sendPort || m_udpSocket->state() != QAbstractSocket::BoundState)
        return;
    const bool sent = m_udpSocket->writeDatagram(reinterpret_cast<const char *>(packet), qint64(MeterPacket::kSize),
                                                 m_destination, *m_sendPort) == qint64(MeterPacket::kSize);
    (sent ? m_packetsSent : m_packetsUnsent).fetch_add(1, std::memory_order_relaxed);
#endif
}

void MeterLink::sendStateChanged()
{
    // Told once per change; by now the sends may have changed again.
    const int error = m_sendError.load(std::memory_order_relaxed);
    if ((error != 0) == !m_sendProblem.isEmpty())
        return;
    if (error != 0) {
        // Often the first sign that the address left this PC: look now
        // rather than at the next check, and say that instead.
        if (m_addressTimer->isActive() && m_udpSocket->state() == QAbstractSocket::BoundState) {
            checkServerAddress();
            if (m_udpSocket->state() != QAbstractSocket::BoundState)
                return;
        }
        m_sendProblem = QString::fromLocal8Bit(std::strerror(error));
    } else {
        m_sendProblem.clear();
        qCInfo(lcLink).noquote() << tr("Sending meter data to %1 works again.").arg(m_sendWhere);
    }
    refreshState();
}

void MeterLink::takePacket(const MeterPacket::Bytes &packet)
{
    m_latest = MeterPacket::decode(packet.data());
    emit packetDecoded(m_latest);
    m_silence.packetArrived(m_clock.elapsed());
}

void MeterLink::packetsDone()
{
    emit levelsDecoded(m_latest);
    const qint64 now = m_clock.elapsed();
    m_silenceTimer->start(int(std::max<qint64>(1, m_silence.msUntilSilent(now))));
    m_silenceTellDue = false;
    if (m_silent) {
        m_silent = false;
        // Told once per drop-out, so the log ends with what the meters show.
        if (m_stoppedSinceMs >= 0)
            qCInfo(lcLink).noquote() << "meter data arrives again (after"
                                     << QStringLiteral("%1 s)").arg(qRound64(double(now - m_stoppedSinceMs) / 1000.0));
        else
            qCInfo(lcLink).noquote() << linkStateDescription(LinkState::Live, sourceText());
        m_stoppedSinceMs = -1;
        refreshState();
    }
}

QString MeterLink::sourceText() const
{
    if (m_settings.use_udp && !m_settings.is_server) {
        const QString host = m_settings.client_host.trimmed();
        return host.isEmpty() ? tr("any sender to UDP port %1").arg(m_name) : host;
    }
    return shownPortName(m_settings.serialport);
}

void MeterLink::checkSilence()
{
    if (m_silent) {
        // A link that was ready and heard nothing in all that time.
        const bool due = m_silenceTellDue;
        m_silenceTellDue = false;
        if (due && m_state == LinkState::Silent) {
            qCInfo(lcLink).noquote() << linkStateDescription(LinkState::Silent, m_where);
            emit stateChanged(m_state, m_where);
        }
        return;
    }
    // Packets that changed nothing stayed with the serial thread; they
    // still count as the console being there.
    const qint64 heard = m_gate.lastArrival();
    if (heard >= 0)
        m_silence.heardAt(heard);
    const qint64 now = m_clock.elapsed();
    if (!m_silence.isSilent(now)) {
        m_silenceTimer->start(int(std::max<qint64>(1, m_silence.msUntilSilent(now))));
        return;
    }
    // A pulled cable must not read as a held tone.
    m_silent = true;
    m_stoppedSinceMs = m_silence.lastArrivalMs();
    qCInfo(lcLink) << "meter data stopped";
    // The meters fall to the floor: the next packet is news, whatever it holds.
    m_gate.forget();
    emit silenceBegan();
    refreshState();
}

void MeterLink::refreshState()
{
    if (m_rebuilding)
        return;
    LinkState state = m_problem;
    QString where = m_problemWhere;
    QString reason = m_problemReason;
    if (state == LinkState::Live) {
        const bool serialInUse = !m_settings.use_udp || m_settings.is_server;
        if (serialInUse && !m_serial->isOpen()) {
            state = LinkState::PortClosed;
            where = shownPortName(m_settings.serialport);
            reason = m_serial->problem();
        } else if (!m_hostProblem.isEmpty()) {
            state = LinkState::HostUnresolved;
            where = m_settings.client_host;
            reason = m_hostProblem;
        } else if (!m_sendProblem.isEmpty()) {
            // Kept through a silence: the next packet would fail the same way.
            state = LinkState::SendFailed;
            where = m_sendWhere;
            reason = m_sendProblem;
        } else {
            // Live or silent, it is about where the packets come from.
            where = m_settings.use_udp && !m_settings.is_server ? m_settings.client_host
                                                                : shownPortName(m_settings.serialport);
            if (m_silent)
                state = LinkState::Silent;
            else if (m_sendPort && m_serverLocal.isLoopback())
                state = LinkState::LoopbackOnly;
            if (readsDatagrams())
                reason = clientNotes();
        }
    }
    const bool changed = !m_stateKnown || state != m_state || where != m_where || reason != m_reason;
    if (!changed) {
        // A problem that outlasts a drop-out or a return of the data: the
        // state is told again, so the meters' "no data" follows.
        if (m_silent != m_silentTold) {
            m_silentTold = m_silent;
            emit stateChanged(m_state, m_where);
        }
        return;
    }
    m_silentTold = m_silent;
    const auto working = [](LinkState s) {
        return s == LinkState::Live || s == LinkState::Silent || s == LinkState::LoopbackOnly;
    };
    const bool wasProblem = m_stateKnown && !working(m_state);
    m_stateKnown = true;
    m_state = state;
    m_where = where;
    m_reason = reason;
    // Once per change: the retries behind an unchanged problem stay silent.
    // A link that is ready and waits is told too (a drop-out is told by
    // checkSilence, the data by packetsDone). A loopback server is warned
    // about once per link, not after each silence.
    if (!working(state) || (state == LinkState::LoopbackOnly && !m_loopbackTold))
        qCWarning(lcLink).noquote() << linkStateDescription(state, where) << reason;
    else if (wasProblem && state == LinkState::Live)
        qCInfo(lcLink).noquote() << linkStateDescription(state, where);
    if (state == LinkState::Silent && m_stoppedSinceMs < 0) {
        m_silenceTellDue = true;
        m_silenceTimer->start(int(m_silence.timeoutMs()));
    }
    if (state == LinkState::LoopbackOnly)
        m_loopbackTold = true;
    emit stateChanged(m_state, m_where);
}
