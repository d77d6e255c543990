#pragma once

#include <QByteArray>
#include <QElapsedTimer>
#include <QHostAddress>
#include <QList>
#include <QObject>
#include <QTimer>

#include "controlaccess.h"

#include "controlsettings.h"

class ControlCenter;
class QUdpSocket;

// The control channel's UDP side: text lines and OSC on control_port at
// control_bind, each command run by the centre and answered to its sender.
// On the GUI thread, like the centre. The traffic is a few datagrams a
// minute; a flood is read a bounded batch per turn of the event loop, so
// the clocks and the meters keep their turns.
class ControlListener : public QObject
{
    Q_OBJECT

public:
    static constexpr int kMaxDatagramsPerTurn = 64;

    explicit ControlListener(ControlCenter *center, QObject *parent = nullptr);

    static constexpr int kRetryMs = 5000;

    // Closes the socket and opens it again for these settings. A port that
    // cannot be bound is warned about once, and the display runs on without
    // the channel; an address that is not on this PC (yet) is tried again
    // every kRetryMs. Port 0 turns it off. True while listening.
    bool listen(const ControlSettings &settings);
    bool isListening() const;
    quint16 port() const;

    // "listening", "waiting" (for control_bind to come) or "off", and why.
    enum class State { Off, Waiting, Listening };
    State state() const { return m_state; }
    QString stateWord() const;
    QString reason() const { return m_reason; }

    // Answers not sent to senders outside control_allow, to keep what goes
    // back to a forgeable source within what it sent; for /metrics.
    quint64 repliesDropped() const { return m_repliesDropped; }

    // Sent instead of the state to a sender outside control_allow: the state
    // is many times a request's size, and TCP cannot be forged.
    static constexpr const char *kStatusOverTcp = "ERR use GET /api/status";

signals:
    void stateChanged();

private:
    bool bindNow();
    void setState(State state, const QString &reason);
    void readDatagrams();
    void handle(const QByteArray &datagram, const QHostAddress &sender, quint16 senderPort);
    void reply(const QByteArray &bytes, const QHostAddress &to, quint16 port);

    void fitBudget(QList<QByteArray> &answers, bool osc, bool bundle, const QHostAddress &sender);

    ControlCenter *m_center;
    QUdpSocket *m_socket = nullptr;
    ControlSettings m_settings;
    QTimer m_retry;
    State m_state = State::Off;
    QString m_reason;
    QString m_lastBindProblem;  // so a repeated failure is told once
    QElapsedTimer m_clock;
    ReplyBudget m_budget;
    quint64 m_repliesDropped = 0;
    // Failing replies are told at most once a minute, with how many failed.
    bool m_sendFailing = false;
    bool m_failureTold = false;
    qint64 m_failureToldMs = 0;
    quint64 m_failedReplies = 0;
};

// True when `bind` is a loopback address (127.0.0.0/8 or ::1).
bool isLoopbackBind(const QString &bind);
