#include "meterlink.h"

#include <QHostAddress>
#include <QSerialPort>
#include <QTimer>
#include <QUdpSocket>

#include <algorithm>

#include "linklogging.h"
#include "readnotifiers.h"
#include "portnumber.h"
#include "serialfeed.h"

MeterLink::MeterLink(QObject *parent)
    : QObject(parent)
    , m_serial(new SerialFeed(this))
    , m_udpSocket(new QUdpSocket(this))
    , m_silenceTimer(new QTimer(this))
    , m_datagramFilter(QString())
{
    m_clock.start();
    m_silenceTimer->setSingleShot(true);
    m_silenceTimer->setTimerType(Qt::PreciseTimer);
    connect(m_silenceTimer, &QTimer::timeout, this, &MeterLink::checkSilence);
    connect(m_serial, &SerialFeed::packetReceived, this, &MeterLink::packetReceived);
    connect(m_serial, &SerialFeed::packetsFramed, this, &MeterLink::packetsDone);
    connect(m_serial, &SerialFeed::openChanged, this, &MeterLink::refreshState);
}

MeterLink::~MeterLink() = default;

const QSerialPort *MeterLink::serialPort() const
{
    return m_serial->port();
}

void MeterLink::setSilenceTimeout(int milliseconds)
{
    m_silence = LinkSilence(milliseconds);
}

void MeterLink::rebuild(const CommSettings &settings)
{
    m_settings = settings;
    m_serial->close();
    m_silence.reset();
    m_silenceTimer->stop();
    m_silent = true;
    m_problem = LinkState::Live;
    m_reason.clear();

    const bool serialInUse = !m_settings.use_udp || m_settings.is_server;
    if (serialInUse) {
        m_serial->open(m_settings.serialport);
        m_name = m_settings.serialport;
        if (!m_settings.use_udp) {
            m_udpSocket->close();
            refreshState();
            return;
        }
    }

    m_udpSocket->close();
    m_udpSocket->disconnect(this);
    m_udpSocket->deleteLater();
    m_udpSocket = new QUdpSocket(this);

    if (m_settings.is_server) {
        m_broadcastPort = parsePort(m_settings.server_port);
        if (!m_broadcastPort) {
            qCWarning(lcLink) << "UDP server port" << m_settings.server_port << "is not a port number; nothing is sent";
            m_problem = LinkState::InvalidPort;
            m_problemWhere = m_settings.server_port;
        } else if (!m_udpSocket->bind(QHostAddress(m_settings.server_host), *m_broadcastPort)) {
            m_problem = LinkState::BindFailed;
            m_problemWhere = m_settings.server_port;
        }
        refreshState();
        return;
    }

    m_datagramFilter = DatagramFilter(m_settings.client_host);
    const auto port = parsePort(m_settings.client_port);
    const qulonglong shown = portTextValue(m_settings.client_port);
    bool bound = false;
    if (port) {
        bound = m_udpSocket->bind(QHostAddress::Any, *port);
        connect(m_udpSocket, &QUdpSocket::readyRead, this, &MeterLink::readDatagrams);
        if (!bound) {
            m_problem = LinkState::BindFailed;
            m_problemWhere = m_settings.client_port;
        }
    } else {
        qCWarning(lcLink) << "UDP client port" << m_settings.client_port << "is not a port number; nothing is bound";
        m_problem = LinkState::InvalidPort;
        m_problemWhere = m_settings.client_port;
    }
    qCDebug(lcLink) << "bind to port " << shown << " - " << bound;
    m_name = QString::number(shown);
    refreshState();
}

void MeterLink::readSerial()
{
    m_serial->readAvailable();
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
        if (got == qint64(MeterPacket::kSize)
            && m_datagramFilter.accepts(reinterpret_cast<const char *>(buffer.data()), size, sender)) {
            packetReceived(buffer);
            ++decoded;
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

void MeterLink::pull()
{
    if (!readsDatagrams())
        m_serial->pull();
    else if (m_udpSocket->state() == QAbstractSocket::BoundState)
        readDatagrams();
    if (m_paced)
        quietTransports();
}

void MeterLink::quietTransports()
{
    // Every read re-arms the transports' notifiers (QSerialPort's readData,
    // QUdpSocket's readDatagram), and a rebuilt link comes with new ones, so
    // they are quietened after each pull.
    m_serial->setNotified(false);
    if (readsDatagrams())
        setReadNotifiers(m_udpSocket, false);
}

void MeterLink::packetReceived(const MeterPacket::Bytes &packet)
{
    m_latest = MeterPacket::decode(packet.data());
    ++m_packetsDecoded;
    emit packetDecoded(m_latest);

    if (m_settings.is_server && m_settings.use_udp && m_broadcastPort)
        m_udpSocket->writeDatagram(reinterpret_cast<const char *>(packet.data()), qint64(packet.size()),
                                   QHostAddress::Broadcast, *m_broadcastPort);

    m_silence.packetArrived(m_clock.elapsed());
}

void MeterLink::packetsDone()
{
    emit levelsDecoded(m_latest);
    m_silenceTimer->start(int(std::max<qint64>(1, m_silence.msUntilSilent(m_clock.elapsed()))));
    if (m_silent) {
        m_silent = false;
        refreshState();
    }
}

void MeterLink::checkSilence()
{
    if (m_silent)
        return;
    const qint64 now = m_clock.elapsed();
    if (!m_silence.isSilent(now)) {
        m_silenceTimer->start(int(std::max<qint64>(1, m_silence.msUntilSilent(now))));
        return;
    }
    // A pulled cable must not read as a held tone.
    m_silent = true;
    emit silenceBegan();
    refreshState();
}

void MeterLink::refreshState()
{
    LinkState state = m_problem;
    QString where = m_problemWhere;
    if (state == LinkState::Live) {
        const bool serialInUse = !m_settings.use_udp || m_settings.is_server;
        if (serialInUse && !m_serial->isOpen()) {
            state = LinkState::PortClosed;
            where = m_settings.serialport;
        } else if (m_silent) {
            state = LinkState::Silent;
            where = m_settings.use_udp && !m_settings.is_server ? m_settings.client_host
                                                                : m_settings.serialport;
        }
    }
    if (state == m_state && where == m_where)
        return;
    m_state = state;
    m_where = where;
    emit stateChanged(m_state, m_where);
}
