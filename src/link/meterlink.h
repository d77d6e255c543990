#pragma once

#include <QElapsedTimer>
#include <QHostAddress>
#include <QObject>
#include <QSet>
#include <QString>

#include <memory>
#include <vector>

#include "clientsocket.h"
#include "commsettings.h"
#include "hostlookup.h"
#include "linksilence.h"
#include "linkstate.h"
#include "meterpacket.h"
#include "modemlines.h"
#include "packetgate.h"

class QSerialPort;
class QTimer;
class QUdpSocket;
class SerialFeed;
class ServerLink;
class ServerSender;
class TallyLine;
class ThreadWake;

// The meter data link that a CommSettings describes: the serial port (serial
// only and UDP server), the UDP socket (client, or the server's broadcast),
// the framing and acceptance of packets, the server's re-broadcast, and how
// the link stands. Settings go in through rebuild(); levels and state come
// out through signals. It knows nothing of the screen.
//
// It wires parts that each do one job: SerialFeed reads the port (on a
// reader thread of its own), a ServerLink sends each packet on (a UDP
// server) or a ClientSocket receives them (a UDP client); the packets' way
// to the meters, the silence and the state are kept here, the state put
// together by composeLinkState(). The server and client parts are made anew
// by each rebuild().
//
// The reader thread touches two things of this link that change: the
// PacketGate, under the gate's own mutex, and the ServerSender, whose side
// of each send is atomic and takes no lock (see there); besides them only
// the clock, which it reads, and the wake. No lock is held while another is
// taken, and nothing of either is called with the gate's mutex held, so
// there is no lock order to keep. What the thread has to say reaches this
// thread by a ThreadWake, never by a queued call. The sender it sends on
// changes only while no reader thread runs.
//
// A packet's way: from the reader thread, through PortReader's one
// std::function (which holds our threadPacket()), to the sender and the
// gate; from the event loop's serial reads, through SerialFeed's signal;
// from a client's socket, through ClientSocket::readDatagrams(), a template
// that calls packetReceived() in line.
class MeterLink : public QObject
{
    Q_OBJECT

public:
    // Datagrams handled per readyRead before yielding to the event loop, so a
    // flood cannot starve the clocks and the meters.
    static constexpr int kMaxDatagramsPerTurn = 64;
    // A client_host name that does not resolve is looked up again this often.
    static constexpr int kLookupRetryMs = ClientSocket::kLookupRetryMs;
    // A client_host name that resolved is looked up again this often while
    // the link is silent: the studio PC may have moved to a new address.
    static constexpr int kHostRecheckMs = 30000;
    // A sender other than client_host is told of at most this often.
    static constexpr int kWrongSenderNoticeMs = ClientSocket::kWrongSenderNoticeMs;
    // How often a client looks for interfaces that came up, to join its group.
    static constexpr int kRejoinMs = ClientSocket::kRejoinMs;

    explicit MeterLink(QObject *parent = nullptr);
    ~MeterLink() override;

    // Replaces the whole link with the one the settings describe.
    void rebuild(const CommSettings &settings);
    const CommSettings &settings() const { return m_settings; }

    // Reads what the serial port holds / the datagrams waiting. The port's
    // and the socket's readyRead call these. The serial port is read on a
    // thread of its own (see PacketGate for what reaches this thread, and
    // when); readSerial() then takes what that thread kept.
    void readSerial();
    void readDatagrams();

    // Paced: the transports stop reporting each arrival, and the release
    // reads them on its frame beat through pull() instead. Unpaced: each
    // arrival is read at once again. Bytes wait in the kernel meanwhile;
    // none is lost. A UDP server's reader thread reads and sends each packet
    // on arrival either way; paced, it only keeps them for pull().
    void setPaced(bool paced);
    bool isPaced() const { return m_paced; }
    // Reads whatever the transport in use holds now.
    void pull();

    LinkState state() const { return m_state; }
    // What the state is about: a port name, a port number text or a host.
    QString where() const { return m_where; }
    // More about a problem, in the system's words; empty when none is known.
    QString reason() const { return m_reason; }
    // Where a server sends each packet (broadcast, group or host), and the
    // indexes of the interfaces a client has joined its group on.
    QHostAddress destination() const;
    const QSet<int> &joinedInterfaces() const;
    // A client_host name is being looked up.
    bool isLookingUp() const;
    // For tests: how often a resolved name is checked while silent, and a
    // resolver in place of the system's (called on a worker thread).
    void setHostRecheckInterval(int milliseconds);
    void setHostResolver(HostLookup::Resolver resolver);
    // What the window title shows in brackets: the serial port's name, or
    // the client's listening port.
    QString name() const { return m_name; }

