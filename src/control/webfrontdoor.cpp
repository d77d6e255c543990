#include "webfrontdoor.h"

#include "webrequest.h"

#include <QSocketNotifier>
#include <QTimer>

#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

namespace {

// The peer as one key for its IPv4 and its IPv4-mapped IPv6 form.
QHostAddress peerOf(qintptr fd)
{
    sockaddr_storage from{};
    socklen_t size = sizeof from;
    if (::getpeername(int(fd), reinterpret_cast<sockaddr *>(&from), &size) != 0)
        return {};
    QHostAddress a(reinterpret_cast<const sockaddr *>(&from));
    bool v4 = false;
    const quint32 ip = a.toIPv4Address(&v4);
    return v4 ? QHostAddress(ip) : a;
}

// Takes what the peer sent so far, so that a close sends FIN rather than
// RST and the answer is not lost with it.
void drain(qintptr fd)
{
    char sink[4096];
    for (int i = 0; i < 16 && ::recv(int(fd), sink, sizeof sink, MSG_DONTWAIT) > 0; ++i) {
    }
}

// True once the peer has ended its side: a head that is not whole by then
// never will be. A peek still finds what it sent, and the socket stays
// readable, so without this the wait would spin until its deadline.
bool peerEnded(qintptr fd)
{
    pollfd p{int(fd), POLLRDHUP, 0};
    return ::poll(&p, 1, 0) > 0 && (p.revents & (POLLRDHUP | POLLHUP | POLLERR)) != 0;
}

void setLowWater(qintptr fd, int bytes)
{
    (void)::setsockopt(int(fd), SOL_SOCKET, SO_RCVLOWAT, &bytes, sizeof bytes);
}

}  // namespace

struct WebFrontDoor::Pending
{
    qintptr fd = -1;
    QHostAddress peer;
    QString peerKey;
    std::unique_ptr<QSocketNotifier> notifier;
    std::unique_ptr<QTimer> deadline;
    bool counted = true;  // for its address
};

WebFrontDoor::WebFrontDoor(int headTimeoutMs, int perPeer, QObject *parent)
    : QTcpServer(parent)
    , m_headTimeoutMs(headTimeoutMs)
    , m_perPeer(perPeer)
{
}

WebFrontDoor::~WebFrontDoor() { stop(); }

void WebFrontDoor::stop()
{
    close();
    while (!m_pending.empty()) {
        const qintptr fd = m_pending.begin()->first;
        drop(fd);
        ::close(int(fd));
    }
}

void WebFrontDoor::incomingConnection(qintptr fd)
{
    const QHostAddress peer = peerOf(fd);
    const QString key = peer.toString();
    if (int(m_pending.size()) >= kMaxPending) {
        refuse(fd, 503, "this display has too many connections waiting for their request; try again later",
               "Retry-After: 1\r\n");
        return;
    }
    int &count = m_perPeerCount[key];
    if (count >= m_perPeer) {
        if (count == 0)
            m_perPeerCount.remove(key);
        refuse(fd, 429,
               "this display serves " + QByteArray::number(m_perPeer)
                   + " requests at a time from one address; try again when one is answered",
               "Retry-After: 1\r\n");
        return;
    }
    ++count;
    auto p = std::make_unique<Pending>();
    p->fd = fd;
    p->peer = peer;
    p->peerKey = key;
    p->notifier = std::make_unique<QSocketNotifier>(fd, QSocketNotifier::Read);
    p->deadline = std::make_unique<QTimer>();
    p->deadline->setSingleShot(true);
    Pending *raw = p.get();
    connect(p->notifier.get(), &QSocketNotifier::activated, this, [this, raw] { look(*raw); });
    connect(p->deadline.get(), &QTimer::timeout, this, [this, fd] {
        drop(fd);
        refuse(fd, 408, WebRequest::lateError(m_headTimeoutMs));
    });
    p->deadline->start(m_headTimeoutMs);
    m_pending.emplace(fd, std::move(p));
    look(*raw);
}

