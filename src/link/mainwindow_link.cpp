// The meter data link of the main window: serial port and UDP transports,
// packet framing and acceptance, and the release of the meters.
#include "mainwindow.h"

#include <QHostAddress>
#include <QLabel>
#include <QTimer>
#include <QUdpSocket>

#include <algorithm>

#include "datagramfilter.h"
#include "logging.h"
#include "meterpacket.h"
#include "meterrelease.h"
#include "portnumber.h"
#include "teskppmmeter.h"

namespace {

constexpr double kFloorDb = -50.0;
// Datagrams handled per readyRead before yielding to the event loop, so a
// flood cannot starve the clocks and the meters.
constexpr int kMaxDatagramsPerTurn = 64;
constexpr int kSerialRetryMs = 1000;

const QString kTitle = QStringLiteral("Lumora Meters");

} // namespace

void MainWindow::setupLink()
{
    if (serialPort) {
        serialPort->close();
        serialPort->disconnect(this);
        serialPort->deleteLater();
        serialPort = nullptr;
    }
    m_retryTimer->stop();
    m_serialClosePending = false;
    // Bytes left over from another device must not be glued to new ones.
    m_framer.reset();

    meterLevels.fill(kFloorDb);
    m_silence.reset();
    m_silent = true;
    m_linkProblem = LinkState::Live;
    // The meters fall to the floor from here (the tick does not exist yet
    // while the window is being built).
    if (releaseTimer)
        wakeRelease();

    if (!commSettings.use_udp || commSettings.is_server) {
        openSerialPort();
        if (!commSettings.use_udp) {
            udpSocket->close();
            refreshLinkMark();
            return;
        }
    }

    udpSocket->close();
    udpSocket->disconnect(this);
    udpSocket->deleteLater();
    udpSocket = new QUdpSocket(this);

    if (commSettings.is_server) {
        m_broadcastPort = parsePort(commSettings.server_port);
        if (!m_broadcastPort) {
            qCWarning(lcLink) << "UDP server port" << commSettings.server_port << "is not a port number; nothing is sent";
            m_linkProblem = LinkState::InvalidPort;
            m_linkWhere = commSettings.server_port;
        } else if (!udpSocket->bind(QHostAddress(commSettings.server_host), *m_broadcastPort)) {
            m_linkProblem = LinkState::BindFailed;
            m_linkWhere = commSettings.server_port;
        }
        refreshLinkMark();
        return;
    }

    m_datagramFilter = DatagramFilter(commSettings.client_host);
    const auto port = parsePort(commSettings.client_port);
    const qulonglong shown = portTextValue(commSettings.client_port);
    bool bound = false;
    if (port) {
        bound = udpSocket->bind(QHostAddress::Any, *port);
        connect(udpSocket, &QUdpSocket::readyRead, this, &MainWindow::udpReceive);
        if (!bound) {
            m_linkProblem = LinkState::BindFailed;
            m_linkWhere = commSettings.client_port;
        }
    } else {
        qCWarning(lcLink) << "UDP client port" << commSettings.client_port << "is not a port number; nothing is bound";
        m_linkProblem = LinkState::InvalidPort;
        m_linkWhere = commSettings.client_port;
    }
    qCDebug(lcLink) << "bind to port " << shown << " - " << bound;
    setWindowTitle(kTitle + QStringLiteral(" - (") + QString::number(shown) + QStringLiteral(")"));
    refreshLinkMark();
}

void MainWindow::setLinkSettings(const CommSettings &settings)
{
    commSettings = settings;
    setupLink();
}

