#include "webremote.h"

#include "controllogging.h"
#include "guihandoff.h"

#include <QFile>
#include <QMetaObject>
#include <QTimer>

#include <algorithm>

#include <civetweb.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <list>
#include <map>
#include <mutex>
#include <string>
#include <system_error>
#include <thread>
#include <vector>


// The page is compiled into this static library; the linker keeps it only
// when something refers to it.
static void initControlResources()
{
    Q_INIT_RESOURCE(control);
}

namespace {

constexpr int kCommandWaitMs = 2000;  // a GUI thread that takes longer is reported as busy
constexpr char kPage[] = ":/control/remote.html";

// Opens and drops a TCP connection to the server's own listening socket, so
// a poll on it returns at once. From the GUI thread, without the event loop.
void knock(const QHostAddress &bind, quint16 port)
{
    const bool v6 = bind.protocol() == QAbstractSocket::IPv6Protocol;
    const int fd = ::socket(v6 ? AF_INET6 : AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return;
    sockaddr_storage to{};
    socklen_t size = 0;
    if (v6) {
        auto *a = reinterpret_cast<sockaddr_in6 *>(&to);
        a->sin6_family = AF_INET6;
        a->sin6_port = htons(port);
        const Q_IPV6ADDR ip = bind == QHostAddress::AnyIPv6 ? QHostAddress(QHostAddress::LocalHostIPv6).toIPv6Address()
                                                             : bind.toIPv6Address();
        std::memcpy(&a->sin6_addr, &ip, sizeof ip);
        size = sizeof *a;
    } else {
        auto *a = reinterpret_cast<sockaddr_in *>(&to);
        a->sin_family = AF_INET;
        a->sin_port = htons(port);
        const quint32 ip = bind == QHostAddress::AnyIPv4 || bind == QHostAddress::Any ? quint32(INADDR_LOOPBACK)
                                                                                        : bind.toIPv4Address();
        a->sin_addr.s_addr = htonl(ip);
        size = sizeof *a;
    }
    // Loopback connects at once; a connect still in progress is dropped,
    // and the next knock tries again. Nothing is sent either way.
    (void)::connect(fd, reinterpret_cast<const sockaddr *>(&to), size);
    ::close(fd);
}

// No other site may frame the page or have it load anything; it needs
// nothing but its own inline style and script and its own WebSocket.
constexpr char kPagePolicy[] =
    "default-src 'none'; style-src 'unsafe-inline'; script-src 'unsafe-inline'; connect-src 'self'; "
    "img-src 'self' data:; base-uri 'none'; form-action 'none'; frame-ancestors 'none'";

QByteArray header(const mg_connection *conn, const char *name)
{
    const char *v = mg_get_header(conn, name);
    return v ? QByteArray(v) : QByteArray();
}

// The server's threads take the state as a copy of their own: a buffer
// shared with the GUI thread would be freed there by Qt's own reference
// count, which ThreadSanitizer cannot see.
QByteArray ownCopy(const QByteArray &shared)
{
    return QByteArray(shared.constData(), shared.size());
}

// The Date header, made here: CivetWeb would make it with gmtime(), whose
// one buffer its threads share.
QByteArray httpDate()
{
    static const char days[7][4] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
    static const char months[12][4] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                       "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    const std::time_t now = std::time(nullptr);
    std::tm t{};
    gmtime_r(&now, &t);
    char text[64];
    std::snprintf(text, sizeof text, "%s, %02d %s %d %02d:%02d:%02d GMT", days[t.tm_wday], t.tm_mday,
                  months[t.tm_mon], t.tm_year + 1900, t.tm_hour, t.tm_min, t.tm_sec);
    return text;
}

void send(mg_connection *conn, int status, const char *type, const QByteArray &body,
          std::initializer_list<std::pair<const char *, const char *>> extra = {})
{
    mg_response_header_start(conn, status);
    mg_response_header_add(conn, "Date", httpDate().constData(), -1);
    mg_response_header_add(conn, "Content-Type", type, -1);
    mg_response_header_add(conn, "Content-Length", QByteArray::number(body.size()).constData(), -1);
    mg_response_header_add(conn, "Cache-Control", "no-store", -1);
    mg_response_header_add(conn, "X-Content-Type-Options", "nosniff", -1);
    for (const auto &h : extra)
        mg_response_header_add(conn, h.first, h.second, -1);
    mg_response_header_send(conn);
    if (!body.isEmpty() && std::strcmp(mg_get_request_info(conn)->request_method, "HEAD") != 0)
        mg_write(conn, body.constData(), size_t(body.size()));
}

void sendJsonError(mg_connection *conn, int status, const QByteArray &sentence,
                   std::initializer_list<std::pair<const char *, const char *>> extra = {})
{
    WebRequest::CommandResult r;
    r.outcome = WebRequest::Outcome::Refused;
    r.text = "ERR " + sentence;
    send(conn, status, "application/json", WebRequest::commandBody(r), extra);
}

// A whole answer as fixed text, after which the connection closes. CivetWeb
// sends no status line for a request that asks for a WebSocket
// (mg_response_header_start and mg_send_http_error give the body alone), nor
// has one been started for a request whose header never came whole.
void sendWhole(mg_connection *conn, int status, const QByteArray &sentence)
{
    const QByteArray body = WebRequest::commandBody({WebRequest::Outcome::Refused, "ERR " + sentence});
    mg_disable_connection_keep_alive(conn);
    mg_printf(conn,
              "HTTP/1.1 %d %s\r\nDate: %s\r\nContent-Type: application/json\r\nContent-Length: %d\r\n"
              "Cache-Control: no-store\r\nX-Content-Type-Options: nosniff\r\nConnection: close\r\n\r\n",
              status, mg_get_response_code_text(conn, status), httpDate().constData(), int(body.size()));
    mg_write(conn, body.constData(), size_t(body.size()));
}

// CivetWeb keeps a pointer for each connection, set in init_connection. Ours
// holds the time a server thread took the connection, in milliseconds cut to
// 32 bits, as a number: CivetWeb clears it before connection_closed, so
// nothing allocated could be freed there. A WebSocket client's connection
// holds its Client from socketConnect() on.
quint32 nowMs()
{
    using namespace std::chrono;
    return quint32(duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count());
}

qint64 connectionAgeMs(const mg_connection *conn)
{
    return quint32(nowMs() - quint32(reinterpret_cast<quintptr>(mg_get_user_connection_data(conn))));
}

}  // namespace

// What CivetWeb's threads share with the GUI thread and the pusher.
struct WebRemote::Server
{
    struct Client
    {
        std::mutex mutex;  // held for each write, and while closing
        mg_connection *conn = nullptr;
        QHostAddress peer;
        bool open = false;  // from the handshake's end to the close
        bool closing = false;  // asked to close for silence
        std::chrono::steady_clock::time_point lastHeard;
        bool spoke = false;  // the token may only be the first message
        bool authorised = false;
        bool levels = false;
        quint64 stateSent = 0;
    };

