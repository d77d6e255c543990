#pragma once

#include <QElapsedTimer>
#include <QObject>
#include <QString>

#include <optional>

#include "commsettings.h"
#include "datagramfilter.h"
#include "linksilence.h"
#include "linkstate.h"
#include "meterpacket.h"

class QSerialPort;
class QTimer;
class QUdpSocket;
class SerialFeed;

// The meter data link that a CommSettings describes: the serial port (serial
// only and UDP server), the UDP socket (client, or the server's broadcast),
// the framing and acceptance of packets, the server's re-broadcast, and how
// the link stands. Settings go in through rebuild(); levels and state come
// out through signals. It knows nothing of the screen.
class MeterLink : public QObject
{
    Q_OBJECT

public:
    // Datagrams handled per readyRead before yielding to the event loop, so a
    // flood cannot starve the clocks and the meters.
    static constexpr int kMaxDatagramsPerTurn = 64;

    explicit MeterLink(QObject *parent = nullptr);
    ~MeterLink() override;

    // Replaces the whole link with the one the settings describe.
    void rebuild(const CommSettings &settings);
    const CommSettings &settings() const { return m_settings; }

    // Reads what the serial port holds / the datagrams waiting. The port's
    // and the socket's readyRead call these.
    void readSerial();
    void readDatagrams();

    // Paced: the transports stop reporting each arrival, and the release
    // reads them on its frame beat through pull() instead. Unpaced: each
    // arrival is read at once again. Bytes wait in the kernel meanwhile;
    // none is lost.
    void setPaced(bool paced);
    bool isPaced() const { return m_paced; }
    // Reads whatever the transport in use holds now.
    void pull();

    LinkState state() const { return m_state; }
    // What the state is about: a port name, a port number text or a host.
    QString where() const { return m_where; }
    // More about a problem, in the system's words; empty when none is known.
    QString reason() const { return m_reason; }
    // What the window title shows in brackets: the serial port's name, or
    // the client's listening port.
    QString name() const { return m_name; }

    // Valid packets decoded since the link object was made, from any transport.
    quint64 packetsDecoded() const { return m_packetsDecoded; }
    // The link counts as silent after this long without a valid packet.
    void setSilenceTimeout(int milliseconds);
    bool isSilent() const { return m_silent; }

    // The transports, for reading their state only (tests, status).
    const QSerialPort *serialPort() const;
    const QUdpSocket *udpSocket() const { return m_udpSocket; }
    const SerialFeed *serialFeed() const { return m_serial; }

signals:
    // The levels of the latest valid packet, once per read that brought any.
    void levelsDecoded(const MeterPacket::Levels &levels);
    // The levels of every valid packet, in stream order.
    void packetDecoded(const MeterPacket::Levels &levels);
    // No valid packet for the silence timeout: the console is taken to be
    // gone (cable pulled, server stopped).
    void silenceBegan();
    void stateChanged(LinkState state, const QString &where);

private:
    void packetReceived(const MeterPacket::Bytes &packet);
    void packetsDone();
    void checkSilence();
    void refreshState();
    void quietTransports();
    bool readsDatagrams() const;

    CommSettings m_settings;
    SerialFeed *m_serial = nullptr;
    QUdpSocket *m_udpSocket = nullptr;
    QTimer *m_silenceTimer = nullptr;
    DatagramFilter m_datagramFilter;
    std::optional<quint16> m_broadcastPort;
    QElapsedTimer m_clock;
    LinkSilence m_silence;
    MeterPacket::Levels m_latest {};
    quint64 m_packetsDecoded = 0;
    bool m_silent = true;
    bool m_paced = false;
    LinkState m_problem = LinkState::Live;  // set up problems; Live when none
    QString m_problemWhere;
    LinkState m_state = LinkState::PortClosed;
    QString m_where;
    QString m_reason;
    QString m_name;
};
