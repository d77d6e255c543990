#include "meterlink.h"

#include <QTimer>
#include <QUdpSocket>

#include <algorithm>

#include "addresswatch.h"
#include "linkcompose.h"
#include "linklogging.h"
#include "portnumber.h"
#include "readnotifiers.h"
#include "serialfeed.h"
#include "serialproblem.h"
#include "serverlink.h"
#include "tallyline.h"
#include "threadwake.h"

MeterLink::MeterLink(QObject *parent)
    : QObject(parent)
    , m_serial(new SerialFeed(this))
    , m_tallyLine(new TallyLine(m_serial, this))
    , m_idleSocket(new QUdpSocket(this))
    , m_silenceTimer(new QTimer(this))
    , m_wake(new ThreadWake(this))
    , m_addressCheckMs(AddressWatch::kCheckMs)
{
    m_clock.start();
    m_silenceTimer->setSingleShot(true);
    m_silenceTimer->setTimerType(Qt::PreciseTimer);
    connect(m_silenceTimer, &QTimer::timeout, this, &MeterLink::checkSilence);
    connect(m_serial, &SerialFeed::packetReceived, this, &MeterLink::packetReceived);
    connect(m_serial, &SerialFeed::packetsFramed, this, &MeterLink::packetsDone);
    connect(m_serial, &SerialFeed::openChanged, this, &MeterLink::refreshState);
    connect(m_wake, &ThreadWake::woken, this, &MeterLink::readSerial);
#ifdef Q_OS_LINUX
    m_serial->setThreadSink([this](const std::uint8_t *packet) { threadPacket(packet); });
#endif
}

MeterLink::~MeterLink()
{
    // The serial thread sends on the server's socket: it ends first.
    m_serial->close();
}

void MeterLink::setLineReader(ModemLineRead read)
{
    m_serial->setLineReader(std::move(read));
}

const QSerialPort *MeterLink::serialPort() const
{
    return m_serial->port();
}

const QUdpSocket *MeterLink::udpSocket() const
{
    if (m_server)
        return m_server->socket();
    if (m_client)
        return m_client->socket();
    return m_idleSocket;
}

QHostAddress MeterLink::destination() const
{
    return m_server ? m_server->destination() : QHostAddress();
}

const QSet<int> &MeterLink::joinedInterfaces() const
{
    static const QSet<int> none;
    return m_client ? m_client->joinedInterfaces() : none;
}

bool MeterLink::isLookingUp() const
{
    return m_client && m_client->isLookingUp();
}

void MeterLink::setHostRecheckInterval(int milliseconds)
{
    m_hostRecheckMs = milliseconds;
    if (m_client)
        m_client->setHostRecheckInterval(milliseconds);
}

void MeterLink::setHostResolver(HostLookup::Resolver resolver)
{
    m_hostResolver = std::move(resolver);
    if (m_client)
        m_client->setHostResolver(m_hostResolver);
}

quint64 MeterLink::packetsSent() const
{
    return m_sentBefore + (m_server ? m_server->sent() : 0);
}

quint64 MeterLink::packetsUnsent() const
{
    return m_unsentBefore + (m_server ? m_server->unsent() : 0);
}

void MeterLink::setSilenceTimeout(int milliseconds)
{
    m_silence = LinkSilence(milliseconds);
}

void MeterLink::setAddressCheckInterval(int milliseconds)
{
    m_addressCheckMs = milliseconds;
    if (m_server)
        m_server->setAddressCheckInterval(milliseconds);
}