    explicit Server(WebRemote *owner)
        : owner(owner)
    {
    }

    GuiHandoff handoff;  // on the GUI thread, as the Server is made there
    WebRemote *owner;  // only for queued calls to the GUI thread
    Runner runner;     // runs on the GUI thread only
    QByteArray token;
    QByteArray page;  // read once, before the threads start
    std::chrono::milliseconds idleTimeout{kIdleTimeoutMs};
    int requestTimeoutMs = kRequestTimeoutMs;
    const QElapsedTimer *started = nullptr;
    mg_context *ctx = nullptr;
    QHostAddress bind;
    quint16 port = 0;

    std::mutex mutex;  // everything below
    std::condition_variable wake;
    bool quit = false;
    QByteArray state;
    quint64 stateVersion = 1;
    std::array<float, 6> levels{};
    quint64 levelsVersion = 0;
    WebRequest::Counters counters;
    std::list<std::shared_ptr<Client>> clients;
    int levelClients = 0;
    std::map<std::string, int> peerRequests;  // requests in the server's threads, by address

    std::thread pusher;

    WebRequest::CommandResult runCommand(const QByteArray &line, const QHostAddress &sender, bool authorised)
    {
        WebRequest::CommandResult result;
        const bool ran = handoff.call([&] { result = runner(line, sender, authorised); }, kCommandWaitMs);
        if (!ran)
            result = {WebRequest::Outcome::Unavailable, "ERR the display is not taking commands now"};
        return result;
    }

