#include "webhttp.h"

#include "controllogging.h"

#include <QSocketNotifier>
#include <QTimer>

#include <microhttpd.h>

#include <sys/socket.h>
#include <unistd.h>

#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <initializer_list>
#include <utility>

namespace {

// No other site may frame the page or have it load anything; it needs
// nothing but its own inline style and script and its own WebSocket.
constexpr char kPagePolicy[] =
    "default-src 'none'; style-src 'unsafe-inline'; script-src 'unsafe-inline'; connect-src 'self'; "
    "img-src 'self' data:; base-uri 'none'; form-action 'none'; frame-ancestors 'none'";

// libmicrohttpd's wait for a silent connection, in seconds; the front door
// already held the head and the body to their deadline.
constexpr unsigned kSilentSeconds = 5;

using Headers = std::initializer_list<std::pair<const char *, const char *>>;

MHD_Result send(MHD_Connection *c, int status, const char *type, const QByteArray &body, Headers extra = {})
{
    MHD_Response *r = MHD_create_response_from_buffer(size_t(body.size()), const_cast<char *>(body.constData()),
                                                      MHD_RESPMEM_MUST_COPY);
    if (!r)
        return MHD_NO;
    MHD_add_response_header(r, "Content-Type", type);
    MHD_add_response_header(r, "Cache-Control", "no-store");
    MHD_add_response_header(r, "X-Content-Type-Options", "nosniff");
    for (const auto &h : extra)
        MHD_add_response_header(r, h.first, h.second);
    // Each answer closes its connection, leaving what is left of a body unread.
    MHD_add_response_header(r, "Connection", "close");
    const MHD_Result queued = MHD_queue_response(c, unsigned(status), r);
    MHD_destroy_response(r);
    return queued;
}

MHD_Result sendError(MHD_Connection *c, int status, const QByteArray &sentence, Headers extra = {})
{
    return send(c, status, "application/json",
                WebRequest::commandBody({WebRequest::Outcome::Refused, "ERR " + sentence}), extra);
}

QByteArray header(MHD_Connection *c, const char *name)
{
    const char *v = MHD_lookup_connection_value(c, MHD_HEADER_KIND, name);
    return v ? QByteArray(v) : QByteArray();
}

void logLine(void *, const char *format, va_list args)
{
    char text[512];
    std::vsnprintf(text, sizeof text, format, args);
    qCWarning(lcControl, "Web remote (HTTP): %s", qPrintable(logText(QByteArray(text).trimmed())));
}

}  // namespace

struct WebHttp::Request
{
    QByteArray body;
    bool tooLong = false;
};

WebHttp::WebHttp(Sources sources, int perPeer, QObject *parent)
    : QObject(parent)
    , m_sources(std::move(sources))
    , m_perPeer(perPeer)
    , m_timer(new QTimer(this))
{
    m_timer->setSingleShot(true);
    connect(m_timer, &QTimer::timeout, this, &WebHttp::run);
}

WebHttp::~WebHttp() { stop(); }

bool WebHttp::start()
{
    stop();
    const auto handler = [](void *self, MHD_Connection *c, const char *url, const char *method, const char *,
                            const char *upload, size_t *uploadSize, void **context) {
        return MHD_Result(static_cast<WebHttp *>(self)->answer(c, url, method, upload, uploadSize, context));
    };
    const auto completed = [](void *, MHD_Connection *, void **context, MHD_RequestTerminationCode) {
        delete static_cast<Request *>(*context);
        *context = nullptr;
    };
    const auto notify = [](void *self, MHD_Connection *c, void **, MHD_ConnectionNotificationCode code) {
        if (code != MHD_CONNECTION_NOTIFY_CLOSED)
            return;
        auto *http = static_cast<WebHttp *>(self);
        const MHD_ConnectionInfo *info = MHD_get_connection_info(c, MHD_CONNECTION_INFO_CONNECTION_FD);
        const auto it = info ? http->m_peers.find(info->connect_fd) : http->m_peers.end();
        if (it == http->m_peers.end())
            return;
        const QHostAddress peer = it->second;
        http->m_peers.erase(it);
        if (http->ended)
            http->ended(peer);
    };
    m_daemon = MHD_start_daemon(
        MHD_USE_NO_LISTEN_SOCKET | MHD_USE_EPOLL | MHD_USE_ERROR_LOG, 0, nullptr, nullptr,
        static_cast<MHD_AccessHandlerCallback>(handler), this,
        MHD_OPTION_EXTERNAL_LOGGER, static_cast<void (*)(void *, const char *, va_list)>(logLine), nullptr,
        MHD_OPTION_CONNECTION_TIMEOUT, kSilentSeconds,
        MHD_OPTION_CONNECTION_MEMORY_LIMIT, size_t(kMemoryPerConnection),
        MHD_OPTION_CONNECTION_LIMIT, unsigned(kMaxConnections),
        MHD_OPTION_PER_IP_CONNECTION_LIMIT, unsigned(m_perPeer),
        MHD_OPTION_NOTIFY_COMPLETED, static_cast<MHD_RequestCompletedCallback>(completed), nullptr,
        MHD_OPTION_NOTIFY_CONNECTION, static_cast<MHD_NotifyConnectionCallback>(notify), this,
        MHD_OPTION_END);
    const MHD_DaemonInfo *epoll = m_daemon ? MHD_get_daemon_info(m_daemon, MHD_DAEMON_INFO_EPOLL_FD) : nullptr;
    if (!epoll) {
        qCWarning(lcControl,
                  "The web remote cannot start its HTTP server (libmicrohttpd: %s). The display runs on without "
                  "it; restart it when the PC has resources to spare.",
                  std::strerror(errno));
        stop();
        return false;
    }
    m_notifier = new QSocketNotifier(epoll->epoll_fd, QSocketNotifier::Read, this);
    connect(m_notifier, &QSocketNotifier::activated, this, &WebHttp::run);
    return true;
}