void MeterLink::rebuild(const CommSettings &settings)
{
    m_settings = settings;
    // The serial thread ends here, before anything it uses changes.
    m_serial->close();
    m_sender = nullptr;
    if (m_server) {
        m_sentBefore += m_server->sent();
        m_unsentBefore += m_server->unsent();
    }
    m_server.reset();
    m_client.reset();  // an answer to its look-up still on its way goes with it
    m_gate.reset();
    m_gate.setPaced(m_paced);
    m_silence.reset();
    m_silenceTimer->stop();
    m_run = Run();

    // The state is told once the whole link is set up, not half-way.
    m_rebuilding = true;
    const bool serialInUse = !m_settings.use_udp || m_settings.is_server;
    m_tallyLine->setPortInUse(serialInUse);
    if (m_settings.use_udp && m_settings.is_server) {
        m_server = std::make_unique<ServerLink>(m_settings, m_addressCheckMs, m_clock, this);
        connect(m_server.get(), &ServerLink::changed, this, &MeterLink::refreshState);
        m_sender = m_server->sender();
    } else if (m_settings.use_udp) {
        m_name = QString::number(portTextValue(m_settings.client_port));
        m_client = std::make_unique<ClientSocket>(m_settings, m_hostRecheckMs, m_hostResolver, m_clock, this);
        connect(m_client.get(), &ClientSocket::changed, this, &MeterLink::refreshState);
        if (m_client->listens())
            connect(m_client->socket(), &QUdpSocket::readyRead, this, &MeterLink::readDatagrams);
    }
    // A serial-only link shows a socket that is not bound, as the others
    // show theirs; only one is kept at a time.
    if (m_settings.use_udp && m_idleSocket) {
        m_idleSocket->deleteLater();
        m_idleSocket = nullptr;
    } else if (!m_settings.use_udp && !m_idleSocket) {
        m_idleSocket = new QUdpSocket(this);
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
    // On the serial thread: only the sender, the gate and the clock are
    // touched here.
    if (m_sender)
        m_sender->send(packet);
    MeterPacket::Bytes bytes;
    std::copy(packet, packet + MeterPacket::kSize, bytes.begin());
    if (m_gate.offer(bytes, m_clock.elapsed()))
        m_wake->wake();
}

void MeterLink::readDatagrams()
{
    qCDebug(lcLink) << "udpReceive";
    const int decoded = m_client->readDatagrams(kMaxDatagramsPerTurn,
                                                [this](const MeterPacket::Bytes &packet) { packetReceived(packet); });
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
        setReadNotifiers(m_client->socket(), true);
}

bool MeterLink::readsDatagrams() const
{
    return m_client != nullptr;
}

bool MeterLink::forwardsOnArrival() const
{
    return m_sender && m_serial->isThreaded();
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
    else if (m_client->isBound())
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
        setReadNotifiers(m_client->socket(), false);
}

void MeterLink::packetReceived(const MeterPacket::Bytes &packet)
{
    ++m_packetsDecoded;
    if (m_sender)
        m_sender->send(packet.data());
    takePacket(packet);
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
    m_run.silenceTellDue = false;
    if (m_run.silent) {
        setSilent(false);
        // Told once per drop-out, so the log ends with what the meters show.
        if (m_run.stoppedSinceMs >= 0)
            qCInfo(lcLink).noquote() << "meter data arrives again (after"
                                     << QStringLiteral("%1 s)").arg(qRound64(double(now - m_run.stoppedSinceMs) / 1000.0));
        else
            qCInfo(lcLink).noquote() << linkStateDescription(LinkState::Live, sourceText());
        m_run.stoppedSinceMs = -1;
        refreshState();
    }
}

void MeterLink::setSilent(bool silent)
{
    m_run.silent = silent;
    if (m_client)
        m_client->setSilent(silent);
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
    if (m_run.silent) {
        // A link that was ready and heard nothing in all that time.
        const bool due = m_run.silenceTellDue;
        m_run.silenceTellDue = false;
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
    setSilent(true);
    m_run.stoppedSinceMs = m_silence.lastArrivalMs();
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
    LinkInputs in;
    if (m_server) {
        in.setUpProblem = m_server->problem();
        in.sendWhere = m_server->sendWhere();
        in.sendProblem = m_server->sendProblem();
        in.loopbackServer = m_server->sendsFromLoopback();
    } else if (m_client) {
        in.setUpProblem = m_client->problem();
        in.readsDatagrams = true;
        in.clientHost = m_settings.client_host;
        in.hostProblem = m_client->hostProblem();
        in.clientNotes = m_client->notes();
    }
    in.serialInUse = !m_settings.use_udp || m_settings.is_server;
    in.serialOpen = m_serial->isOpen();
    in.serialPort = shownPortName(m_settings.serialport);
    in.serialProblem = m_serial->problem();
    in.silent = m_run.silent;
    const LinkReport report = composeLinkState(in);
    const LinkState state = report.state;
    const QString &where = report.where;
    const QString &reason = report.reason;
    const bool changed = !m_stateKnown || state != m_state || where != m_where || reason != m_reason;
    if (!changed) {
        // A problem that outlasts a drop-out or a return of the data: the
        // state is told again, so the meters' "no data" follows.
        if (m_run.silent != m_silentTold) {
            m_silentTold = m_run.silent;
            emit stateChanged(m_state, m_where);
        }
        return;
    }
    m_silentTold = m_run.silent;
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
    if (!working(state) || (state == LinkState::LoopbackOnly && !m_run.loopbackTold))
        qCWarning(lcLink).noquote() << linkStateDescription(state, where) << reason;
    else if (wasProblem && state == LinkState::Live)
        qCInfo(lcLink).noquote() << linkStateDescription(state, where);
    if (state == LinkState::Silent && m_run.stoppedSinceMs < 0) {
        m_run.silenceTellDue = true;
        m_silenceTimer->start(int(m_silence.timeoutMs()));
    }
    if (state == LinkState::LoopbackOnly)
        m_run.loopbackTold = true;
    emit stateChanged(m_state, m_where);
}
