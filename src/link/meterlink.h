#pragma once

#include <QElapsedTimer>
#include <QHostAddress>
#include <QMap>
#include <QObject>
#include <QSet>
#include <QString>

#include <atomic>
#include <optional>
#include <vector>

#include "addresswatch.h"
#include "commsettings.h"
#include "datagramfilter.h"
#include "hostlookup.h"
#include "linksilence.h"
#include "linkstate.h"
#include "meterpacket.h"
#include "packetgate.h"

class QHostInfo;
class QNetworkInterface;
class QSerialPort;
class QTimer;
class QUdpSocket;
class SerialFeed;
class ThreadWake;

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
    // A client_host name that does not resolve is looked up again this often.
    static constexpr int kLookupRetryMs = 10000;
    // A client_host name that resolved is looked up again this often while
    // the link is silent: the studio PC may have moved to a new address.
    static constexpr int kHostRecheckMs = 30000;
    // A sender other than client_host is told of at most this often.
    static constexpr int kWrongSenderNoticeMs = 60000;
    // How often a client looks for interfaces that came up, to join its group.
    static constexpr int kRejoinMs = 5000;

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
    QHostAddress destination() const { return m_destination; }
    const QSet<int> &joinedInterfaces() const { return m_joined; }
    // A client_host name is being looked up.
    bool isLookingUp() const;
    // For tests: how often a resolved name is checked while silent, and a
    // resolver in place of the system's (called on a worker thread).
    void setHostRecheckInterval(int milliseconds) { m_hostRecheckMs = milliseconds; }
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
    quint64 packetsSent() const { return m_packetsSent.load(std::memory_order_relaxed); }
    quint64 packetsUnsent() const { return m_packetsUnsent.load(std::memory_order_relaxed); }
    bool isSilent() const { return m_silent; }
    // True while a link that is ready has heard nothing for less than the
    // silence timeout; stateChanged tells the end of that wait.
    bool awaitsFirstData() const { return m_silenceTellDue; }

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
    // The state, the place or the reason changed.
    void stateChanged(LinkState state, const QString &where);

private:
    void packetReceived(const MeterPacket::Bytes &packet);
    void takePacket(const MeterPacket::Bytes &packet);
    void threadPacket(const std::uint8_t *packet);
    void packetsDone();
    void checkSilence();
    QString sourceText() const;  // where the packets come from, for the log
    void refreshState();
    void quietTransports();
    bool readsDatagrams() const;
    bool forwardsOnArrival() const;
    void setProblem(LinkState state, const QString &where, const QString &reason);
    void renewSocket();
    void setUpServer();
    bool bindServer();
    void releaseServer();
    bool serverAddressPresent(QString *why) const;
    void checkServerAddress();
    void sendPacket(const std::uint8_t *packet);
    void sendStateChanged();
    QString serverPlace() const;
    void setUpClient();
    bool bindClient(quint16 port);
    void joinGroup();
    bool joinGroupOn(const QNetworkInterface &interface, QString *error);
    void lookUpClientHost();
    void lookupTimerFired();
    void clientHostLookedUp(const QHostInfo &info);
    void filterInKernel();
    void wrongSenderSeen(const QHostAddress &sender);
    void tellWrongSender();
    void forgetClientNotes();
    QString clientNotes() const;

    CommSettings m_settings;
    SerialFeed *m_serial = nullptr;
    QUdpSocket *m_udpSocket = nullptr;
    QTimer *m_silenceTimer = nullptr;
    ThreadWake *m_wake = nullptr;  // the serial thread's call to readSerial()
    ThreadWake *m_sendWake = nullptr;  // the serial thread's call to sendStateChanged()
    QTimer *m_lookupTimer = nullptr;
    QTimer *m_rejoinTimer = nullptr;
    QTimer *m_addressTimer = nullptr;
    DatagramFilter m_datagramFilter;
    std::optional<quint16> m_sendPort;  // set while the server may send
    QHostAddress m_destination;
    QHostAddress m_serverLocal;         // the address the server sends from
    quint16 m_serverFrom = 0;           // and its port; 0: any
    int m_multicastTtl = 0;             // 0: not sending to a group
    AddressWatch m_addressWatch;
    QString m_sendWhere;                // the destination and port, as shown
    QString m_sendProblem;              // why sends fail; empty while they work
    bool m_loopbackTold = false;
    QHostAddress m_group;               // the client's group; null when none
    QSet<int> m_joined;
    HostLookup *m_hostLookup = nullptr;
    bool m_hostResolved = false;        // the last look-up found addresses
    int m_hostRecheckMs = kHostRecheckMs;
    QString m_hostProblem;              // why client_host did not resolve
    QString m_hostAddresses;            // what client_host resolved to, as text
    QString m_kernelFilterProblem;      // told once per link
    // A sender other than client_host: the latest seen, when, and the
    // notice in force (empty when none).
    QTimer *m_wrongSenderTimer = nullptr;
    QString m_wrongSender;
    qint64 m_wrongSenderSeenAt = -1;
    qint64 m_wrongSenderToldAt = -1;
    QString m_wrongSenderNotice;
    // Interfaces the group could not be joined on: index -> "name: reason".
    QMap<int, QString> m_joinFailures;
    QElapsedTimer m_clock;
    PacketGate m_gate;
    std::vector<MeterPacket::Bytes> m_taken;
    // Where the serial thread sends each packet in server mode; set only
    // while no thread runs. fd -1: not a server. The descriptor is our own:
    // a copy of the bound socket's, or one that sends nowhere while the
    // socket is not bound. A rebind swaps what it stands for in one step
    // (dup3), so the thread never sends on a closed or reused number.
    struct ThreadSend
    {
        int fd = -1;
        quint32 address = 0;  // IPv4, host order
        quint16 port = 0;
    } m_threadSend;
    // Odd while fd stands for a bound socket; each swap moves it on, so a
    // send that overlapped one does not judge the new socket.
    std::atomic<unsigned> m_sendTurn{0};
    std::atomic<int> m_sendError{0};  // errno of the last send; 0: it went out
    std::atomic<quint64> m_packetsSent{0};
    std::atomic<quint64> m_packetsUnsent{0};
    LinkSilence m_silence;
    MeterPacket::Levels m_latest {};
    quint64 m_packetsDecoded = 0;
    bool m_silent = true;
    qint64 m_stoppedSinceMs = -1;  // the last packet before a drop-out; -1: none logged
    // A link that is ready but has heard nothing is told so once it has
    // waited the silence timeout, not at once.
    bool m_silenceTellDue = false;
    bool m_silentTold = true;  // the silence as stateChanged last told it
    bool m_paced = false;
    LinkState m_problem = LinkState::Live;  // set up problems; Live when none
    QString m_problemWhere;
    QString m_problemReason;
    LinkState m_state = LinkState::PortClosed;
    bool m_stateKnown = false;  // false until the first rebuild has told it
    bool m_rebuilding = false;  // the state waits until the whole link is set up
    QString m_where;
    QString m_reason;
    QString m_name;
};