    static bool write(Client &c, const QByteArray &message)
    {
        // Under c.mutex; the connection is gone once closed.
        if (!c.open)
            return false;
        return mg_websocket_write(c.conn, MG_WEBSOCKET_OPCODE_TEXT, message.constData(), size_t(message.size())) > 0;
    }

    // --- HTTP -------------------------------------------------------------

    // One of an address's kMaxRequestsPerPeer places, held while its request
    // is in a server thread.
    struct PeerSlot
    {
        PeerSlot(Server &server, const char *address)
            : server(server)
            , peer(address)
        {
            std::lock_guard<std::mutex> lock(server.mutex);
            taken = server.peerRequests[peer] < kMaxRequestsPerPeer;
            server.peerRequests[peer] += taken ? 1 : 0;
        }
        ~PeerSlot()
        {
            std::lock_guard<std::mutex> lock(server.mutex);
            if (taken && --server.peerRequests[peer] == 0)
                server.peerRequests.erase(peer);
        }
        Server &server;
        const std::string peer;
        bool taken;
    };

    int request(mg_connection *conn)
    {
        const mg_request_info *ri = mg_get_request_info(conn);
        const QByteArray method(ri->request_method);
        const QByteArray path(ri->local_uri ? ri->local_uri : "");
        const bool get = method == "GET" || method == "HEAD";

        QList<QByteArray> names;
        for (int i = 0; i < ri->num_headers; ++i)
            names.append(QByteArray(ri->http_headers[i].name));
        const WebRequest::HeaderCheck headers = WebRequest::checkHeaders(names, MG_MAX_HEADERS);
        if (headers.status) {
            sendWhole(conn, headers.status, headers.error);
            return headers.status;
        }
        if (path == "/ws") {
            // Refused here, where a refusal can still be a whole HTTP answer;
            // socketConnect() checks again, as a client may come in between.
            if (const int refusal = socketRefusal(conn)) {
                sendWhole(conn, refusal,
                          refusal == 403 ? QByteArray("a page of another site may not connect")
                                         : "this display serves " + QByteArray::number(kMaxSocketClients)
                                               + " live clients at a time; try again later");
                return refusal;
            }
            return 0;  // CivetWeb's WebSocket handshake, then the handlers below
        }
        // Each answer closes its connection, leaving what is left of the body
        // unread: CivetWeb would first read all of it, however slowly it came.
        mg_disable_connection_keep_alive(conn);
        const PeerSlot slot(*this, ri->remote_addr);
        if (!slot.taken) {
            sendJsonError(conn, 429,
                          "this display serves " + QByteArray::number(kMaxRequestsPerPeer)
                              + " requests at a time from one address; try again when one is answered",
                          {{"Retry-After", "1"}});
            return 429;
        }
        if (path == "/api/command") {
            if (method != "POST") {
                sendJsonError(conn, 405, "commands are sent by POST", {{"Allow", "POST"}});
                return 405;
            }
            return command(conn);
        }
        const bool known = path == "/" || path == "/api/status" || path == "/metrics";
        if (!known) {
            sendJsonError(conn, 404, "there is nothing at " + path.left(64));
            return 404;
        }
        if (!get) {
            sendJsonError(conn, 405, path + " is only read, by GET", {{"Allow", "GET, HEAD"}});
            return 405;
        }
        if (path == "/" && page.isEmpty()) {
            sendJsonError(conn, 503, "the page is missing from this build; /api/status and /ws still work");
            return 503;
        }
        if (path == "/") {
            send(conn, 200, "text/html; charset=utf-8", page,
                 {{"Content-Security-Policy", kPagePolicy}, {"Referrer-Policy", "no-referrer"}});
            return 200;
        }
        std::unique_lock<std::mutex> lock(mutex);
        if (path == "/api/status") {
            const QByteArray body = ownCopy(state);
            lock.unlock();
            send(conn, 200, "application/json", body);
            return 200;
        }
        WebRequest::Counters now = counters;
        const QByteArray status = ownCopy(state);
        lock.unlock();
        now.uptimeSeconds = started->elapsed() / 1000.0;
        send(conn, 200, "text/plain; version=0.0.4; charset=utf-8", WebRequest::metricsText(status, now));
        return 200;
    }

