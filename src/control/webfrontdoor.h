#pragma once

#include <QByteArray>
#include <QHash>
#include <QHostAddress>
#include <QTcpServer>

#include <functional>
#include <map>
#include <memory>

class QSocketNotifier;
class QTimer;

// The web remote's listening socket. A new connection's request head (and
// a command's small body) is looked at with MSG_PEEK, nothing taken from
// the socket, until it is whole; then the connection goes on to the
// WebSocket side or to HTTP, each of which reads the request from the
// start. A connection that waits for its head costs a notifier and a timer
// and holds nothing else, so a slow header delays no one.
//
// Lives on the GUI thread.
class WebFrontDoor : public QTcpServer
{
    Q_OBJECT

public:
    static constexpr int kMaxHead = 8192;    // the request line and header lines
    static constexpr int kMaxHeaderLines = 64;  // checkHeaders()' places
    static constexpr int kMaxPending = 256;  // connections waiting for their head, from all addresses

    struct Head
    {
        QByteArray method;
        QByteArray path;  // without the query
        QByteArray origin;  // null when absent
        QByteArray host;
    };

    // `headTimeoutMs`: a request's head (and a command's body) must have
    // come whole this long after the connection was taken, or it is
    // answered 408. `perPeer`: connections one address may have waiting
    // or in HTTP.
    WebFrontDoor(int headTimeoutMs, int perPeer, QObject *parent = nullptr);
    ~WebFrontDoor() override;

    // Called with a whole request that asks for the WebSocket: a status to
    // refuse it with (and the sentence), or 0 to hand it over. The fd is
    // then the callee's.
    std::function<std::pair<int, QByteArray>(const Head &)> socketRefusal;
    std::function<void(qintptr fd, const QHostAddress &peer)> toSocket;
    // Any other request. The fd is the callee's, which reports its end by
    // httpEnded() with the same peer; false: not taken, and closed.
    std::function<bool(qintptr fd, const QHostAddress &peer)> toHttp;

    void httpEnded(const QHostAddress &peer);
    // Connections waiting for their head now.
    int pending() const { return int(m_pending.size()); }

    // Closes the waiting connections and the listening socket.
    void stop();

protected:
    void incomingConnection(qintptr fd) override;

private:
    struct Pending;
    void look(Pending &p);
    void refuse(qintptr fd, int status, const QByteArray &sentence, const QByteArray &extra = {});
    void drop(qintptr fd);
    void release(const QString &peer);

    const int m_headTimeoutMs;
    const int m_perPeer;
    std::map<qintptr, std::unique_ptr<Pending>> m_pending;
    QHash<QString, int> m_perPeerCount;  // waiting or in HTTP, by address
};