void MainWindow::openSerialPort()
{
    // A port replaced here is never used again; let it go with its handles.
    if (serialPort) {
        serialPort->close();
        serialPort->disconnect(this);
        serialPort->deleteLater();
    }
    serialPort = new QSerialPort(commSettings.serialport, this);
    serialPort->setBaudRate(QSerialPort::Baud115200);
    serialPort->setDataBits(QSerialPort::Data8);
    serialPort->setFlowControl(QSerialPort::NoFlowControl);
    serialPort->setParity(QSerialPort::NoParity);
    serialPort->setStopBits(QSerialPort::OneStop);
    connect(serialPort, &QSerialPort::readyRead, this, &MainWindow::onDataAvailable);
    connect(serialPort, &QSerialPort::errorOccurred, this, &MainWindow::onSerialError);
    if (!serialPort->open(QIODevice::ReadWrite)) {
        // An adapter plugged in later is picked up by the retry.
        m_retryTimer->start(kSerialRetryMs);
    }
    setWindowTitle(kTitle + QStringLiteral(" - (") + commSettings.serialport + QStringLiteral(")"));
}

void MainWindow::onSerialError(QSerialPort::SerialPortError error)
{
    if (error == QSerialPort::NoError || error == QSerialPort::TimeoutError)
        return;
    if (sender() != serialPort || !serialPort)
        return;
    if (!serialPort->isOpen()) {
        if (!m_retryTimer->isActive())
            m_retryTimer->start(kSerialRetryMs);
        refreshLinkMark();
        return;
    }
    // A vanished device reports a read error over and over while the port
    // still counts as open; close it outside this signal and retry later.
    if (!m_serialClosePending) {
        m_serialClosePending = true;
        QMetaObject::invokeMethod(this, &MainWindow::closeVanishedPort, Qt::QueuedConnection);
    }
}

void MainWindow::closeVanishedPort()
{
    m_serialClosePending = false;
    if (!serialPort || !serialPort->isOpen())
        return;
    // For a vanished device the error text alone can mislead (it may name an
    // unrelated cause), so the error itself is logged too.
    qCWarning(lcLink) << "serial port" << commSettings.serialport << "failed:" << serialPort->error()
                      << serialPort->errorString()
                      << "- closing it and retrying every second";
    serialPort->close();
    serialPort->clearError();
    m_framer.reset();
    m_retryTimer->start(kSerialRetryMs);
    refreshLinkMark();
}

void MainWindow::retrySerialPort()
{
    if (!serialPort || serialPort->isOpen()) {
        m_retryTimer->stop();
        return;
    }
    if (serialPort->open(QIODevice::ReadWrite)) {
        serialPort->clearError();
        m_retryTimer->stop();
        m_framer.reset();
        qCInfo(lcLink) << "serial port" << commSettings.serialport << "is open again";
    }
    refreshLinkMark();
}

void MainWindow::onDataAvailable()
{
    qCDebug(lcLink) << "data arrived.. ";
    if (sender() != serialPort || !serialPort)
        return;
    const QByteArray chunk = serialPort->readAll();
    if (m_framer.feed(chunk, [this](const std::uint8_t *packet) { decodeMeterPacket(packet); }) > 0)
        wakeRelease();
}

void MainWindow::udpReceive()
{
    qCDebug(lcLink) << "udpReceive";
    drainDatagrams();
}

void MainWindow::drainDatagrams()
{
    QUdpSocket *socket = udpSocket;
    bool decoded = false;
    for (int handled = 0; handled < kMaxDatagramsPerTurn; ++handled) {
        // The first read happens even if nothing shows as pending: only a
        // read tells the socket its readyRead was answered, and an
        // unanswered one leaves it silent for good.
        if (handled > 0 && !socket->hasPendingDatagrams())
            break;
        // Read at most one packet's worth: a longer datagram is cut and
        // dropped by the size check, so no buffer is sized from the wire.
        const qint64 size = socket->pendingDatagramSize();
        char buffer[MeterPacket::kSize];
        QHostAddress sender;
        const qint64 got = socket->readDatagram(buffer, sizeof buffer, &sender);
        if (got == qint64(MeterPacket::kSize) && m_datagramFilter.accepts(buffer, size, sender)) {
            decodeMeterPacket(reinterpret_cast<const unsigned char *>(buffer));
            decoded = true;
        }
    }
    if (decoded)
        wakeRelease();
    // More may be waiting. The reads above re-armed the socket's read
    // notifier, so the next turn of the event loop brings another readyRead
    // after the clocks and the meters have had theirs. No queued call of our
    // own: one that empties the socket between the event loop's poll and the
    // notifier's turn leaves the socket believing a readyRead is unanswered,
    // and it never reports data again.
}

