#pragma once

#include <QHostAddress>
#include <QObject>
#include <QString>

#include "addresswatch.h"
#include "commsettings.h"
#include "linkcompose.h"
#include "serversender.h"

class QElapsedTimer;
class QTimer;
class ThreadWake;

// A UDP server, as its settings describe it: where it sends from and to,
// its sender, and the watch on its address. An address that is not on this
// PC (yet, or any more) is checked every few seconds, the socket let go
// while it is missing and bound again once it is back; one that is there
// may still go (a new lease, a cable moved to another network), so it is
// watched too, and "any" only until bound. Made anew for each link.
class ServerLink : public QObject
{
    Q_OBJECT

public:
    // Sets the server up at once; problem() tells what went wrong. Sockets
    // are children of socketParent, and times are read from clock.
    ServerLink(const CommSettings &settings, int addressCheckMs, const QElapsedTimer &clock,
               QObject *socketParent, QObject *parent = nullptr);
    ~ServerLink() override;

    // How often the address is checked.
    void setAddressCheckInterval(int milliseconds);

    // Set while packets may be sent: the sender had a descriptor to aim.
    ServerSender *sender() { return m_sends ? &m_sender : nullptr; }
    // Packets sent, and not sent, by this server.
    quint64 sent() const { return m_sender.sent(); }
    quint64 unsent() const { return m_sender.unsent(); }
    QUdpSocket *socket() const { return m_sender.socket(); }

    // What setting up or binding found; Live when all is well.
    const LinkReport &problem() const { return m_problem; }
    QHostAddress destination() const { return m_destination; }
    // The destination and port as shown, and why sends fail (empty while
    // they work).
    const QString &sendWhere() const { return m_sendWhere; }
    const QString &sendProblem() const { return m_sendProblem; }
    // Sending from a loopback address: only this PC hears it.
    bool sendsFromLoopback() const { return m_sends && m_local.isLoopback(); }

signals:
    // The problem, or the sends' state, changed.
    void changed();

private:
    void setUp(const CommSettings &settings);
    void setProblem(LinkState state, const QString &where, const QString &reason);
    QString place() const;
    bool bind();
    bool addressPresent(QString *why) const;
    void checkAddress();
    void sendStateChanged();

    const QElapsedTimer &m_clock;
    QString m_host;          // server_host as typed
    ThreadWake *m_sendWake;  // the reader thread's word that sends began or stopped failing
    ServerSender m_sender;
    QTimer *m_addressTimer;
    AddressWatch m_addressWatch;
    bool m_sends = false;
    QHostAddress m_local;    // the address sent from
    quint16 m_from = 0;      // and its port; 0: any
    int m_multicastTtl = 0;  // 0: not sending to a group
    QHostAddress m_destination;
    QString m_sendWhere;
    QString m_sendProblem;
    LinkReport m_problem;
};
