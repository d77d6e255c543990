#include "clientsocket.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QHostInfo>
#include <QNetworkInterface>
#include <QTimer>

#include <algorithm>
#include <cerrno>

#ifdef Q_OS_LINUX
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#endif

#include "kernelfilter.h"
#include "linklogging.h"
#include "portnumber.h"
#include "udpdestination.h"

namespace {

QString trLink(const char *text)
{
    return QCoreApplication::translate("MeterLink", text);
}

// The kernel's limit on group memberships per socket, as the system says it.
QString igmpMaxMemberships()
{
    QFile file(QStringLiteral("/proc/sys/net/ipv4/igmp_max_memberships"));
    if (!file.open(QIODevice::ReadOnly))
        return QStringLiteral("?");
    return QString::fromLatin1(file.read(16)).trimmed();
}

} // namespace

ClientSocket::ClientSocket(const CommSettings &settings, int hostRecheckMs, const HostLookup::Resolver &resolver,
                           const QElapsedTimer &clock, QObject *socketParent, QObject *parent)
    : QObject(parent)
    , m_clock(clock)
    , m_host(settings.client_host)
    , m_socket(new QUdpSocket(socketParent))
    , m_filter(settings.client_host)
    , m_rejoinTimer(new QTimer(this))
    , m_hostLookup(new HostLookup(this))
    , m_lookupTimer(new QTimer(this))
    , m_hostRecheckMs(hostRecheckMs)
    , m_wrongSenderTimer(new QTimer(this))
{
    if (resolver)
        m_hostLookup->setResolver(resolver);
    connect(m_hostLookup, &HostLookup::finished, this, &ClientSocket::lookedUp);
    m_lookupTimer->setSingleShot(true);
    connect(m_lookupTimer, &QTimer::timeout, this, &ClientSocket::lookupTimerFired);
    m_wrongSenderTimer->setSingleShot(true);
    m_wrongSenderTimer->setInterval(kWrongSenderNoticeMs);
    connect(m_wrongSenderTimer, &QTimer::timeout, this, &ClientSocket::tellWrongSender);
    m_rejoinTimer->setInterval(kRejoinMs);
    connect(m_rejoinTimer, &QTimer::timeout, this, &ClientSocket::joinGroup);
    setUp(settings);
}

ClientSocket::~ClientSocket()
{
    // An answer still on its way is for the old link: HostLookup drops it.
    m_socket->close();
    m_socket->disconnect(m_socket->parent());
    m_socket->deleteLater();
}

