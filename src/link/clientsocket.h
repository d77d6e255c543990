#pragma once

#include <QHostAddress>
#include <QMap>
#include <QObject>
#include <QSet>
#include <QString>
#include <QUdpSocket>

#include "commsettings.h"
#include "datagramfilter.h"
#include "hostlookup.h"
#include "linkcompose.h"
#include "meterpacket.h"

class QElapsedTimer;
class QHostInfo;
class QNetworkInterface;
class QTimer;

// A UDP client's socket, as its settings describe it: bound to
// client_port, joined to client_group on every interface that can take it
// (and again on those that come up later), with the kernel's filter for
// client_host's packets. A client_host that is a name is looked up, and
// again while the link is silent, since the studio PC may have moved. A
// whole packet from another sender is told of, at once and then once a
// minute while such packets come. Made anew for each link.
class ClientSocket : public QObject
{
    Q_OBJECT

public:
    // Sets the client up at once; problem() tells what went wrong. The
    // socket is a child of socketParent, and times are read from clock.
    ClientSocket(const CommSettings &settings, int hostRecheckMs, const HostLookup::Resolver &resolver,
                 const QElapsedTimer &clock, QObject *socketParent, QObject *parent = nullptr);
    ~ClientSocket() override;

    QUdpSocket *socket() const { return m_socket; }
    // The port and the group could be used, so the socket was bound or tried.
    bool listens() const { return m_listens; }
    bool isBound() const { return m_socket->state() == QAbstractSocket::BoundState; }

    // Reads what the socket holds, at most maxDatagrams, and hands each
    // accepted packet to sink(const MeterPacket::Bytes &). Returns how many
    // it handed on. The first read happens even if nothing shows as
    // pending: only a read tells the socket its readyRead was answered, and
    // an unanswered one leaves it silent for good.
    template<class Sink>
    int readDatagrams(int maxDatagrams, Sink &&sink);

    // What setting up found; Live when all is well.
    const LinkReport &problem() const { return m_problem; }
    // Why client_host did not resolve; empty when it did or is no name.
    const QString &hostProblem() const { return m_hostProblem; }
    // What the tooltip adds to Live or Silent: groups not joined, and a
    // wrong sender.
    QString notes() const;
    const QSet<int> &joinedInterfaces() const { return m_joined; }
    bool isLookingUp() const { return m_hostLookup->isRunning(); }

    // The link's silence, which a resolved name's recheck waits for.
    void setSilent(bool silent) { m_silent = silent; }
    void setHostRecheckInterval(int milliseconds) { m_hostRecheckMs = milliseconds; }
    void setHostResolver(HostLookup::Resolver resolver) { m_hostLookup->setResolver(std::move(resolver)); }

    static constexpr int kLookupRetryMs = 10000;
    static constexpr int kWrongSenderNoticeMs = 60000;
    static constexpr int kRejoinMs = 5000;

signals:
    // The problem or the notes changed.
    void changed();

private:
    void setUp(const CommSettings &settings);
    bool bind(quint16 port);
    void filterInKernel();
    void joinGroup();
    bool joinGroupOn(const QNetworkInterface &interface, QString *error);
    void lookUp();
    void lookupTimerFired();
    void lookedUp(const QHostInfo &info);
    void wrongSenderSeen(const QHostAddress &sender);
    void tellWrongSender();

    const QElapsedTimer &m_clock;
    QString m_host;  // client_host as typed
    QUdpSocket *m_socket;
    DatagramFilter m_filter;
    bool m_listens = false;
    LinkReport m_problem;
    bool m_silent = true;
    // The group, the interfaces joined on, and those it could not be joined
    // on: index -> "name: reason".
    QHostAddress m_group;  // null when none
    QSet<int> m_joined;
    QMap<int, QString> m_joinFailures;
    QTimer *m_rejoinTimer;
    QString m_kernelFilterProblem;  // told once per link
    HostLookup *m_hostLookup;
    QTimer *m_lookupTimer;
    int m_hostRecheckMs;
    bool m_hostResolved = false;  // the last look-up found addresses
    QString m_hostProblem;
    QString m_hostAddresses;      // what client_host resolved to, as text
    // A sender other than client_host: the latest seen, when, and the
    // notice in force (empty when none).
    QTimer *m_wrongSenderTimer;
    QString m_wrongSender;
    qint64 m_wrongSenderSeenAt = -1;
    qint64 m_wrongSenderToldAt = -1;
    QString m_wrongSenderNotice;
};

template<class Sink>
int ClientSocket::readDatagrams(int maxDatagrams, Sink &&sink)
{
    int accepted = 0;
    for (int handled = 0; handled < maxDatagrams; ++handled) {
        if (handled > 0 && !m_socket->hasPendingDatagrams())
            break;
        // Read at most one packet's worth: a longer datagram is cut and
        // dropped by the size check, so no buffer is sized from the wire.
        const qint64 size = m_socket->pendingDatagramSize();
        MeterPacket::Bytes buffer;
        QHostAddress sender;
        const qint64 got = m_socket->readDatagram(reinterpret_cast<char *>(buffer.data()), qint64(buffer.size()), &sender);
        if (got != qint64(MeterPacket::kSize))
            continue;
        if (m_filter.accepts(reinterpret_cast<const char *>(buffer.data()), size, sender)) {
            sink(buffer);
            ++accepted;
        } else if (size == got && MeterPacket::hasMarks(buffer.data())) {
            wrongSenderSeen(sender);
        }
    }
    return accepted;
}
