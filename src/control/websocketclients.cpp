#include "websocketclients.h"

#include "controllogging.h"

#include <QTcpSocket>
#include <QTimer>
#include <QWebSocket>
#include <QWebSocketServer>

#include <algorithm>

#include <unistd.h>

struct WebSocketClients::Client
{
    QWebSocket *ws = nullptr;  // deleted later, once dropped
    QTimer *idle = nullptr;    // a child of ws
    QHostAddress peer;
    bool spoke = false;  // the token may only be the first message
    bool authorised = false;
    bool levels = false;
    QByteArray stateSent;  // shared with m_state, not copied
};

WebSocketClients::WebSocketClients(WebRequest::Runner runner, QByteArray token, int idleTimeoutMs, QObject *parent)
    : QObject(parent)
    , m_runner(std::move(runner))
    , m_token(std::move(token))
    , m_idleTimeoutMs(idleTimeoutMs)
    , m_server(new QWebSocketServer(QStringLiteral("Lumora Meters"), QWebSocketServer::NonSecureMode, this))
    , m_pushTimer(new QTimer(this))
    , m_levelsTimer(new QTimer(this))
{
    // The front door took the whole upgrade request before handing it on.
    m_server->setHandshakeTimeout(5000);
    connect(m_server, &QWebSocketServer::newConnection, this, &WebSocketClients::connected);
    m_pushTimer->setSingleShot(true);
    connect(m_pushTimer, &QTimer::timeout, this, &WebSocketClients::push);
    m_levelsTimer->setInterval(kPushIntervalMs);
    m_levelsTimer->setTimerType(Qt::PreciseTimer);
    connect(m_levelsTimer, &QTimer::timeout, this, &WebSocketClients::sampleLevels);
}

WebSocketClients::~WebSocketClients() { stop(); }

bool WebSocketClients::full() const
{
    const auto handshaking = std::count_if(m_handshakes.begin(), m_handshakes.end(), [](const QPointer<QTcpSocket> &s) {
        return s && s->state() == QAbstractSocket::ConnectedState;
    });
    return int(m_clients.size() + size_t(handshaking)) >= kMaxClients;
}

void WebSocketClients::take(qintptr fd, const QHostAddress &)
{
    auto *socket = new QTcpSocket(this);
    if (!socket->setSocketDescriptor(fd)) {
        ::close(int(fd));
        delete socket;
        return;
    }
    socket->setReadBufferSize(kReadBuffer);
    m_handshakes.removeAll(nullptr);
    m_handshakes.append(socket);
    // A failed handshake leaves the socket to us.
    connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
    m_server->handleConnection(socket);
}

void WebSocketClients::connected()
{
    while (QWebSocket *ws = m_server->nextPendingConnection()) {
        // Its socket is no longer handshaking.
        m_handshakes.erase(std::remove_if(m_handshakes.begin(), m_handshakes.end(),
                                          [ws](const QPointer<QTcpSocket> &s) {
                                              return !s || (s->peerPort() == ws->peerPort()
                                                            && s->peerAddress() == ws->peerAddress());
                                          }),
                           m_handshakes.end());
        auto c = std::make_unique<Client>();
        Client *raw = c.get();
        c->ws = ws;
        ws->setParent(this);
        bool v4 = false;
        const quint32 ip = ws->peerAddress().toIPv4Address(&v4);
        c->peer = v4 ? QHostAddress(ip) : ws->peerAddress();
        ws->setMaxAllowedIncomingFrameSize(kMaxMessage);
        ws->setMaxAllowedIncomingMessageSize(kMaxMessage);
        ws->setReadBufferSize(kReadBuffer);
        c->idle = new QTimer(ws);
        c->idle->setSingleShot(true);
        c->idle->start(m_idleTimeoutMs);
        // Silence ends the connection whatever the client does; a close
        // frame it would not answer holds nothing either.
        connect(c->idle, &QTimer::timeout, ws, &QWebSocket::abort);
        const auto heard = [raw] { raw->idle->start(); };
        connect(ws, &QWebSocket::textFrameReceived, this, heard);
        connect(ws, &QWebSocket::binaryFrameReceived, this, heard);
        connect(ws, &QWebSocket::pong, this, heard);
        connect(ws, &QWebSocket::textMessageReceived, this, [this, raw](const QString &text) { message(*raw, text); });
        connect(ws, &QWebSocket::binaryMessageReceived, this, [this, raw, ws] {
            const QPointer<QWebSocket> alive(ws);
            reply(*raw, "ERR only whole text messages are understood");
            if (alive)
                ws->abort();
        });
        // A frame or message over the limits, or a close from either side:
        // the connection ends now, not when the client agrees.
        connect(ws, &QWebSocket::aboutToClose, this, [ws] {
            ws->flush();
            QTimer::singleShot(0, ws, &QWebSocket::abort);
        });
        connect(ws, QOverload<QAbstractSocket::SocketError>::of(&QWebSocket::error), ws, &QWebSocket::abort);
        connect(ws, &QWebSocket::disconnected, this, [this, raw] { drop(*raw); });
        m_clients.push_back(std::move(c));
        raw->stateSent = m_state;
        write(*raw, m_state);
    }
}

