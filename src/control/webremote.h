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
class WebFrontDoor;
class WebHttp;
class WebSocketClients;

// The web remote on TCP control_port: the page, the state as JSON, commands
// by POST, a live WebSocket and the monitoring's metrics. All of it runs on
// the GUI thread's event loop, with no thread of its own: a front door that
// looks at each request's head and routes it, libmicrohttpd for HTTP and Qt
// WebSockets for /ws. Starting and stopping wait for no client.
//
// Lives on the GUI thread.
class WebRemote : public QObject
{
    Q_OBJECT

public:
    using Runner = WebRequest::Runner;

    static constexpr int kMaxSocketClients = 8;
    // A WebSocket client silent this long is cut off.
    static constexpr int kIdleTimeoutMs = 15000;
    // A request's head (and a command's body) must have come this long
    // after the connection was taken, or it is answered 408 and closed.
    static constexpr int kRequestTimeoutMs = 5000;
    // Connections that one address may have waiting for their request or in
    // HTTP at a time. The page loads only its meters' scale beside itself,
    // and Companion or a script sends one command after the other, so a real
    // client has one or two; four leave room for clicks in a row.
    static constexpr int kMaxRequestsPerPeer = 4;
    static constexpr int kPushIntervalMs = 100;  // state pushes and levels: 10 a second at most

    explicit WebRemote(Runner runner, QObject *parent = nullptr);
    ~WebRemote() override;

    // Listens on bind:port (port 0: any free one, for tests). An empty token
    // means writes come only from allowed senders. False, after one warning
    // that names control_port, when the port cannot be had.
    bool start(const QHostAddress &bind, quint16 port, const QByteArray &token);
    // Ends every connection at once; WebSocket clients are told 1001 when
    // their buffer takes it.
    void stop();
    bool isListening() const;
    quint16 port() const;
    QByteArray token() const { return m_token; }

    // The state as the status command gives it; pushed to the WebSocket
    // clients when it changed.
    void setState(const QByteArray &statusJson);
    // The state as it is now, for GET /api/status and /metrics; without it
    // they give the last setState().
    void setStateSource(std::function<QByteArray()> statusJson);
    // Sampled 10 times a second while a client has subscribed to levels.
    void setLevelsSource(std::function<std::array<float, 6>()> levelsDb);
    // How the wall's meters draw a level, as GET /api/scale gives it to the
    // page: the range, dB to fraction of the bar's length, the 0 dB point
    // and the colours. Empty: not known (503).
    void setMeterScale(const QByteArray &json) { m_scale = json; }
    // Sampled once a second while listening, for /metrics.
    void setCountersSource(std::function<WebRequest::Counters()> counters);

    // WebSocket clients connected now.
    int socketClients() const;

    // How long a WebSocket client may stay silent; taken at start(). For
    // tests: the display keeps kIdleTimeoutMs.
    void setIdleTimeoutMs(int ms) { m_idleTimeoutMs = ms; }
    // The same for kRequestTimeoutMs.
    void setRequestTimeoutMs(int ms) { m_requestTimeoutMs = ms; }

private:
    QByteArray stateNow() const;
    QByteArray metricsNow() const;
    void sampleCounters();

    Runner m_runner;
    std::unique_ptr<WebFrontDoor> m_door;
    std::unique_ptr<WebHttp> m_http;
    std::unique_ptr<WebSocketClients> m_sockets;
    std::function<QByteArray()> m_stateSource;
    std::function<std::array<float, 6>()> m_levelsSource;
    std::function<WebRequest::Counters()> m_countersSource;
    WebRequest::Counters m_counters;
    QTimer *m_countersTimer;
    QElapsedTimer m_started;
    QByteArray m_state;
    QByteArray m_scale;
    QByteArray m_token;
    int m_idleTimeoutMs = kIdleTimeoutMs;
    int m_requestTimeoutMs = kRequestTimeoutMs;
};