    int command(mg_connection *conn)
    {
        const mg_request_info *ri = mg_get_request_info(conn);
        if (!WebRequest::originAllowed(header(conn, "Origin"), header(conn, "Host"))) {
            sendJsonError(conn, 403, "commands from a page of another site are refused");
            return 403;
        }
        const QByteArray type = header(conn, "Content-Type").toLower();
        if (type != "application/json" && !type.startsWith("application/json;")) {
            sendJsonError(conn, 415, "the body must be application/json");
            return 415;
        }
        // Chunks are not taken: CivetWeb reads a chunk's size line within one
        // mg_read(), however slowly it comes.
        if (ri->content_length < 0) {
            sendJsonError(conn, 411, "the body must come with a Content-Length, not in chunks");
            return 411;
        }
        if (ri->content_length > WebRequest::kMaxBody) {
            sendJsonError(conn, 413, "the body is larger than 4096 bytes");
            return 413;
        }
        // A byte a call: mg_read() returns once all it was asked for came or
        // after request_timeout_ms of silence, so a client sending a byte now
        // and then would hold a larger read. Mostly the body came with the
        // header, into CivetWeb's buffer, and a byte costs a copy.
        QByteArray body(int(ri->content_length), Qt::Uninitialized);
        for (int got = 0; got < body.size(); ++got) {
            const int n = connectionAgeMs(conn) < requestTimeoutMs ? mg_read(conn, body.data() + got, 1) : 0;
            if (n == 0) {  // past the deadline; or silent for request_timeout_ms, as long; or stopping
                sendJsonError(conn, 408, WebRequest::lateError(requestTimeoutMs));
                return 408;
            }
            if (n < 0) {
                sendJsonError(conn, 400, "the body ended before its Content-Length");
                return 400;
            }
        }
        const WebRequest::CommandBody parsed = WebRequest::parseCommandBody(body);
        if (!parsed.valid) {
            sendJsonError(conn, 400, parsed.error);
            return 400;
        }
        const bool authorised = WebRequest::tokenMatches(WebRequest::bearerToken(header(conn, "Authorization")), token);
        const WebRequest::CommandResult result = runCommand(parsed.cmd, QHostAddress(QString::fromLatin1(ri->remote_addr)),
                                                            authorised);
        const int status = WebRequest::commandStatus(result.outcome);
        send(conn, status, "application/json", WebRequest::commandBody(result));
        return status;
    }

    // --- WebSocket --------------------------------------------------------

    // 403 for a page of another site, 503 when all places are taken, else 0.
    int socketRefusal(const mg_connection *conn)
    {
        if (!WebRequest::originAllowed(header(conn, "Origin"), header(conn, "Host")))
            return 403;
        std::lock_guard<std::mutex> lock(mutex);
        return int(clients.size()) >= kMaxSocketClients ? 503 : 0;
    }

    int socketConnect(const mg_connection *conn)
    {
        auto *c = const_cast<mg_connection *>(conn);
        if (!WebRequest::originAllowed(header(conn, "Origin"), header(conn, "Host")))
            return 1;  // CivetWeb closes the connection; no answer can be sent here
        std::lock_guard<std::mutex> lock(mutex);
        if (int(clients.size()) >= kMaxSocketClients)
            return 1;
        auto client = std::make_shared<Client>();
        client->conn = c;
        client->peer = QHostAddress(QString::fromLatin1(mg_get_request_info(conn)->remote_addr));
        clients.push_back(client);
        mg_set_user_connection_data(conn, client.get());
        return 0;
    }

    std::shared_ptr<Client> clientOf(const mg_connection *conn)
    {
        const auto *raw = static_cast<Client *>(mg_get_user_connection_data(conn));
        std::lock_guard<std::mutex> lock(mutex);
        for (const auto &c : clients)
            if (c.get() == raw)
                return c;
        return {};
    }

