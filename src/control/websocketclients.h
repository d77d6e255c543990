#pragma once

#include <QByteArray>
#include <QElapsedTimer>
#include <QHostAddress>
#include <QList>
#include <QObject>
#include <QPointer>

#include <array>
#include <functional>
#include <memory>

#include "webrequest.h"

class QTcpSocket;
class QTimer;
class QWebSocket;
class QWebSocketServer;

// The web remote's live clients on /ws: the state at connect and on each
// change (10 pushes a second at most), the levels to those that subscribed,
// commands run at once on this thread. Qt WebSockets reads the frames,
// within small limits, so a client costs a bounded few kilobytes whatever
// it sends; a silent one, or one that stops reading, is cut off.
//
// Lives on the GUI thread.
class WebSocketClients : public QObject
{
    Q_OBJECT

public:
    static constexpr int kMaxClients = 8;
    static constexpr int kMaxMessage = WebRequest::kMaxBody;  // a frame, and a whole message
    static constexpr int kReadBuffer = 64 * 1024;  // what Qt takes from a client's socket at most
    static constexpr int kMaxBacklog = 64 * 1024;  // pushes not yet taken by a client, before it is cut off
    static constexpr int kPushIntervalMs = 100;

    WebSocketClients(WebRequest::Runner runner, QByteArray token, int idleTimeoutMs, QObject *parent = nullptr);
    ~WebSocketClients() override;

    // True when all places are taken (or being taken): the next one gets 503.
    bool full() const;
    // Takes a connection whose upgrade request is unread; the fd is ours.
    void take(qintptr fd, const QHostAddress &peer);

    void setState(const QByteArray &statusJson);
    void setLevelsSource(std::function<std::array<float, 6>()> levelsDb) { m_levelsSource = std::move(levelsDb); }

    int count() const { return int(m_clients.size()); }

    // Tells every client that the display goes away (1001) and drops it at
    // once, waiting for nothing.
    void stop();

private:
    struct Client;
    void connected();
    void message(Client &c, const QString &text);
    void reply(Client &c, const QByteArray &line);
    void write(Client &c, const QByteArray &message);
    void drop(Client &c);
    void setLevels(Client &c, bool on);
    void push();
    void sampleLevels();

    WebRequest::Runner m_runner;
    const QByteArray m_token;
    const int m_idleTimeoutMs;
    QWebSocketServer *m_server;
    QList<QPointer<QTcpSocket>> m_handshakes;
    std::vector<std::unique_ptr<Client>> m_clients;
    QByteArray m_state;
    QTimer *m_pushTimer;
    QElapsedTimer m_lastPush;
    QTimer *m_levelsTimer;
    std::function<std::array<float, 6>()> m_levelsSource;
    int m_levelClients = 0;
};