void ClientSocket::setUp(const CommSettings &settings)
{
    const auto port = parsePort(settings.client_port);
    const qulonglong shown = portTextValue(settings.client_port);
    const MulticastGroup group = MulticastGroup::parse(settings.client_group);
    bool bound = false;
    if (!port) {
        m_problem = {LinkState::InvalidPort, settings.client_port,
                     trLink("Nothing is received until the client port is corrected.")};
    } else if (!group.isValid) {
        m_problem = {LinkState::InvalidAddress, settings.client_group, group.problem};
    } else {
        m_group = group.address;
        m_listens = true;
        bound = bind(*port);
        if (!bound)
            m_problem = {LinkState::BindFailed, settings.client_port, m_socket->errorString()};
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
    if (!m_host.trimmed().isEmpty() && !literal.setAddress(m_host))
        lookUp();
}

bool ClientSocket::bind(quint16 port)
{
    // Several displays on one PC may listen to the same group or broadcast,
    // and each gets every packet. (A packet sent to one address of this PC
    // still reaches only one of them.)
    const auto sharing = QAbstractSocket::ShareAddress | QAbstractSocket::ReuseAddressHint;
    if (m_group.isNull())
        return m_socket->bind(QHostAddress::Any, port, sharing);
    return m_socket->bind(QHostAddress::AnyIPv4, port, sharing);
}

// Lets only the accepted senders' packets (and a sample of other marked
// packets, for the wrong-sender notice) into the socket's queue, so a flood
// of junk cannot crowd them out. Called again whenever the senders change.
void ClientSocket::filterInKernel()
{
    if (!KernelFilter::kAvailable)
        return;
    QString error;
    if (KernelFilter::attach(m_socket->socketDescriptor(), m_filter.servers(), &error)
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
void ClientSocket::joinGroup()
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
        emit changed();
}

bool ClientSocket::joinGroupOn(const QNetworkInterface &interface, QString *error)
{
#ifdef Q_OS_LINUX
    // By the interface's index: the toolkit joins by the interface's first
    // IPv4 address, and a card that has just come up may have none yet.
    ip_mreqn request{};
    request.imr_multiaddr.s_addr = htonl(m_group.toIPv4Address());
    request.imr_ifindex = interface.index();
    const int fd = int(m_socket->socketDescriptor());
    // A membership that still stands (the card went down and up) is joined.
    if (::setsockopt(fd, IPPROTO_IP, IP_ADD_MEMBERSHIP, &request, sizeof request) == 0 || errno == EADDRINUSE)
        return true;
    *error = qt_error_string(errno);
    // The kernel's per-socket limit on memberships.
    if (errno == ENOBUFS)
        *error += trLink(" (this PC allows %1 groups per socket: net.ipv4.igmp_max_memberships)")
                      .arg(igmpMaxMemberships());
    return false;
#else
    if (m_socket->joinMulticastGroup(m_group, interface))
        return true;
    *error = m_socket->errorString();
    return false;
#endif
}

void ClientSocket::lookUp()
{
    m_hostLookup->start(m_host.trimmed());
}

// After a failed look-up: again. After a good one: again only while no
// packet arrives, since a moved server is what a silent link may mean.
void ClientSocket::lookupTimerFired()
{
    if (m_hostResolved && !m_silent) {
        m_lookupTimer->start(m_hostRecheckMs);
        return;
    }
    lookUp();
}

void ClientSocket::lookedUp(const QHostInfo &info)
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
            m_hostProblem = info.error() != QHostInfo::NoError ? info.errorString()
                                                               : trLink("%1 has no IPv4 address.").arg(m_host);
        m_lookupTimer->start(m_hostResolved ? m_hostRecheckMs : kLookupRetryMs);
        emit changed();
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
        m_filter = DatagramFilter(v4);
        if (isBound())
            filterInKernel();
        qCInfo(lcLink).noquote() << "accepting meter data from" << m_host << "=" << joined;
    }
    m_lookupTimer->start(m_hostRecheckMs);
    emit changed();
}

// A whole marked packet from a sender that is not client_host: told at once,
// then once a minute while such packets keep coming.
void ClientSocket::wrongSenderSeen(const QHostAddress &sender)
{
    m_wrongSenderSeenAt = m_clock.elapsed();
    const quint32 v4 = DatagramFilter::ipv4Form(sender);
    m_wrongSender = v4 != 0 ? QHostAddress(v4).toString() : sender.toString();
    if (!m_wrongSenderTimer->isActive())
        tellWrongSender();
}

void ClientSocket::tellWrongSender()
{
    if (m_wrongSenderSeenAt <= m_wrongSenderToldAt) {
        // None for a minute: the notice is withdrawn.
        m_wrongSenderNotice.clear();
        m_wrongSenderToldAt = -1;
        emit changed();
        return;
    }
    m_wrongSenderToldAt = m_wrongSenderSeenAt;
    const QString host = m_host.trimmed();
    QString listensTo;
    if (host.isEmpty())
        listensTo = trLink("no server (" LUMORA_KEY_CLIENT_HOST " is empty)");
    else if (!m_hostAddresses.isEmpty())
        listensTo = trLink("%1 = %2 (" LUMORA_KEY_CLIENT_HOST ")").arg(host, m_hostAddresses);
    else
        listensTo = trLink("%1 (" LUMORA_KEY_CLIENT_HOST ")").arg(host);
    qCWarning(lcLink).noquote() << QStringLiteral("ignoring meter data from %1: this display listens to %2")
                                       .arg(m_wrongSender, listensTo);
    m_wrongSenderNotice = trLink("Ignoring meter data from %1: this display listens to %2.").arg(m_wrongSender, listensTo);
    m_wrongSenderTimer->start();
    emit changed();
}

QString ClientSocket::notes() const
{
    QStringList notes;
    if (!m_joinFailures.isEmpty())
        notes << trLink("Not joined to group %1 on %2.")
                     .arg(m_group.toString(), QStringList(m_joinFailures.values()).join(QStringLiteral("; ")));
    if (!m_wrongSenderNotice.isEmpty())
        notes << m_wrongSenderNotice;
    return notes.join(QLatin1Char('\n'));
}
