#pragma once

#include <QByteArray>
#include <QElapsedTimer>
#include <QHostAddress>
#include <QObject>

#include <array>
#include <functional>
#include <memory>

#include "webrequest.h"

class QTimer;

// The web remote on TCP control_port: the page, the state as JSON, commands
// by POST, a live WebSocket and the monitoring's metrics. CivetWeb serves it
// on threads of its own; they never touch the display. Commands go to the GUI
// thread through a GuiHandoff, and the state is read from a copy that the GUI
// thread keeps up to date (setState, and the levels and counters sampled
// from their sources).
//
// Lives on the GUI thread.
class WebRemote : public QObject
{
    Q_OBJECT

public:
    // Runs one command line on the GUI thread. `authorised`: the client
    // showed the token.
    using Runner = std::function<WebRequest::CommandResult(const QByteArray &line, const QHostAddress &sender,
                                                           bool authorised)>;

    static constexpr int kMaxSocketClients = 8;
    static constexpr int kMaxConnections = 32;
    static constexpr int kIdleTimeoutMs = 10000;
    // A request's header and body must have come this long after a server
    // thread took its connection, or it is answered 408 and closed.
    static constexpr int kRequestTimeoutMs = 5000;
    // Requests that one address may have in the server's threads at a time.
    // The page loads nothing beside itself, and Companion or a script sends
    // one command after the other, so a real client has one or two; four
    // leave room for clicks in a row. One address then holds at most 4 of
    // the kMaxConnections threads (and its live WebSocket clients, which
    // kMaxSocketClients bounds for all), so a client that sends slowly
    // cannot keep the page and /api/status from the others.
    static constexpr int kMaxRequestsPerPeer = 4;
    static constexpr int kPushIntervalMs = 100;  // state pushes and levels: 10 a second at most

    explicit WebRemote(Runner runner, QObject *parent = nullptr);
    ~WebRemote() override;

    // Listens on bind:port (port 0: any free one, for tests). An empty token
    // means writes come only from allowed senders. False, after one warning
    // that names control_port, when the port cannot be had.
    bool start(const QHostAddress &bind, quint16 port, const QByteArray &token);
    void stop();
    bool isListening() const;
    quint16 port() const;
    QByteArray token() const { return m_token; }

    // The state as the status command gives it; pushed to the WebSocket
    // clients when it changed.
    void setState(const QByteArray &statusJson);
    // Sampled 10 times a second while a client has subscribed to levels.
    void setLevelsSource(std::function<std::array<float, 6>()> levelsDb);
    // Sampled once a second while listening, for /metrics.
    void setCountersSource(std::function<WebRequest::Counters()> counters);

    // WebSocket clients connected now.
    int socketClients() const;

    // How long a WebSocket client may stay silent; taken at start(). For
    // tests: the display keeps kIdleTimeoutMs.
    void setIdleTimeoutMs(int ms) { m_idleTimeoutMs = ms; }
    // The same for kRequestTimeoutMs.
    void setRequestTimeoutMs(int ms) { m_requestTimeoutMs = ms; }

private slots:
    // A client subscribed to the levels, or the last one left.
    void levelsWanted();

private:
    void sampleLevels();
    void sampleCounters();

    struct Server;
    Runner m_runner;
    std::unique_ptr<Server> m_server;
    std::function<std::array<float, 6>()> m_levelsSource;
    std::function<WebRequest::Counters()> m_countersSource;
    QTimer *m_levelsTimer;
    QTimer *m_countersTimer;
    QElapsedTimer m_started;
    QByteArray m_state;
    QByteArray m_token;
    int m_idleTimeoutMs = kIdleTimeoutMs;
    int m_requestTimeoutMs = kRequestTimeoutMs;
};