    // Valid packets decoded since the link object was made, from any transport.
    quint64 packetsDecoded() const { return m_packetsDecoded + m_gate.offered(); }
    // The relay shows nothing: it wants no levels beyond what tells a live
    // console from a silent one, so the serial thread keeps its packets.
    void setLevelsWanted(bool wanted) { m_gate.setChangesWanted(wanted); }
    // The link counts as silent after this long without a valid packet.
    void setSilenceTimeout(int milliseconds);
    // How often a server checks that its address is on this PC, to bind
    // again when it comes back.
    void setAddressCheckInterval(int milliseconds);
    // Server: packets sent, and packets that were not (the send failed, or
    // the address to send from is missing). Counted on whichever thread
    // sends.
    quint64 packetsSent() const;
    quint64 packetsUnsent() const;
    bool isSilent() const { return m_run.silent; }
    // True while a link that is ready has heard nothing for less than the
    // silence timeout; stateChanged tells the end of that wait.
    bool awaitsFirstData() const { return m_run.silenceTellDue; }

    // The transports, for reading their state only (tests, status).
    const QSerialPort *serialPort() const;
    const QUdpSocket *udpSocket() const;
    const SerialFeed *serialFeed() const { return m_serial; }
    // The ON AIR lamp's modem line on the serial port, when the tally
    // source names one (the settings' tally_source is not applied by
    // rebuild(); its owner sets the source).
    TallyLine &tallyLine() { return *m_tallyLine; }
    // For tests: reads the modem lines in place of the port's own, on the
    // reader thread; takes force at the next open.
    void setLineReader(ModemLineRead read);

signals:
    // The levels of the latest valid packet, once per read that brought any.
    void levelsDecoded(const MeterPacket::Levels &levels);
    // The levels of every valid packet, in stream order.
    void packetDecoded(const MeterPacket::Levels &levels);
    // No valid packet for the silence timeout: the console is taken to be
    // gone (cable pulled, server stopped).
    void silenceBegan();
    // The state, the place or the reason changed.
    void stateChanged(LinkState state, const QString &where);

private:
    void packetReceived(const MeterPacket::Bytes &packet);
    void takePacket(const MeterPacket::Bytes &packet);
    void threadPacket(const std::uint8_t *packet);
    void packetsDone();
    void checkSilence();
    void setSilent(bool silent);
    QString sourceText() const;  // where the packets come from, for the log
    void refreshState();
    void quietTransports();
    bool readsDatagrams() const;
    bool forwardsOnArrival() const;

    CommSettings m_settings;
    SerialFeed *m_serial = nullptr;
    TallyLine *m_tallyLine = nullptr;
    QUdpSocket *m_idleSocket = nullptr;  // what udpSocket() shows before the first link and of a serial-only one
    QTimer *m_silenceTimer = nullptr;
    ThreadWake *m_wake = nullptr;  // the serial thread's call to readSerial()
    QElapsedTimer m_clock;
    PacketGate m_gate;
    std::vector<MeterPacket::Bytes> m_taken;

    // The parts of this mode of link, made anew by each rebuild(); null when
    // not in use.
    std::unique_ptr<ServerLink> m_server;
    std::unique_ptr<ClientSocket> m_client;
    // Where each packet is sent on, on whichever thread framed it: the
    // server's sender, or null. Set only while no reader thread runs.
    ServerSender *m_sender = nullptr;
    // Sent and unsent by the senders of links rebuilt since.
    quint64 m_sentBefore = 0;
    quint64 m_unsentBefore = 0;
    // What the next server or client is made with.
    int m_hostRecheckMs = kHostRecheckMs;
    HostLookup::Resolver m_hostResolver;
    int m_addressCheckMs;

    LinkSilence m_silence;
    MeterPacket::Levels m_latest {};
    quint64 m_packetsDecoded = 0;
    bool m_paced = false;

    // How this link has gone since rebuild() made it.
    struct Run
    {
        bool silent = true;
        qint64 stoppedSinceMs = -1;  // the last packet before a drop-out; -1: none logged
        // A link that is ready but has heard nothing is told so once it has
        // waited the silence timeout, not at once.
        bool silenceTellDue = false;
        bool loopbackTold = false;
    } m_run;

    // The state as last told.
    LinkState m_state = LinkState::PortClosed;
    bool m_stateKnown = false;  // false until the first rebuild has told it
    bool m_silentTold = true;   // the silence as stateChanged last told it
    bool m_rebuilding = false;  // the state waits until the whole link is set up
    QString m_where;
    QString m_reason;
    QString m_name;
};
