#include "serverlink.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QTimer>
#include <QUdpSocket>

#include <cstring>

#include "linklogging.h"
#include "portnumber.h"
#include "threadwake.h"
#include "udpdestination.h"

namespace {

QString trLink(const char *text)
{
    return QCoreApplication::translate("MeterLink", text);
}

} // namespace

ServerLink::ServerLink(const CommSettings &settings, int addressCheckMs, const QElapsedTimer &clock,
                       QObject *socketParent, QObject *parent)
    : QObject(parent)
    , m_clock(clock)
    , m_host(settings.server_host)
    , m_sendWake(new ThreadWake(this))
    , m_sender(socketParent, m_sendWake)
    , m_addressTimer(new QTimer(this))
{
    m_addressTimer->setInterval(addressCheckMs);
    connect(m_addressTimer, &QTimer::timeout, this, &ServerLink::checkAddress);
    connect(m_sendWake, &ThreadWake::woken, this, &ServerLink::sendStateChanged);
    setUp(settings);
}

ServerLink::~ServerLink() = default;

void ServerLink::setAddressCheckInterval(int milliseconds)
{
    m_addressTimer->setInterval(milliseconds);
}

void ServerLink::setProblem(LinkState state, const QString &where, const QString &reason)
{
    m_problem = {state, where, reason};
}

void ServerLink::setUp(const CommSettings &settings)
{
    const auto port = parsePort(settings.server_port);
    if (!port) {
        setProblem(LinkState::InvalidPort, settings.server_port,
                   trLink("Nothing is sent until the server port is corrected."));
        return;
    }
    const UdpDestination destination = UdpDestination::parse(settings.server_destination, settings.server_ttl);
    if (destination.kind == UdpDestination::Kind::Invalid) {
        setProblem(LinkState::InvalidAddress, destination.problemValue, destination.problem);
        return;
    }
    // The packets go out as IPv4; an IPv6 address would bind, and send
    // nothing.
    QHostAddress local(QHostAddress::AnyIPv4);
    const QString host = settings.server_host.trimmed();
    if (!host.isEmpty() && !parseDottedIPv4(host, &local)) {
        setProblem(LinkState::InvalidAddress, settings.server_host,
                   trLink("the address to send from must be an IPv4 address of this PC, such as 192.168.1.20"));
        return;
    }
    m_local = local;
    // The broadcast goes out from server_port as it always did. A group or a
    // host is sent to from any free port, so displays listening on
    // server_port on this same PC (a relay beside a display, a test) are not
    // in its way; receivers look at the sender's address, not its port.
    m_from = destination.kind == UdpDestination::Kind::Broadcast ? *port : 0;
    m_multicastTtl = destination.kind == UdpDestination::Kind::Multicast ? destination.ttl : 0;
    m_destination = destination.address;
    m_sendWhere = QStringLiteral("%1:%2").arg(m_destination.toString()).arg(*port);
    QString error;
    if (!m_sender.aim(m_destination, *port, &error)) {
        setProblem(LinkState::SendBindFailed, place(), error);
        return;
    }
    m_sends = true;
    const bool bound = bind();
    m_addressWatch.check(bound || m_problem.state != LinkState::AddressNotLocal, m_clock.elapsed());
    if (!bound || local != QHostAddress(QHostAddress::AnyIPv4))
        m_addressTimer->start();
}

// Where the server sends from, as its bind failure names it.
QString ServerLink::place() const
{
    const QString host = m_local.isNull() ? m_host : m_local.toString();
    return m_from ? QStringLiteral("%1:%2").arg(host).arg(m_from) : host;
}

// False, with the problem set, when the address is not on this PC or the
// port is taken.
bool ServerLink::bind()
{
    QString problem;
    switch (m_sender.bind(m_local, m_from, m_multicastTtl, &problem)) {
    case ServerSender::Bound::Yes:
        m_sendProblem.clear();
        setProblem(LinkState::Live, QString(), QString());
        return true;
    case ServerSender::Bound::AddressMissing:
        setProblem(LinkState::AddressNotLocal, m_host, problem);
        return false;
    case ServerSender::Bound::Failed:
        setProblem(LinkState::SendBindFailed, place(), problem);
        return false;
    }
    return false;
}

bool ServerLink::addressPresent(QString *why) const
{
    QUdpSocket probe;
    if (probe.bind(m_local, 0))
        return true;
    *why = probe.errorString();
    return probe.error() != QAbstractSocket::SocketAddressNotAvailableError;
}

// Every few seconds while the server has a socket to look after: binds
// again once its address is (back) on this PC, and lets the socket go when
// the address leaves.
void ServerLink::checkAddress()
{
    bool present = true;
    if (m_sender.isBound()) {
        QString why;
        present = addressPresent(&why);
        if (!present) {
            m_sender.release();
            setProblem(LinkState::AddressNotLocal, m_host, why);
        }
    } else {
        present = bind() || m_problem.state != LinkState::AddressNotLocal;
    }
    switch (m_addressWatch.check(present, m_clock.elapsed())) {
    case AddressWatch::Note::Mistyped:
        qCWarning(lcLink).noquote()
            << trLink("Address %1 has not appeared on this PC for more than a minute: is it mistyped? Still "
                      "trying every %2 seconds.")
                   .arg(m_host)
                   .arg(m_addressTimer->interval() / 1000.0);
        break;
    case AddressWatch::Note::Appeared:
        qCInfo(lcLink).noquote() << trLink("Address %1 is on this PC again.").arg(m_host);
        break;
    case AddressWatch::Note::None:
    case AddressWatch::Note::Missing:
        break;
    }
    if (m_sender.isBound() && m_local == QHostAddress(QHostAddress::AnyIPv4))
        m_addressTimer->stop();
    emit changed();
}

void ServerLink::sendStateChanged()
{
    // Told once per change; by now the sends may have changed again.
    const int error = m_sender.sendError();
    if ((error != 0) == !m_sendProblem.isEmpty())
        return;
    if (error != 0) {
        // Often the first sign that the address left this PC: look now
        // rather than at the next check, and say that instead.
        if (m_addressTimer->isActive() && m_sender.isBound()) {
            checkAddress();
            if (!m_sender.isBound())
                return;
        }
        m_sendProblem = QString::fromLocal8Bit(std::strerror(error));
    } else {
        m_sendProblem.clear();
        qCInfo(lcLink).noquote() << trLink("Sending meter data to %1 works again.").arg(m_sendWhere);
    }
    emit changed();
}