    void socketReady(mg_connection *conn)
    {
        const std::shared_ptr<Client> client = clientOf(conn);
        if (!client)
            return;
        std::unique_lock<std::mutex> lock(mutex);
        const QByteArray now = ownCopy(state);
        const quint64 version = stateVersion;
        lock.unlock();
        std::lock_guard<std::mutex> clientLock(client->mutex);
        client->open = true;
        client->lastHeard = std::chrono::steady_clock::now();
        write(*client, now);
        client->stateSent = version;
    }

    int socketData(mg_connection *conn, int bits, const char *data, size_t length)
    {
        const int opcode = bits & 0x0F;
        if (opcode == MG_WEBSOCKET_OPCODE_CONNECTION_CLOSE)
            return 0;
        const std::shared_ptr<Client> client = clientOf(conn);
        if (!client)
            return 0;
        {
            std::lock_guard<std::mutex> lock(client->mutex);
            client->lastHeard = std::chrono::steady_clock::now();
        }
        if (opcode == MG_WEBSOCKET_OPCODE_PING || opcode == MG_WEBSOCKET_OPCODE_PONG)
            return 1;
        auto reply = [&](const QByteArray &line) {
            std::lock_guard<std::mutex> lock(client->mutex);
            return write(*client, WebRequest::replyMessage(line));
        };
        // Messages come whole, as text: pieces and binary frames are not
        // something the page or Companion sends.
        if (opcode != MG_WEBSOCKET_OPCODE_TEXT || !(bits & 0x80)) {
            reply("ERR only whole text messages are understood");
            return 0;
        }
        const WebRequest::SocketMessage m =
            WebRequest::parseSocketMessage(QByteArray(data, int(qMin<size_t>(length, WebRequest::kMaxBody + 1))));
        const bool first = !client->spoke;
        client->spoke = true;
        using Kind = WebRequest::SocketMessage::Kind;
        switch (m.kind) {
        case Kind::Command: {
            const WebRequest::CommandResult r = runCommand(m.value, client->peer, client->authorised);
            return reply(r.text) ? 1 : 0;
        }
        case Kind::Token:
            if (!first)
                return reply("ERR the token must be the first message") ? 1 : 0;
            if (!WebRequest::tokenMatches(m.value, token)) {
                // One guess per connection.
                reply(token.isEmpty() ? "ERR this display has no token set" : "ERR the token is not this display's");
                return 0;
            }
            client->authorised = true;
            return reply("OK") ? 1 : 0;
        case Kind::Subscribe:
        case Kind::Unsubscribe:
            setLevels(*client, m.kind == Kind::Subscribe);
            return 1;
        case Kind::Ping:
            return 1;
        case Kind::Invalid:
            break;
        }
        return reply("ERR " + m.error) ? 1 : 0;
    }

    void setLevels(Client &client, bool on)
    {
        std::lock_guard<std::mutex> lock(mutex);
        if (client.levels == on)
            return;
        client.levels = on;
        levelClients += on ? 1 : -1;
        if (levelClients == (on ? 1 : 0))
            QMetaObject::invokeMethod(owner, "levelsWanted", Qt::QueuedConnection);
    }

    void socketClose(const mg_connection *conn)
    {
        const std::shared_ptr<Client> client = clientOf(conn);
        if (!client)
            return;
        {
            std::lock_guard<std::mutex> clientLock(client->mutex);
            client->open = false;
        }
        setLevels(*client, false);
        std::lock_guard<std::mutex> lock(mutex);
        clients.remove(client);
    }

    // --- Pushes -----------------------------------------------------------