void MainWindow::decodeMeterPacket(const unsigned char *packet)
{
    const MeterPacket::Levels levels = MeterPacket::decode(packet);
    std::copy(levels.begin(), levels.end(), meterLevels.begin());
    ++m_packetsDecoded;

    if (commSettings.is_server && commSettings.use_udp && m_broadcastPort)
        udpSocket->writeDatagram(reinterpret_cast<const char *>(packet), qint64(MeterPacket::kSize),
                                 QHostAddress::Broadcast, *m_broadcastPort);

    m_silence.packetArrived(m_linkClock.elapsed());
    if (m_silent) {
        m_silent = false;
        refreshLinkMark();
    }
}

void MainWindow::meterRelease()
{
    // A pulled cable must not read as a held tone: after a second without a
    // valid packet the targets fall to the floor, as they would for silence.
    if (!m_silent && m_silence.isSilent(m_linkClock.elapsed())) {
        m_silent = true;
        m_silence.dropTargetsIfSilent(m_linkClock.elapsed(), meterLevels);
        refreshLinkMark();
    }
    bool moved = false;
    for (int i = 0; i < 6; ++i)
        moved |= releaseMeter(m_meters[i], meterLevels[i]);

    if (moved) {
        m_silenceTimer->stop();
        if (!releaseTimer->isActive())
            releaseTimer->start(releaseInterval);
        return;
    }
    // Every meter stands on its target, so every further tick would change
    // nothing until a target changes: a packet, a rebuilt link or the
    // silence rule. Rest instead of waking the process a hundred times a
    // second; those three wake the tick again (wakeRelease), and a
    // single-shot timer keeps watching for silence meanwhile.
    releaseTimer->stop();
    if (!m_silent)
        m_silenceTimer->start(int(std::max<qint64>(1, m_silence.msUntilSilent(m_linkClock.elapsed()))));
}

void MainWindow::wakeRelease()
{
    // While the tick runs it takes the new targets on its next beat, as
    // before. While it rests it beats at once, so the meters answer the
    // packet without waiting, and goes on from there if anything moved.
    if (!releaseTimer->isActive())
        meterRelease();
}

bool MainWindow::releaseTicking() const
{
    return releaseTimer && releaseTimer->isActive();
}

bool MainWindow::releaseMeter(TeskPPMMeter *meter, const double &level)
{
    const MeterRelease::ReleaseResult step = MeterRelease::releaseStep(meter->dBPosition(), level, releaseStep);
    if (!step.write)
        return false;
    const double was = meter->dBPosition();
    const int before = meter->barHeight();
    meter->assigndBPosition(step.value);
    if (meter->calcPosition())
        meter->update(meter->changedRows(before, meter->barHeight()));
    // A meter pinned at the top of its scale by a higher target is written
    // and clamped back each tick without moving: that is no movement.
    // (A NaN never equals itself, so it keeps the tick going as before.)
    return !(meter->dBPosition() == was);
}

void MainWindow::refreshLinkMark()
{
    LinkState state = m_linkProblem;
    QString where = m_linkWhere;
    if (state == LinkState::Live) {
        const bool serialInUse = !commSettings.use_udp || commSettings.is_server;
        if (serialInUse && (!serialPort || !serialPort->isOpen())) {
            state = LinkState::PortClosed;
            where = commSettings.serialport;
        } else if (m_silent) {
            state = LinkState::Silent;
            where = commSettings.use_udp && !commSettings.is_server ? commSettings.client_host
                                                                    : commSettings.serialport;
        }
    }
    m_linkState = state;
    m_linkMark->setToolTip(linkStateDescription(state, where));
    m_linkMark->setVisible(state != LinkState::Live);
}