void WebHttp::stop()
{
    if (!m_daemon)
        return;
    delete m_notifier;
    m_notifier = nullptr;
    m_timer->stop();
    MHD_Daemon *d = m_daemon;
    m_daemon = nullptr;
    MHD_stop_daemon(d);  // no thread to join: closes every connection now
    if (ended) {
        for (const auto &p : m_peers)
            ended(p.second);
    }
    m_peers.clear();
}

bool WebHttp::add(qintptr fd, const QHostAddress &peer)
{
    sockaddr_storage from{};
    socklen_t size = sizeof from;
    if (!m_daemon || ::getpeername(int(fd), reinterpret_cast<sockaddr *>(&from), &size) != 0) {
        ::close(int(fd));
        return false;
    }
    m_peers[int(fd)] = peer;
    if (MHD_add_connection(m_daemon, int(fd), reinterpret_cast<const sockaddr *>(&from), size) != MHD_YES) {
        // libmicrohttpd closed it (its limits, or no memory).
        m_peers.erase(int(fd));
        return false;
    }
    run();
    return true;
}

void WebHttp::run()
{
    if (!m_daemon || m_running)
        return;
    m_running = true;
    MHD_run(m_daemon);
    m_running = false;
    if (!m_daemon)
        return;
    MHD_UNSIGNED_LONG_LONG ms = 0;
    if (MHD_get_timeout(m_daemon, &ms) == MHD_YES)
        m_timer->start(int(qMin<MHD_UNSIGNED_LONG_LONG>(ms, INT_MAX)));
    else
        m_timer->stop();
}

int WebHttp::answer(MHD_Connection *c, const char *url, const char *method, const char *upload, size_t *uploadSize,
                    void **context)
{
    const QByteArray m(method);
    const QByteArray path(url);
    auto *r = static_cast<Request *>(*context);
    if (!r) {
        r = new Request;
        *context = r;
        const WebRequest::Route route = WebRequest::route(m, path);
        switch (route.kind) {
        case WebRequest::Route::NotFound:
            return sendError(c, 404, "there is nothing at " + path.left(64));
        case WebRequest::Route::WrongMethod:
            return sendError(c, 405,
                             path == "/api/command" ? QByteArray("commands are sent by POST")
                                                    : path + " is only read, by GET",
                             {{"Allow", route.allow.constData()}});
        case WebRequest::Route::Socket:
            return sendError(c, 400, "/ws is a WebSocket: ask for the upgrade");
        case WebRequest::Route::Page:
            if (m_sources.page.isEmpty())
                return sendError(c, 503, "the page is missing from this build; /api/status and /ws still work");
            return send(c, 200, "text/html; charset=utf-8", m_sources.page,
                        {{"Content-Security-Policy", kPagePolicy}, {"Referrer-Policy", "no-referrer"}});
        case WebRequest::Route::Status:
            return send(c, 200, "application/json", m_sources.status());
        case WebRequest::Route::Scale: {
            const QByteArray scale = m_sources.scale ? m_sources.scale() : QByteArray();
            if (scale.isEmpty())
                return sendError(c, 503, "this display has not told its meters' scale");
            return send(c, 200, "application/json", scale);
        }
        case WebRequest::Route::Metrics:
            return send(c, 200, "text/plain; version=0.0.4; charset=utf-8", m_sources.metrics());
        case WebRequest::Route::Command: {
            if (!WebRequest::originAllowed(header(c, "Origin"), header(c, "Host")))
                return sendError(c, 403, "commands from a page of another site are refused");
            const QByteArray type = header(c, "Content-Type").toLower();
            if (type != "application/json" && !type.startsWith("application/json;"))
                return sendError(c, 415, "the body must be application/json");
            bool known = false;
            const qint64 length = header(c, "Content-Length").trimmed().toLongLong(&known);
            if (!known || length < 0)
                return sendError(c, 411, "the body must come with a Content-Length, not in chunks");
            if (length > WebRequest::kMaxBody)
                return sendError(c, 413, "the body is larger than 4096 bytes");
            return MHD_YES;  // the body next
        }
        }
        return sendError(c, 404, "there is nothing at " + path.left(64));
    }
    if (*uploadSize) {
        if (r->body.size() + qint64(*uploadSize) > WebRequest::kMaxBody)
            r->tooLong = true;
        else
            r->body.append(upload, int(*uploadSize));
        *uploadSize = 0;
        return MHD_YES;
    }
    return command(c, *r);
}

int WebHttp::command(MHD_Connection *c, Request &r)
{
    if (r.tooLong)
        return sendError(c, 413, "the body is larger than 4096 bytes");
    const WebRequest::CommandBody parsed = WebRequest::parseCommandBody(r.body);
    if (!parsed.valid)
        return sendError(c, 400, parsed.error);
    const QByteArray given = WebRequest::bearerToken(header(c, "Authorization"));
    const bool authorised = WebRequest::tokenMatches(given, m_sources.token);
    // A wrong token is told as such, not as a sender outside the allow-list.
    if (!given.isEmpty() && !authorised && !m_sources.token.isEmpty())
        return sendError(c, 403, "wrong token");
    const MHD_ConnectionInfo *info = MHD_get_connection_info(c, MHD_CONNECTION_INFO_CONNECTION_FD);
    const auto peer = info ? m_peers.find(info->connect_fd) : m_peers.end();
    const WebRequest::CommandResult result =
        m_sources.runner(parsed.cmd, peer == m_peers.end() ? QHostAddress() : peer->second, authorised);
    return send(c, WebRequest::commandStatus(result.outcome), "application/json", WebRequest::commandBody(result));
}