    // One thread writes the state and the levels to every client, so a slow
    // client delays only the pushes, never a command or the GUI thread.
    // A client that connects gets the state in socketReady().
    void push()
    {
        using Clock = std::chrono::steady_clock;
        const auto interval = std::chrono::milliseconds(kPushIntervalMs);
        const auto idleCheck = std::min(idleTimeout / 4, std::chrono::milliseconds(1000));
        Clock::time_point lastState;
        Clock::time_point nextIdleCheck = Clock::now() + idleCheck;
        std::unique_lock<std::mutex> lock(mutex);
        quint64 statePushed = stateVersion;
        quint64 levelsSent = levelsVersion;
        for (;;) {
            wake.wait_until(lock, nextIdleCheck,
                            [&] { return quit || stateVersion != statePushed || levelsVersion != levelsSent; });
            if (quit)
                return;
            const Clock::time_point t = Clock::now();
            const bool idleDue = t >= nextIdleCheck;
            const bool levelsDue = levelsVersion != levelsSent;
            const bool stateDue = stateVersion != statePushed && t >= lastState + interval;
            if (!levelsDue && !stateDue && !idleDue) {
                // Changes come closer than the interval: merged into one push.
                wake.wait_until(lock, std::min(lastState + interval, nextIdleCheck),
                                [&] { return quit || levelsVersion != levelsSent; });
                continue;
            }
            if (idleDue)
                nextIdleCheck = t + idleCheck;
            const QByteArray now = ownCopy(state);
            const QByteArray levelsNow = WebRequest::levelsMessage(levels);
            levelsSent = levelsVersion;
            if (stateDue) {
                statePushed = stateVersion;
                lastState = t;
            }
            std::vector<std::pair<std::shared_ptr<Client>, bool>> targets;
            for (const auto &c : clients)
                targets.emplace_back(c, c->levels);
            const quint64 version = statePushed;
            lock.unlock();
            for (const auto &target : targets) {
                Client &c = *target.first;
                std::lock_guard<std::mutex> clientLock(c.mutex);
                if (!c.open || c.closing)
                    continue;
                if (idleDue && t - c.lastHeard > idleTimeout) {
                    // CivetWeb's own timeout only pings; a silent client is
                    // asked to close, and its place comes free.
                    static const char closeIdle[] = "\x03\xe8no message for 10 s";
                    mg_websocket_write(c.conn, MG_WEBSOCKET_OPCODE_CONNECTION_CLOSE, closeIdle, sizeof closeIdle - 1);
                    c.closing = true;
                    continue;
                }
                if (stateDue && c.stateSent != version) {
                    write(c, now);
                    c.stateSent = version;
                }
                if (levelsDue && target.second)
                    write(c, levelsNow);
            }
            lock.lock();
        }
    }
};

WebRemote::WebRemote(Runner runner, QObject *parent)
    : QObject(parent)
    , m_runner(std::move(runner))
    , m_levelsTimer(new QTimer(this))
    , m_countersTimer(new QTimer(this))
{
    initControlResources();
    m_started.start();
    m_levelsTimer->setInterval(kPushIntervalMs);
    m_levelsTimer->setTimerType(Qt::PreciseTimer);
    connect(m_levelsTimer, &QTimer::timeout, this, &WebRemote::sampleLevels);
    m_countersTimer->setInterval(1000);
    connect(m_countersTimer, &QTimer::timeout, this, &WebRemote::sampleCounters);
    mg_init_library(0);
}

WebRemote::~WebRemote()
{
    stop();
    mg_exit_library();
}

bool WebRemote::start(const QHostAddress &bind, quint16 port, const QByteArray &token)
{
    stop();
    m_token = token;
    auto server = std::make_unique<Server>(this);
    server->runner = m_runner;
    server->token = token;
    server->started = &m_started;
    server->state = m_state;
    server->idleTimeout = std::chrono::milliseconds(m_idleTimeoutMs);
    server->requestTimeoutMs = m_requestTimeoutMs;
    QFile page(QString::fromLatin1(kPage));
    if (page.open(QIODevice::ReadOnly))
        server->page = page.readAll();
    if (server->page.isEmpty()) {
        // A broken build, not something an operator can mend; the API and
        // the WebSocket still work, and "/" says what is missing.
        qCWarning(lcControl,
                  "The web remote's page is missing from this build (%s: %s). /api/status, /api/command and /ws "
                  "still work; reinstall the package to get the page back.",
                  kPage, qPrintable(page.errorString()));
    }

    const QString host = bind.protocol() == QAbstractSocket::IPv6Protocol
                             ? QStringLiteral("[%1]").arg(bind.toString())
                             : bind.toString();
    const QByteArray listening = QStringLiteral("%1:%2").arg(host).arg(port).toLatin1();
    const QByteArray threads = QByteArray::number(kMaxConnections);
    const QByteArray idle = QByteArray::number(kIdleTimeoutMs);
    // CivetWeb's deadline for the header, counted from when a thread took the
    // connection, and its longest wait for a read or a write; request()
    // holds the body to the same deadline.
    const QByteArray late = QByteArray::number(m_requestTimeoutMs);
    // No document_root: CivetWeb serves no file of its own, and lists no
    // folder; everything it answers comes from the handlers here.
    const char *options[] = {
        "listening_ports", listening.constData(),
        "num_threads", threads.constData(),
        "connection_queue", "4",
        "listen_backlog", "16",
        "request_timeout_ms", late.constData(),
        "websocket_timeout_ms", idle.constData(),
        "enable_keep_alive", "no",
        "max_request_size", "8192",
        nullptr};

    mg_callbacks callbacks{};
    callbacks.begin_request = [](mg_connection *conn) {
        return static_cast<Server *>(mg_get_request_info(conn)->user_data)->request(conn);
    };
    callbacks.init_connection = [](const mg_connection *, void **data) {
        *data = reinterpret_cast<void *>(quintptr(nowMs()));
        return 0;
    };
    callbacks.http_error = [](mg_connection *conn, int status, const char *message) {
        // CivetWeb's own refusals, told as ours are. It takes a header that
        // did not come whole within request_timeout_ms for a malformed one
        // (400); that one is told as late.
        const mg_request_info *ri = mg_get_request_info(conn);
        const auto *s = ri ? static_cast<const Server *>(ri->user_data) : nullptr;
        if (status == 400 && s && !ri->request_method && connectionAgeMs(conn) >= s->requestTimeoutMs)
            sendWhole(conn, 408, WebRequest::lateError(s->requestTimeoutMs));
        else
            sendWhole(conn, status, message ? message : "");
        return 0;
    };
    callbacks.log_message = [](const mg_connection *, const char *message) {
        qCWarning(lcControl, "Web remote: %s", message);
        return 1;
    };
    char errorText[256] = {};
    unsigned errorCode = 0;
    mg_error_data error{&errorCode, errorText, sizeof errorText};
    mg_init_data init{&callbacks, server.get(), options};
    server->ctx = mg_start2(&init, &error);
    if (!server->ctx) {
        qCWarning(lcControl,
                  "The web remote cannot listen on %s (control_port): %s. The display runs on without it; choose "
                  "another control_port, or stop what holds this one.",
                  listening.constData(), errorText[0] ? errorText : "no reason given");
        return false;
    }
    mg_set_websocket_handler(
        server->ctx, "/ws",
        [](const mg_connection *conn, void *s) { return static_cast<Server *>(s)->socketConnect(conn); },
        [](mg_connection *conn, void *s) { static_cast<Server *>(s)->socketReady(conn); },
        [](mg_connection *conn, int bits, char *data, size_t length, void *s) {
            return static_cast<Server *>(s)->socketData(conn, bits, data, length);
        },
        [](const mg_connection *conn, void *s) { static_cast<Server *>(s)->socketClose(conn); }, server.get());
    mg_server_port ports[2] = {};
    if (mg_get_server_ports(server->ctx, 2, ports) > 0)
        server->port = quint16(ports[0].port);
    server->bind = bind;
    try {
        server->pusher = std::thread([s = server.get()] { s->push(); });
    } catch (const std::system_error &e) {
        mg_stop(server->ctx);
        qCWarning(lcControl,
                  "The web remote cannot start (no thread for its pushes: %s). The display runs on without it; "
                  "restart it when the PC has resources to spare.",
                  e.what());
        return false;
    }
    qCInfo(lcControl, "web remote on http://%s:%u/ (page, /api/status, /api/command, /ws, /metrics)",
           qPrintable(host), unsigned(server->port));
    m_server = std::move(server);
    m_countersTimer->start();
    sampleCounters();
    return true;
}

void WebRemote::stop()
{
    if (!m_server)
        return;
    // First let every thread that waits for the GUI thread go, then end the
    // pushes, then the server: mg_stop() joins its threads.
    m_server->handoff.stop();
    {
        std::lock_guard<std::mutex> lock(m_server->mutex);
        m_server->quit = true;
    }
    m_server->wake.notify_all();
    m_server->pusher.join();
    {
        // A WebSocket's thread, too, sees the stop flag only between polls
        // of up to 2 s; a client that answers the close frame ends its poll
        // now, and learns that the display went away (1001), not that the
        // line broke.
        std::unique_lock<std::mutex> lock(m_server->mutex);
        const std::list<std::shared_ptr<Server::Client>> clients = m_server->clients;
        lock.unlock();  // a client's lock is never taken under the server's
        static const char goingAway[] = "\x03\xe9the display is stopping";
        for (const std::shared_ptr<Server::Client> &client : clients) {
            std::lock_guard<std::mutex> clientLock(client->mutex);
            if (client->open && !client->closing)
                mg_websocket_write(client->conn, MG_WEBSOCKET_OPCODE_CONNECTION_CLOSE, goingAway, sizeof goingAway - 1);
            client->closing = true;
        }
    }

    // CivetWeb's master thread sees its stop flag only between polls of the
    // listening socket, which last up to 2 s: quitting, or a new control_port
    // or token, would hold the GUI thread, and so the clocks, that long.
    // mg_stop() runs beside, and a knock on the socket ends each poll until
    // it returns. A knock that comes before the flag is set is taken as a
    // connection that closes at once.
    std::mutex stopMutex;
    std::condition_variable stopDone;
    bool stopped = false;
    std::thread stopper;
    try {
        stopper = std::thread([&] {
            mg_stop(m_server->ctx);
            std::lock_guard<std::mutex> lock(stopMutex);
            stopped = true;
            stopDone.notify_all();
        });
    } catch (const std::system_error &) {
        mg_stop(m_server->ctx);  // no thread to be had: the slow way
        stopped = true;
    }
    {
        std::unique_lock<std::mutex> lock(stopMutex);
        while (!stopDone.wait_for(lock, std::chrono::milliseconds(5), [&] { return stopped; })) {
            lock.unlock();
            knock(m_server->bind, m_server->port);
            lock.lock();
        }
    }
    if (stopper.joinable())
        stopper.join();
    m_server.reset();
    m_levelsTimer->stop();
    m_countersTimer->stop();
}

bool WebRemote::isListening() const
{
    return m_server != nullptr;
}

quint16 WebRemote::port() const
{
    return m_server ? m_server->port : 0;
}

void WebRemote::setState(const QByteArray &statusJson)
{
    if (statusJson == m_state)
        return;
    m_state = statusJson;
    if (!m_server)
        return;
    {
        std::lock_guard<std::mutex> lock(m_server->mutex);
        m_server->state = statusJson;
        ++m_server->stateVersion;
    }
    m_server->wake.notify_all();
}

void WebRemote::setLevelsSource(std::function<std::array<float, 6>()> levelsDb)
{
    m_levelsSource = std::move(levelsDb);
}

void WebRemote::setCountersSource(std::function<WebRequest::Counters()> counters)
{
    m_countersSource = std::move(counters);
}

int WebRemote::socketClients() const
{
    if (!m_server)
        return 0;
    std::lock_guard<std::mutex> lock(m_server->mutex);
    return int(m_server->clients.size());
}

void WebRemote::levelsWanted()
{
    if (!m_server)
        return;
    bool wanted;
    {
        std::lock_guard<std::mutex> lock(m_server->mutex);
        wanted = m_server->levelClients > 0;
    }
    if (wanted && !m_levelsTimer->isActive())
        m_levelsTimer->start();
    else if (!wanted)
        m_levelsTimer->stop();
}

void WebRemote::sampleLevels()
{
    if (!m_server || !m_levelsSource)
        return;
    const std::array<float, 6> now = m_levelsSource();
    {
        std::lock_guard<std::mutex> lock(m_server->mutex);
        m_server->levels = now;
        ++m_server->levelsVersion;
    }
    m_server->wake.notify_all();
}

void WebRemote::sampleCounters()
{
    if (!m_server || !m_countersSource)
        return;
    const WebRequest::Counters now = m_countersSource();
    std::lock_guard<std::mutex> lock(m_server->mutex);
    m_server->counters = now;
}