void WebFrontDoor::look(Pending &p)
{
    const qintptr fd = p.fd;
    // The head, and for a command its body of at most kMaxBody bytes.
    QByteArray seen(kMaxHead + WebRequest::kMaxBody, Qt::Uninitialized);
    const ssize_t n = ::recv(int(fd), seen.data(), size_t(seen.size()), MSG_PEEK | MSG_DONTWAIT);
    if (n == 0 || (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)) {
        drop(fd);  // gone before its request came whole
        ::close(int(fd));
        return;
    }
    if (n < 0)
        return;
    seen.truncate(int(n));
    const int end = seen.indexOf("\r\n\r\n");
    if (end < 0 || end + 4 > kMaxHead) {
        if (seen.size() >= kMaxHead) {
            drop(fd);
            refuse(fd, 431, "the request's header is larger than " + QByteArray::number(kMaxHead) + " bytes");
            return;
        }
        if (peerEnded(fd)) {
            drop(fd);
            ::close(int(fd));
            return;
        }
        // Woken again only when more came: a slow sender costs no spin.
        setLowWater(fd, int(n) + 1);
        return;
    }

    const QList<QByteArray> lines = seen.left(end).split('\n');
    const QList<QByteArray> request = lines.value(0).trimmed().split(' ');
    Head head;
    head.method = request.value(0);
    const QByteArray target = request.value(1);
    const int query = target.indexOf('?');
    head.path = query < 0 ? target : target.left(query);
    QList<QByteArray> names;
    qint64 length = -1;
    bool chunked = false;
    for (int i = 1; i < lines.size(); ++i) {
        const QByteArray &line = lines[i];
        const int colon = line.indexOf(':');
        const QByteArray name = (colon < 0 ? line : line.left(colon)).trimmed();
        const QByteArray value = colon < 0 ? QByteArray() : line.mid(colon + 1).trimmed();
        names.append(name);
        if (qstricmp(name.constData(), "Origin") == 0)
            head.origin = value.isNull() ? QByteArray("") : value;
        else if (qstricmp(name.constData(), "Host") == 0)
            head.host = value;
        else if (qstricmp(name.constData(), "Content-Length") == 0) {
            bool ok = false;
            length = value.toLongLong(&ok);
            if (!ok)
                length = -1;
        } else if (qstricmp(name.constData(), "Transfer-Encoding") == 0)
            chunked = true;
    }
    const WebRequest::HeaderCheck check = WebRequest::checkHeaders(names, kMaxHeaderLines);
    if (check.status) {
        drop(fd);
        refuse(fd, check.status, check.error);
        return;
    }
    // A body that HTTP takes must be here too, so it is held to the same
    // deadline; one that is too long, or comes in chunks, HTTP refuses at once.
    if (!chunked && length > 0 && length <= WebRequest::kMaxBody && seen.size() < end + 4 + length) {
        if (peerEnded(fd)) {
            drop(fd);
            ::close(int(fd));
            return;
        }
        setLowWater(fd, int(seen.size()) + 1);
        return;
    }
    setLowWater(fd, 1);

    const QHostAddress peer = p.peer;
    const QString key = p.peerKey;
    const bool socket = WebRequest::route(head.method, head.path).kind == WebRequest::Route::Socket;
    if (socket) {
        const std::pair<int, QByteArray> refusal = socketRefusal ? socketRefusal(head) : std::make_pair(503, QByteArray("no WebSocket here"));
        if (refusal.first) {
            drop(fd);
            refuse(fd, refusal.first, refusal.second);
            return;
        }
        drop(fd);  // the fd is the WebSocket side's now, and not counted here
        toSocket(fd, peer);
        return;
    }
    // Still counted for its address until HTTP reports its end.
    p.counted = false;
    drop(fd);
    if (!toHttp || !toHttp(fd, peer))
        release(key);
}

void WebFrontDoor::refuse(qintptr fd, int status, const QByteArray &sentence, const QByteArray &extra)
{
    drain(fd);
    const QByteArray answer = WebRequest::refusalAnswer(status, sentence, extra);
    // A new socket's buffer takes the few hundred bytes at once; what does
    // not fit is not waited for.
    (void)::send(int(fd), answer.constData(), size_t(answer.size()), MSG_DONTWAIT | MSG_NOSIGNAL);
    ::close(int(fd));
}

// Ends the wait for fd's head and its count for the address; the fd stays
// open. The notifier and the timer go later, as this may run in their own
// signal.
void WebFrontDoor::drop(qintptr fd)
{
    const auto it = m_pending.find(fd);
    if (it == m_pending.end())
        return;
    Pending &p = *it->second;
    p.notifier->setEnabled(false);
    p.notifier.release()->deleteLater();
    p.deadline->stop();
    p.deadline.release()->deleteLater();
    if (p.counted)
        release(p.peerKey);
    m_pending.erase(it);
}

void WebFrontDoor::release(const QString &peer)
{
    const auto it = m_perPeerCount.find(peer);
    if (it != m_perPeerCount.end() && --*it <= 0)
        m_perPeerCount.erase(it);
}

void WebFrontDoor::httpEnded(const QHostAddress &peer)
{
    bool v4 = false;
    const quint32 ip = peer.toIPv4Address(&v4);
    release((v4 ? QHostAddress(ip) : peer).toString());
}