void WebSocketClients::message(Client &c, const QString &text)
{
    const WebRequest::SocketMessage m = WebRequest::parseSocketMessage(text.toUtf8());
    const bool first = !c.spoke;
    c.spoke = true;
    using Kind = WebRequest::SocketMessage::Kind;
    switch (m.kind) {
    case Kind::Command:
        reply(c, m_runner(m.value, c.peer, c.authorised).text);
        return;
    case Kind::Token:
        if (!first) {
            reply(c, "ERR the token must be the first message");
            return;
        }
        if (!WebRequest::tokenMatches(m.value, m_token)) {
            // One guess per connection.
            const QPointer<QWebSocket> ws(c.ws);
            reply(c, m_token.isEmpty() ? "ERR this display has no token set" : "ERR the token is not this display's");
            if (ws)
                ws->close(QWebSocketProtocol::CloseCodePolicyViolated, QStringLiteral("wrong token"));
            return;
        }
        c.authorised = true;
        reply(c, "OK");
        return;
    case Kind::Subscribe:
    case Kind::Unsubscribe:
        setLevels(c, m.kind == Kind::Subscribe);
        return;
    case Kind::Ping:
        return;
    case Kind::Invalid:
        break;
    }
    reply(c, "ERR " + m.error);
}

void WebSocketClients::reply(Client &c, const QByteArray &line) { write(c, WebRequest::replyMessage(line)); }

void WebSocketClients::write(Client &c, const QByteArray &message)
{
    if (c.ws->state() != QAbstractSocket::ConnectedState)
        return;
    // A client that stopped reading is cut off before its backlog grows.
    if (c.ws->bytesToWrite() > kMaxBacklog) {
        c.ws->abort();
        return;
    }
    c.ws->sendTextMessage(QString::fromUtf8(message));
}

void WebSocketClients::drop(Client &c)
{
    setLevels(c, false);
    const auto it = std::find_if(m_clients.begin(), m_clients.end(), [&c](const auto &p) { return p.get() == &c; });
    if (it == m_clients.end())
        return;
    std::unique_ptr<Client> gone = std::move(*it);
    m_clients.erase(it);
    gone->ws->disconnect(this);
    gone->idle->stop();
    gone->ws->deleteLater();
}

void WebSocketClients::setLevels(Client &c, bool on)
{
    if (c.levels == on)
        return;
    c.levels = on;
    m_levelClients += on ? 1 : -1;
    if (m_levelClients > 0 && !m_levelsTimer->isActive())
        m_levelsTimer->start();
    else if (m_levelClients == 0)
        m_levelsTimer->stop();
}

void WebSocketClients::setState(const QByteArray &statusJson)
{
    if (statusJson == m_state)
        return;
    m_state = statusJson;
    if (m_pushTimer->isActive())
        return;  // merged into the push that is due
    const qint64 since = m_lastPush.isValid() ? m_lastPush.elapsed() : kPushIntervalMs;
    m_pushTimer->start(int(qMax<qint64>(0, kPushIntervalMs - since)));
}

void WebSocketClients::push()
{
    m_lastPush.start();
    // A write may drop a client; the list is walked by index.
    for (size_t i = 0; i < m_clients.size(); ++i) {
        Client &c = *m_clients[i];
        if (c.stateSent == m_state)
            continue;  // it has this one from its connect
        c.stateSent = m_state;
        write(c, m_state);
    }
}

void WebSocketClients::sampleLevels()
{
    if (!m_levelsSource)
        return;
    const QByteArray levels = WebRequest::levelsMessage(m_levelsSource());
    for (size_t i = 0; i < m_clients.size(); ++i)
        if (m_clients[i]->levels)
            write(*m_clients[i], levels);
}

void WebSocketClients::stop()
{
    m_pushTimer->stop();
    m_levelsTimer->stop();
    m_server->close();
    for (const QPointer<QTcpSocket> &s : m_handshakes)
        if (s)
            s->abort();
    m_handshakes.clear();
    std::vector<std::unique_ptr<Client>> clients = std::move(m_clients);
    m_clients.clear();
    m_levelClients = 0;
    for (const auto &c : clients) {
        c->ws->disconnect(this);
        // The close frame goes out if the client's buffer has room; the
        // connection ends either way.
        c->ws->close(QWebSocketProtocol::CloseCodeGoingAway, QStringLiteral("the display is stopping"));
        c->ws->flush();
        c->ws->abort();
        c->ws->deleteLater();
    }
}
