#include "webremote.h"

#include "controllogging.h"
#include "controlsettings.h"
#include "webfrontdoor.h"
#include "webhttp.h"
#include "websocketclients.h"

#include <QFile>
#include <QTimer>

// The page is compiled into this static library; the linker keeps it only
// when something refers to it.
static void initControlResources()
{
    Q_INIT_RESOURCE(control);
}

namespace {

constexpr char kPage[] = ":/control/remote.html";

}  // namespace

WebRemote::WebRemote(Runner runner, QObject *parent)
    : QObject(parent)
    , m_runner(std::move(runner))
    , m_countersTimer(new QTimer(this))
{
    initControlResources();
    m_started.start();
    m_countersTimer->setInterval(1000);
    connect(m_countersTimer, &QTimer::timeout, this, &WebRemote::sampleCounters);
}

WebRemote::~WebRemote() { stop(); }

bool WebRemote::start(const QHostAddress &bind, quint16 port, const QByteArray &token)
{
    stop();
    m_token = token;
    WebHttp::Sources sources;
    sources.runner = m_runner;
    sources.token = token;
    sources.status = [this] { return stateNow(); };
    sources.metrics = [this] { return metricsNow(); };
    sources.scale = [this] { return m_scale; };
    QFile page(QString::fromLatin1(kPage));
    if (page.open(QIODevice::ReadOnly))
        sources.page = page.readAll();
    if (sources.page.isEmpty()) {
        // A broken build, not something an operator can mend; the API and
        // the WebSocket still work, and "/" says what is missing.
        qCWarning(lcControl,
                  "The web remote's page is missing from this build (%s: %s). /api/status, /api/command and /ws "
                  "still work; reinstall the package to get the page back.",
                  kPage, qPrintable(page.errorString()));
    }

    auto door = std::make_unique<WebFrontDoor>(m_requestTimeoutMs, kMaxRequestsPerPeer);
    const QString host = bind.protocol() == QAbstractSocket::IPv6Protocol
                             ? QStringLiteral("[%1]").arg(bind.toString())
                             : bind.toString();
    if (!door->listen(bind, port)) {
        qCWarning(lcControl,
                  "The web remote cannot listen on %s:%u (" LUMORA_KEY_CONTROL_PORT "): %s. The display runs on without it; choose "
                  "another " LUMORA_KEY_CONTROL_PORT ", or stop what holds this one.",
                  qPrintable(logText(host)), unsigned(port), qPrintable(door->errorString()));
        return false;
    }
    auto http = std::make_unique<WebHttp>(std::move(sources), kMaxRequestsPerPeer);
    if (!http->start())
        return false;
    auto sockets = std::make_unique<WebSocketClients>(m_runner, token, m_idleTimeoutMs);
    sockets->setState(m_state);
    sockets->setLevelsSource(m_levelsSource);

    WebFrontDoor *d = door.get();
    WebHttp *h = http.get();
    WebSocketClients *s = sockets.get();
    http->ended = [d](const QHostAddress &peer) { d->httpEnded(peer); };
    door->toHttp = [h](qintptr fd, const QHostAddress &peer) { return h->add(fd, peer); };
    door->toSocket = [s](qintptr fd, const QHostAddress &peer) { s->take(fd, peer); };
    door->socketRefusal = [s](const WebFrontDoor::Head &head) -> std::pair<int, QByteArray> {
        if (!WebRequest::originAllowed(head.origin, head.host))
            return {403, "a page of another site may not connect"};
        if (s->full())
            return {503, "this display serves " + QByteArray::number(kMaxSocketClients)
                             + " live clients at a time; try again later"};
        return {0, {}};
    };
    qCInfo(lcControl, "web remote on http://%s:%u/ (page, /api/status, /api/scale, /api/command, /ws, /metrics)",
           qPrintable(logText(host)), unsigned(door->serverPort()));
    m_door = std::move(door);
    m_http = std::move(http);
    m_sockets = std::move(sockets);
    m_countersTimer->start();
    sampleCounters();
    return true;
}

void WebRemote::stop()
{
    if (!m_door)
        return;
    // Nothing here waits for a client: the listening socket closes, the
    // clients are dropped, and libmicrohttpd, having no thread, closes its
    // connections at once.
    m_door->stop();
    m_sockets->stop();
    m_http->ended = nullptr;
    m_http->stop();
    m_sockets.release()->deleteLater();  // its sockets go with their pending events
    m_http.reset();
    m_door.reset();
    m_countersTimer->stop();
}

bool WebRemote::isListening() const { return m_door != nullptr; }

quint16 WebRemote::port() const { return m_door ? m_door->serverPort() : 0; }

void WebRemote::setState(const QByteArray &statusJson)
{
    m_state = statusJson;
    if (m_sockets)
        m_sockets->setState(statusJson);
}

void WebRemote::setStateSource(std::function<QByteArray()> statusJson) { m_stateSource = std::move(statusJson); }

void WebRemote::setLevelsSource(std::function<std::array<float, 6>()> levelsDb)
{
    m_levelsSource = std::move(levelsDb);
    if (m_sockets)
        m_sockets->setLevelsSource(m_levelsSource);
}

void WebRemote::setCountersSource(std::function<WebRequest::Counters()> counters)
{
    m_countersSource = std::move(counters);
}

int WebRemote::socketClients() const { return m_sockets ? m_sockets->count() : 0; }

QByteArray WebRemote::stateNow() const { return m_stateSource ? m_stateSource() : m_state; }

QByteArray WebRemote::metricsNow() const
{
    WebRequest::Counters now = m_counters;
    now.uptimeSeconds = m_started.elapsed() / 1000.0;
    return WebRequest::metricsText(stateNow(), now);
}

void WebRemote::sampleCounters()
{
    if (m_countersSource)
        m_counters = m_countersSource();
}
