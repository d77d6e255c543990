// The web remote: what requests and messages are taken for, the hand-off to
// the GUI thread, and HTTP and WebSocket round trips on loopback.
#include "controlsettings.h"
#include "controlwiring.h"
#include "guihandoff.h"
#include "webremote.h"
#include "webrequest.h"

#include <QHostInfo>

#include <QJsonDocument>
#include <QJsonObject>
#include <QSignalSpy>
#include <QWebSocket>
#include <QTcpServer>
#include <QTimer>
#include <QTcpSocket>
#include <QUdpSocket>
#include <QtTest>

#include <algorithm>
#include <atomic>
#include <memory>
#include <thread>
#include <vector>

using WebRequest::Outcome;
using Kind = WebRequest::SocketMessage::Kind;
Q_DECLARE_METATYPE(Kind)

namespace {

// Stands in for the control centre: the first word of a line says how it
// fares, and every call is noted.
struct FakeCentre
{
    struct Call
    {
        QByteArray line;
        QHostAddress sender;
        bool authorised;
    };
    std::vector<Call> calls;

    WebRequest::CommandResult run(const QByteArray &line, const QHostAddress &sender, bool authorised)
    {
        calls.push_back({line, sender, authorised});
        const QByteArray word = line.split(' ').value(0);
        if (word == "done")
            return {Outcome::Done, "OK"};
        if (word == "status")
            return {Outcome::Status, "{\"v\":1}"};
        if (word == "busy")
            return {Outcome::Busy, "ERR busy"};
        if (word == "write")
            return authorised ? WebRequest::CommandResult{Outcome::Done, "OK"}
                              : WebRequest::CommandResult{Outcome::NotAllowed, "ERR not allowed from 127.0.0.1"};
        return {Outcome::Refused, "ERR " + word + ": no such command"};
    }
};

struct Response
{
    int status = 0;
    QMap<QByteArray, QByteArray> headers;  // names in lower case
    QByteArray body;
};

// A request on a socket of its own (the server closes each connection).
// QNetworkAccessManager would be the usual client, but its bearer thread
// races inside Qt where ThreadSanitizer cannot see Qt's locks. A POST's
// Content-Length comes first after Host, unless the headers give their own;
// an empty one leaves it out.
Response httpRequest(quint16 port, const QByteArray &method, const QByteArray &path, const QByteArray &body,
                     const QList<QPair<QByteArray, QByteArray>> &headers,
                     const QHostAddress &from = QHostAddress::LocalHost)
{
    QTcpSocket socket;
    QByteArray raw;
    QObject::connect(&socket, &QTcpSocket::readyRead, [&] { raw += socket.readAll(); });
    QSignalSpy closed(&socket, &QTcpSocket::disconnected);
    socket.bind(from);
    socket.connectToHost(QHostAddress::LocalHost, port);
    QByteArray request = method + ' ' + path + " HTTP/1.1\r\nHost: 127.0.0.1:" + QByteArray::number(port) + "\r\n";
    const bool ownLength = std::any_of(headers.begin(), headers.end(),
                                       [](const auto &h) { return h.first == "Content-Length"; });
    if (method == "POST" && !ownLength)
        request += "Content-Length: " + QByteArray::number(body.size()) + "\r\n";
    for (const auto &h : headers) {
        if (!h.second.isEmpty())
            request += h.first + ": " + h.second + "\r\n";
    }
    socket.write(request + "\r\n" + body);
    if (!closed.wait(10000))
        return {};
    raw += socket.readAll();
    Response r;
    const int end = raw.indexOf("\r\n\r\n");
    const QList<QByteArray> lines = raw.left(end).split('\n');
    r.status = lines.value(0).split(' ').value(1).toInt();
    for (const QByteArray &line : lines.mid(1)) {
        const int colon = line.indexOf(':');
        r.headers.insert(line.left(colon).trimmed().toLower(), line.mid(colon + 1).trimmed());
    }
    r.body = raw.mid(end + 4);
    return r;
}

}  // namespace

class TestWebRemote : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanupTestCase();

    void commandBody_data();
    void commandBody();
    void socketMessage_data();
    void socketMessage();
    void tokenAndOrigin_data();
    void tokenAndOrigin();
    void metrics();

    void handoffRunsOnGuiThread();
    void handoffStopEndsWait();

    void readEndpoints_data();
    void readEndpoints();
    void command_data();
    void command();
    void slowRequest_data();
    void slowRequest();
    void requestsPerPeer();
    void socketStateAndCommand();
    void socketToken();
    void socketRefusals();
    void socketPushesMerged();
    void socketLevels();
    void socketIdleClosed();
    void stopSaysGoingAway();

    void wiredToCentre();

private:
    Response request(const QByteArray &method, const QString &path, const QByteArray &body = {},
                     const QList<QPair<QByteArray, QByteArray>> &headers = {});
    std::unique_ptr<QWebSocket> connectSocket(const QByteArray &origin = {});
    QUrl url(const QString &path, const char *scheme = "http") const;

    FakeCentre m_centre;
    std::unique_ptr<WebRemote> m_remote;
};

// One server for all, as a display has; stopSaysGoingAway makes its own.
void TestWebRemote::initTestCase()
{
    m_remote = std::make_unique<WebRemote>(
        [this](const QByteArray &line, const QHostAddress &sender, bool authorised) {
            return m_centre.run(line, sender, authorised);
        });
    m_remote->setState("{\"state\":1}");
    m_remote->setIdleTimeoutMs(3000);
    QVERIFY(m_remote->start(QHostAddress::LocalHost, 0, "s3cret-token"));
    QVERIFY(m_remote->port() != 0);
}

void TestWebRemote::init()
{
    m_centre.calls.clear();
    m_remote->setState("{\"state\":1}");
    m_remote->setLevelsSource({});
    QTRY_COMPARE(m_remote->socketClients(), 0);
}

void TestWebRemote::cleanupTestCase()
{
    m_remote.reset();
}

QUrl TestWebRemote::url(const QString &path, const char *scheme) const
{
    return QUrl(QStringLiteral("%1://127.0.0.1:%2%3").arg(QLatin1String(scheme)).arg(m_remote->port()).arg(path));
}

Response TestWebRemote::request(const QByteArray &method, const QString &path, const QByteArray &body,
                                const QList<QPair<QByteArray, QByteArray>> &headers)
{
    return httpRequest(m_remote->port(), method, path.toLatin1(), body, headers);
}

std::unique_ptr<QWebSocket> TestWebRemote::connectSocket(const QByteArray &origin)
{
    auto socket = std::make_unique<QWebSocket>(QString::fromLatin1(origin));
    socket->open(url(QStringLiteral("/ws"), "ws"));
    return socket;
}

// --- What a request or message is taken for -------------------------------

void TestWebRemote::commandBody_data()
{
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<QByteArray>("cmd");  // null: refused

    QTest::newRow("plain") << QByteArray("{\"cmd\": \"ring 45\"}") << QByteArray("ring 45");
    QTest::newRow("other keys ignored") << QByteArray("{\"cmd\":\"ping\",\"x\":1}") << QByteArray("ping");
    QTest::newRow("line end kept for the grammar") << QByteArray("{\"cmd\":\"ping\\r\\n\"}") << QByteArray("ping\r\n");
    QTest::newRow("utf-8 name") << QByteArray("{\"cmd\":\"name 1 Studio \\u00e9\"}") << QByteArray("name 1 Studio \xc3\xa9");
    QTest::newRow("256 bytes") << ("{\"cmd\":\"" + QByteArray(256, 'a') + "\"}") << QByteArray(256, 'a');
    // Refused
    QTest::newRow("257 bytes") << ("{\"cmd\":\"" + QByteArray(257, 'a') + "\"}") << QByteArray();
    QTest::newRow("two lines") << QByteArray("{\"cmd\":\"ring 45\\nring off\"}") << QByteArray();
    QTest::newRow("not json") << QByteArray("cmd=ring+45") << QByteArray();
    QTest::newRow("array") << QByteArray("[\"ring 45\"]") << QByteArray();
    QTest::newRow("nested, key twice") << QByteArray("{\"cmd\":\"ping\",\"a\":{},\"a\":1}") << QByteArray();
    QTest::newRow("brace in string") << QByteArray("{\"cmd\":\"name 1 {[\\\"x\"}") << QByteArray("name 1 {[\"x");
    QTest::newRow("no cmd") << QByteArray("{\"command\":\"ring 45\"}") << QByteArray();
    QTest::newRow("cmd a number") << QByteArray("{\"cmd\":45}") << QByteArray();
    QTest::newRow("over 4 KiB") << ("{\"cmd\":\"ping\",\"pad\":\"" + QByteArray(4096, ' ') + "\"}") << QByteArray();
    QTest::newRow("key twice") << QByteArray("{\"cmd\":\"ping\" , \"c\\u006dd\" :\"ring off\"}") << QByteArray();
    QTest::newRow("NUL in cmd") << QByteArray("{\"cmd\":\"ping\\u0000ring off\"}") << QByteArray();
    QTest::newRow("colons in strings") << QByteArray("{\"cmd\":\"endmark daily 17:30:00\", \"x\":\"a\\\":\"}")
                                       << QByteArray("endmark daily 17:30:00");
}

void TestWebRemote::commandBody()
{
    QFETCH(QByteArray, body);
    QFETCH(QByteArray, cmd);
    const WebRequest::CommandBody parsed = WebRequest::parseCommandBody(body);
    QCOMPARE(parsed.valid, !cmd.isNull());
    QCOMPARE(parsed.cmd, cmd);
    QCOMPARE(parsed.error.isEmpty(), parsed.valid);
}

void TestWebRemote::socketMessage_data()
{
    QTest::addColumn<QByteArray>("message");
    QTest::addColumn<Kind>("kind");
    QTest::addColumn<QByteArray>("value");

    QTest::newRow("cmd") << QByteArray("{\"cmd\":\"endmark off\"}") << Kind::Command << QByteArray("endmark off");
    QTest::newRow("token") << QByteArray("{\"token\":\"abc\"}") << Kind::Token << QByteArray("abc");
    QTest::newRow("subscribe") << QByteArray("{\"subscribe\":\"levels\"}") << Kind::Subscribe << QByteArray();
    QTest::newRow("unsubscribe") << QByteArray("{\"unsubscribe\":\"levels\"}") << Kind::Unsubscribe << QByteArray();
    QTest::newRow("ping") << QByteArray("{\"ping\":1}") << Kind::Ping << QByteArray();
    // Refused
    QTest::newRow("subscribe other") << QByteArray("{\"subscribe\":\"names\"}") << Kind::Invalid << QByteArray();
    QTest::newRow("cmd and token") << QByteArray("{\"cmd\":\"ping\",\"token\":\"a\"}") << Kind::Invalid << QByteArray();
    QTest::newRow("token a number") << QByteArray("{\"token\":12}") << Kind::Invalid << QByteArray();
    QTest::newRow("two lines") << QByteArray("{\"cmd\":\"ping\\nping\"}") << Kind::Invalid << QByteArray();
    QTest::newRow("empty object") << QByteArray("{}") << Kind::Invalid << QByteArray();
    QTest::newRow("plain text") << QByteArray("ring 45") << Kind::Invalid << QByteArray();
    QTest::newRow("cmd twice") << QByteArray("{\"cmd\":\"ping\",\"cmd\":\"ring off\"}") << Kind::Invalid
                               << QByteArray();
}

void TestWebRemote::socketMessage()
{
    QFETCH(QByteArray, message);
    QFETCH(Kind, kind);
    QFETCH(QByteArray, value);
    const WebRequest::SocketMessage m = WebRequest::parseSocketMessage(message);
    QCOMPARE(m.kind, kind);
    QCOMPARE(m.value, value);
    QCOMPARE(m.error.isEmpty(), kind != Kind::Invalid);
}

void TestWebRemote::tokenAndOrigin_data()
{
    QTest::addColumn<QByteArray>("authorization");
    QTest::addColumn<bool>("tokenAccepted");
    QTest::addColumn<QByteArray>("origin");
    QTest::addColumn<bool>("originAccepted");

    QTest::newRow("bearer, no origin") << QByteArray("Bearer s3cret") << true << QByteArray() << true;
    QTest::newRow("lower-case scheme, same site") << QByteArray("bearer s3cret") << true
                                                  << QByteArray("http://10.1.2.3:7373") << true;
    QTest::newRow("longer token, other site") << QByteArray("Bearer s3cretX") << false
                                              << QByteArray("http://evil.example") << false;
    QTest::newRow("prefix, other port") << QByteArray("Bearer s3cre") << false << QByteArray("http://10.1.2.3:80")
                                        << false;
    QTest::newRow("basic auth, null origin") << QByteArray("Basic czNjcmV0") << false << QByteArray("null") << false;
}

void TestWebRemote::tokenAndOrigin()
{
    QFETCH(QByteArray, authorization);
    QFETCH(bool, tokenAccepted);
    QFETCH(QByteArray, origin);
    QFETCH(bool, originAccepted);
    QCOMPARE(WebRequest::tokenMatches(WebRequest::bearerToken(authorization), "s3cret"), tokenAccepted);
    QCOMPARE(WebRequest::originAllowed(origin, "10.1.2.3:7373"), originAccepted);
    // No token set: nothing matches, not even nothing.
    QVERIFY(!WebRequest::tokenMatches(QByteArray(), QByteArray()));
    // A site renamed to the display's address (DNS rebinding) is not the page.
    QVERIFY(!WebRequest::originAllowed("http://evil.example:7373", "evil.example:7373"));
    const QByteArray own = QHostInfo::localHostName().toLower().toUtf8();
    for (const QByteArray &host : {QByteArray("[::1]:7373"), QByteArray("localhost:7373"), own + ":7373", own + ".local"})
        QVERIFY2(WebRequest::originAllowed("http://" + host, host), host.constData());
}

void TestWebRemote::metrics()
{
    WebRequest::Counters counters;
    counters.packetsDecoded = 1234;
    counters.secondsSinceLastPacket = -1;
    counters.uptimeSeconds = 61.5;
    const QByteArray text = WebRequest::metricsText(
        "{\"version\":\"1.9\",\"instance\":\"s2\",\"clock\":{\"sync\":\"synced\",\"maxerror_ms\":12.5},"
        "\"link\":{\"state\":\"silent\",\"reason\":\"no packet for 5 s\"}}",
        counters);
    for (const char *line : {"lumora_info{version=\"1.9\",display=\"s2\"} 1", "lumora_link_state{state=\"fine\"} 0",
                             "lumora_link_state{state=\"silent\"} 1", "lumora_packets_decoded_total 1234",
                             "lumora_seconds_since_last_packet +Inf", "lumora_clock_sync_state{state=\"synced\"} 1",
                             "lumora_clock_max_error_seconds 0.0125", "lumora_uptime_seconds 61.5",
                             "# TYPE lumora_packets_decoded_total counter"})
        QVERIFY2(text.contains(QByteArray(line) + '\n'), line);
}

// --- The hand-off to the GUI thread ----------------------------------------

void TestWebRemote::handoffRunsOnGuiThread()
{
    GuiHandoff handoff;
    std::atomic<bool> onGui{false};
    std::atomic<bool> ran{false};
    std::thread worker([&] {
        ran = handoff.call([&] { onGui = QThread::currentThread() == handoff.thread(); }, 5000);
    });
    QTRY_VERIFY(ran);
    worker.join();
    QVERIFY(onGui);
}

void TestWebRemote::handoffStopEndsWait()
{
    // The GUI thread does not run its loop (as while it stops the server).
    GuiHandoff handoff;
    bool ran = false;
    // A call that gives up never runs later.
    std::thread late([&] { QVERIFY(!handoff.call([&] { ran = true; }, 20)); });
    late.join();
    QCoreApplication::processEvents();
    QVERIFY(!ran);
    // stop() frees a waiting thread long before its time is up, and what it
    // queued never runs.
    QElapsedTimer t;
    t.start();
    std::thread waiting([&] { QVERIFY(!handoff.call([&] { ran = true; }, 60000)); });
    handoff.stop();
    waiting.join();
    QVERIFY(t.elapsed() < 30000);
    QCoreApplication::processEvents();
    QVERIFY(!ran);
}

// --- HTTP --------------------------------------------------------------------

void TestWebRemote::readEndpoints_data()
{
    QTest::addColumn<QByteArray>("method");
    QTest::addColumn<QString>("path");
    QTest::addColumn<int>("status");
    QTest::addColumn<QByteArray>("contentType");
    QTest::addColumn<QByteArray>("bodyHas");

    QTest::newRow("status") << QByteArray("GET") << "/api/status" << 200 << QByteArray("application/json")
                            << QByteArray("{\"state\":1}");
    QTest::newRow("page") << QByteArray("GET") << "/" << 200 << QByteArray("text/html; charset=utf-8")
                          << QByteArray("Reconnecting");
    QTest::newRow("metrics") << QByteArray("GET") << "/metrics" << 200
                             << QByteArray("text/plain; version=0.0.4; charset=utf-8")
                             << QByteArray("lumora_uptime_seconds ");
    QTest::newRow("status by POST") << QByteArray("POST") << "/api/status" << 405 << QByteArray("application/json")
                                    << QByteArray("\"ok\":false");
    QTest::newRow("command by GET") << QByteArray("GET") << "/api/command?cmd=ring%2045" << 405
                                    << QByteArray("application/json") << QByteArray("POST");
    QTest::newRow("unknown api") << QByteArray("GET") << "/api/reboot" << 404 << QByteArray("application/json")
                                 << QByteArray("nothing at");
    QTest::newRow("no files") << QByteArray("GET") << "/../../etc/passwd" << 404 << QByteArray("application/json")
                              << QByteArray("nothing at");
    QTest::newRow("no listing") << QByteArray("GET") << "/control/" << 404 << QByteArray("application/json")
                                << QByteArray("nothing at");
}

void TestWebRemote::readEndpoints()
{
    QFETCH(QByteArray, method);
    QFETCH(QString, path);
    QFETCH(int, status);
    QFETCH(QByteArray, contentType);
    QFETCH(QByteArray, bodyHas);
    const Response r = request(method, path);
    QCOMPARE(r.status, status);
    QCOMPARE(r.headers.value("content-type"), contentType);
    QCOMPARE(r.headers.value("cache-control"), QByteArray("no-store"));
    QVERIFY(!r.headers.contains("access-control-allow-origin"));
    QVERIFY2(r.body.contains(bodyHas), r.body.constData());
    QVERIFY(m_centre.calls.empty());  // no GET runs a command
}

void TestWebRemote::command_data()
{
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<QByteArray>("contentType");
    QTest::addColumn<QByteArray>("authorization");
    QTest::addColumn<QByteArray>("origin");
    QTest::addColumn<int>("status");
    QTest::addColumn<QByteArray>("answer");
    QTest::addColumn<bool>("ran");
    QTest::addColumn<QByteArray>("extra");  // more header lines

    const QByteArray json("application/json");
    QTest::newRow("done") << QByteArray("{\"cmd\":\"done\"}") << json << QByteArray() << QByteArray() << 200
                          << QByteArray("{\"ok\":true}") << true << QByteArray();
    QTest::newRow("status") << QByteArray("{\"cmd\":\"status\"}") << QByteArray("application/json; charset=utf-8")
                            << QByteArray() << QByteArray() << 200 << QByteArray("{\"ok\":true,\"status\":{\"v\":1}}")
                            << true << QByteArray();
    QTest::newRow("refused") << QByteArray("{\"cmd\":\"rnig 45\"}") << json << QByteArray() << QByteArray() << 400
                             << QByteArray("{\"ok\":false,\"error\":\"rnig: no such command\"}") << true
                             << QByteArray();
    QTest::newRow("not allowed") << QByteArray("{\"cmd\":\"write\"}") << json << QByteArray() << QByteArray() << 403
                                 << QByteArray("{\"ok\":false,\"error\":\"not allowed from 127.0.0.1\"}") << true
                                 << QByteArray();
    QTest::newRow("token") << QByteArray("{\"cmd\":\"write\"}") << json << QByteArray("Bearer s3cret-token")
                           << QByteArray() << 200 << QByteArray("{\"ok\":true}") << true << QByteArray();
    QTest::newRow("wrong token") << QByteArray("{\"cmd\":\"write\"}") << json << QByteArray("Bearer s3cret-tokeN")
                                 << QByteArray() << 403 << QByteArray("not allowed") << true << QByteArray();
    QTest::newRow("busy") << QByteArray("{\"cmd\":\"busy\"}") << json << QByteArray() << QByteArray() << 429
                          << QByteArray("{\"ok\":false,\"error\":\"busy\"}") << true << QByteArray();
    QTest::newRow("same-site page") << QByteArray("{\"cmd\":\"done\"}") << json << QByteArray() << QByteArray("self")
                                    << 200 << QByteArray("{\"ok\":true}") << true << QByteArray();
    // Refused before any command runs
    QTest::newRow("other site") << QByteArray("{\"cmd\":\"done\"}") << json << QByteArray("Bearer s3cret-token")
                                << QByteArray("http://evil.example") << 403 << QByteArray("another site") << false
                                << QByteArray();
    QTest::newRow("form post") << QByteArray("cmd=done") << QByteArray("application/x-www-form-urlencoded")
                               << QByteArray() << QByteArray() << 415 << QByteArray("application/json") << false
                               << QByteArray();
    QTest::newRow("bad json") << QByteArray("{\"cmd\":") << json << QByteArray() << QByteArray() << 400
                              << QByteArray("not JSON") << false << QByteArray();
    QTest::newRow("over 4 KiB") << ("{\"cmd\":\"done\",\"x\":\"" + QByteArray(4100, 'x') + "\"}") << json
                                << QByteArray() << QByteArray() << 413 << QByteArray("4096") << false << QByteArray();
    // The length alone is refused, at once: no body is read, nor waited for.
    QTest::newRow("length 10^12") << QByteArray("{\"cmd\":\"done\"}") << json << QByteArray() << QByteArray() << 413
                                  << QByteArray("4096") << false << QByteArray("Content-Length: 1000000000000");
    QTest::newRow("origin twice") << QByteArray("{\"cmd\":\"done\"}") << json << QByteArray() << QByteArray("self")
                                  << 400 << QByteArray("more than one Origin") << false
                                  << QByteArray("Origin: http://evil.example");
    // The server keeps 64 lines; the Origin after them would be lost.
    QTest::newRow("header lines lost") << QByteArray("{\"cmd\":\"done\"}") << json << QByteArray() << QByteArray()
                                       << 431 << QByteArray("header lines") << false
                                       << QByteArray("X-Pad: 1\n").repeated(63) + "Origin: http://evil.example";
    const QByteArray chunked("e\r\n{\"cmd\":\"done\"}\r\n0\r\n\r\n");
    QTest::newRow("chunks and length") << chunked << json << QByteArray() << QByteArray() << 400
                                       << QByteArray("both Content-Length and Transfer-Encoding") << false
                                       << QByteArray("Transfer-Encoding: chunked");
    QTest::newRow("chunks") << chunked << json << QByteArray() << QByteArray() << 411 << QByteArray("not in chunks")
                            << false << QByteArray("Transfer-Encoding: chunked\r\nContent-Length:");
}

void TestWebRemote::command()
{
    QFETCH(QByteArray, body);
    QFETCH(QByteArray, contentType);
    QFETCH(QByteArray, authorization);
    QFETCH(QByteArray, origin);
    QFETCH(int, status);
    QFETCH(QByteArray, answer);
    QFETCH(bool, ran);
    QFETCH(QByteArray, extra);
    QList<QPair<QByteArray, QByteArray>> headers{{"Content-Type", contentType}};
    if (!authorization.isEmpty())
        headers.append({"Authorization", authorization});
    if (origin == "self")
        origin = url(QString()).toString().toLatin1();
    if (!origin.isEmpty())
        headers.append({"Origin", origin});
    for (const QByteArray &line : extra.split('\n')) {
        const int colon = line.indexOf(':');
        if (colon > 0)
            headers.append({line.left(colon), line.mid(colon + 1).trimmed()});
    }
    QElapsedTimer t;
    t.start();
    const Response r = request("POST", QStringLiteral("/api/command"), body, headers);
    QCOMPARE(r.status, status);
    // Answered and closed long before the server would give up waiting.
    QVERIFY2(t.elapsed() < WebRemote::kRequestTimeoutMs / 2, qPrintable(QString::number(t.elapsed())));
    QVERIFY2(r.body.contains(answer), r.body.constData());
    QVERIFY(!r.headers.contains("access-control-allow-origin"));
    QCOMPARE(m_centre.calls.size(), size_t(ran ? 1 : 0));
    if (ran)
        QCOMPARE(m_centre.calls[0].sender, QHostAddress(QHostAddress::LocalHost));
}

// A request that comes too slowly is answered 408 when its (short) time is up.
void TestWebRemote::slowRequest_data()
{
    QTest::addColumn<QByteArray>("start");  // then a space every 50 ms
    QTest::newRow("body") << QByteArray("POST /api/command HTTP/1.1\r\nContent-Type: application/json\r\n"
                                        "Content-Length: 40\r\n\r\n{");
    QTest::newRow("header") << QByteArray("POST /api/command HTTP/1.1\r\nX-Slow: ");
}

void TestWebRemote::slowRequest()
{
    QFETCH(QByteArray, start);
    WebRemote remote([](const QByteArray &, const QHostAddress &, bool) { return WebRequest::CommandResult{}; });
    remote.setRequestTimeoutMs(500);
    QVERIFY(remote.start(QHostAddress::LocalHost, 0, {}));
    QTcpSocket socket;
    QTimer drip;
    connect(&drip, &QTimer::timeout, [&] { socket.write(" "); });
    connect(&socket, &QTcpSocket::disconnected, &drip, &QTimer::stop);
    socket.connectToHost(QHostAddress::LocalHost, remote.port());
    socket.write(start);
    drip.start(50);
    QTRY_COMPARE_WITH_TIMEOUT(socket.state(), QAbstractSocket::UnconnectedState, 5000);
    const QByteArray answer = socket.readAll();
    QVERIFY2(answer.startsWith("HTTP/1.1 408 ") && answer.contains("did not come whole within 0.5 s"),
             answer.constData());
}

// One address has at most kMaxRequestsPerPeer requests in the server's
// threads: of one more, whichever comes last is refused at once, while
// another address is served.
void TestWebRemote::requestsPerPeer()
{
    std::vector<std::unique_ptr<QTcpSocket>> slow(WebRemote::kMaxRequestsPerPeer + 1);
    for (auto &socket : slow) {
        socket = std::make_unique<QTcpSocket>();
        socket->connectToHost(QHostAddress::LocalHost, m_remote->port());
        socket->write("POST /api/command HTTP/1.1\r\nContent-Type: application/json\r\nContent-Length: 20\r\n\r\n{");
    }
    const auto refused = [&] {
        return std::count_if(slow.begin(), slow.end(),
                             [](const auto &s) { return s->state() == QAbstractSocket::UnconnectedState; });
    };
    QTRY_COMPARE(refused(), std::ptrdiff_t(1));
    for (const auto &s : slow)
        QVERIFY(s->state() != QAbstractSocket::UnconnectedState || s->readAll().startsWith("HTTP/1.1 429 "));
    const QHostAddress other(QStringLiteral("127.0.0.2"));
    QCOMPARE(httpRequest(m_remote->port(), "GET", "/api/status", {}, {}, other).status, 200);
    QCOMPARE(refused(), std::ptrdiff_t(1));  // the others are still held
    slow.clear();  // their places come free
    QTRY_COMPARE(request("GET", QStringLiteral("/api/status")).status, 200);
}

// --- WebSocket ---------------------------------------------------------------

void TestWebRemote::socketStateAndCommand()
{
    auto ws = connectSocket();
    QSignalSpy messages(ws.get(), &QWebSocket::textMessageReceived);
    QVERIFY(messages.wait(5000));
    QCOMPARE(messages.takeFirst().at(0).toString(), QStringLiteral("{\"state\":1}"));
    ws->sendTextMessage(QStringLiteral("{\"cmd\":\"done\"}"));
    QTRY_COMPARE(messages.count(), 1);
    QCOMPARE(messages.takeFirst().at(0).toString(), QStringLiteral("{\"reply\":\"OK\"}"));
    ws->sendTextMessage(QStringLiteral("{\"cmd\":\"write\"}"));
    QTRY_COMPARE(messages.count(), 1);
    QCOMPARE(messages.takeFirst().at(0).toString(), QStringLiteral("{\"reply\":\"ERR not allowed from 127.0.0.1\"}"));
    ws->sendTextMessage(QStringLiteral("ring 45"));
    QTRY_COMPARE(messages.count(), 1);
    QVERIFY(messages.takeFirst().at(0).toString().startsWith(QLatin1String("{\"reply\":\"ERR the body is not JSON")));
    QCOMPARE(m_centre.calls.size(), size_t(2));
}

void TestWebRemote::socketToken()
{
    auto good = connectSocket();
    QSignalSpy goodMessages(good.get(), &QWebSocket::textMessageReceived);
    QVERIFY(goodMessages.wait(5000));  // the state
    good->sendTextMessage(QStringLiteral("{\"token\":\"s3cret-token\"}"));
    good->sendTextMessage(QStringLiteral("{\"cmd\":\"write\"}"));
    good->sendTextMessage(QStringLiteral("{\"token\":\"s3cret-token\"}"));
    QTRY_COMPARE(goodMessages.count(), 4);
    QCOMPARE(goodMessages.at(1).at(0).toString(), QStringLiteral("{\"reply\":\"OK\"}"));
    QCOMPARE(goodMessages.at(2).at(0).toString(), QStringLiteral("{\"reply\":\"OK\"}"));
    QCOMPARE(goodMessages.at(3).at(0).toString(),
             QStringLiteral("{\"reply\":\"ERR the token must be the first message\"}"));
    QVERIFY(m_centre.calls.at(0).authorised);

    // A wrong guess costs the connection.
    auto bad = connectSocket();
    QSignalSpy badMessages(bad.get(), &QWebSocket::textMessageReceived);
    QSignalSpy closed(bad.get(), &QWebSocket::disconnected);
    QVERIFY(badMessages.wait(5000));
    bad->sendTextMessage(QStringLiteral("{\"token\":\"guess\"}"));
    QVERIFY(closed.wait(5000));
    QCOMPARE(badMessages.last().at(0).toString(), QStringLiteral("{\"reply\":\"ERR the token is not this display's\"}"));
    QCOMPARE(m_centre.calls.size(), size_t(1));
}

void TestWebRemote::socketRefusals()
{
    auto upgrade = [this](const QByteArray &origin) {
        QList<QPair<QByteArray, QByteArray>> headers{{"Upgrade", "websocket"},
                                                     {"Connection", "Upgrade"},
                                                     {"Sec-WebSocket-Key", "dGhlIHNhbXBsZSBub25jZQ=="},
                                                     {"Sec-WebSocket-Version", "13"}};
        if (!origin.isEmpty())
            headers.append({"Origin", origin});
        return httpRequest(m_remote->port(), "GET", "/ws", {}, headers);
    };
    // A page of another site may not connect.
    const Response foreign = upgrade("http://evil.example");
    QCOMPARE(foreign.status, 403);
    QCOMPARE(foreign.headers.value("content-type"), QByteArray("application/json"));

    // Eight are served; the ninth gets 503; a place comes free on a close.
    std::vector<std::unique_ptr<QWebSocket>> sockets;
    for (int i = 0; i < WebRemote::kMaxSocketClients; ++i) {
        sockets.push_back(connectSocket());
        QSignalSpy connected(sockets.back().get(), &QWebSocket::connected);
        QVERIFY(connected.wait(5000));
    }
    QTRY_COMPARE(m_remote->socketClients(), WebRemote::kMaxSocketClients);
    QCOMPARE(upgrade({}).status, 503);
    sockets.front()->close();
    QTRY_COMPARE(m_remote->socketClients(), WebRemote::kMaxSocketClients - 1);
}

void TestWebRemote::socketPushesMerged()
{
    auto ws = connectSocket();
    QSignalSpy messages(ws.get(), &QWebSocket::textMessageReceived);
    QVERIFY(messages.wait(5000));
    messages.clear();
    // Five changes within one push interval come as at most two pushes, the
    // last one being the newest state.
    QElapsedTimer t;
    t.start();
    for (int i = 2; i <= 6; ++i)
        m_remote->setState(QStringLiteral("{\"state\":%1}").arg(i).toLatin1());
    const qint64 setIn = t.elapsed();
    QTRY_VERIFY(!messages.isEmpty() && messages.last().at(0).toString() == QLatin1String("{\"state\":6}"));
    if (setIn < WebRemote::kPushIntervalMs / 2)
        QVERIFY2(messages.count() <= 2, qPrintable(QString::number(messages.count())));
}

void TestWebRemote::socketLevels()
{
    std::array<float, 6> levels{-20.f, -18.5f, -60.f, -3.f, 0.f, -120.f};
    m_remote->setLevelsSource([&] { return levels; });
    auto ws = connectSocket();
    QSignalSpy messages(ws.get(), &QWebSocket::textMessageReceived);
    QVERIFY(messages.wait(5000));  // the state
    ws->sendTextMessage(QStringLiteral("{\"subscribe\":\"levels\"}"));
    QTRY_VERIFY(messages.count() >= 4);
    QCOMPARE(messages.at(1).at(0).toString(),
             QStringLiteral("{\"levels_db\":[-20.0,-18.5,-60.0,-3.0,0.0,-120.0]}"));
}

void TestWebRemote::socketIdleClosed()
{
    auto silent = connectSocket();
    auto talking = connectSocket();
    QSignalSpy silentClosed(silent.get(), &QWebSocket::disconnected);
    QSignalSpy talkingClosed(talking.get(), &QWebSocket::disconnected);
    QSignalSpy talkingConnected(talking.get(), &QWebSocket::connected);
    QVERIFY(talkingConnected.wait(5000));
    QTimer ping;
    connect(&ping, &QTimer::timeout, talking.get(), [&] { talking->sendTextMessage(QStringLiteral("{\"ping\":1}")); });
    ping.start(300);
    QVERIFY(silentClosed.wait(10000));
    QCOMPARE(silent->closeCode(), QWebSocketProtocol::CloseCodeNormal);
    QCOMPARE(talkingClosed.count(), 0);
    QCOMPARE(talking->state(), QAbstractSocket::ConnectedState);
}

// A client is told the display went away (1001), not left to find a broken
// line; the server ends and its port is free again.
void TestWebRemote::stopSaysGoingAway()
{
    WebRemote remote([](const QByteArray &, const QHostAddress &, bool) { return WebRequest::CommandResult{}; });
    QVERIFY(remote.start(QHostAddress::LocalHost, 0, {}));
    const quint16 port = remote.port();
    QWebSocket ws;
    QSignalSpy connected(&ws, &QWebSocket::connected);
    QSignalSpy closed(&ws, &QWebSocket::disconnected);
    ws.open(QUrl(QStringLiteral("ws://127.0.0.1:%1/ws").arg(port)));
    QVERIFY(connected.wait(5000));
    remote.stop();
    QVERIFY(closed.count() > 0 || closed.wait(5000));
    QCOMPARE(ws.closeCode(), QWebSocketProtocol::CloseCodeGoingAway);
    QVERIFY(remote.start(QHostAddress::LocalHost, port, {}));
}

// --- With the display's control centre ------------------------------------

void TestWebRemote::wiredToCentre()
{
    // A port free for TCP and UDP on loopback.
    QTcpServer probe;
    QVERIFY(probe.listen(QHostAddress::LocalHost, 0));
    const quint16 port = probe.serverPort();
    probe.close();

    ControlWiring::Parts parts;
    parts.levelsDb = [] { return std::array<float, 6>{-10.f, -10.f, -20.f, -20.f, -30.f, -30.f}; };
    std::array<QString, 3> renamed;
    parts.rename = [&](int pair, const QString &name) { renamed[size_t(pair)] = name; };
    ControlWiring wiring(parts);
    ControlSettings settings;
    settings.port = port;
    // Only 127.0.0.2 may write: HTTP from 127.0.0.1 needs the token.
    settings.allow = QStringLiteral("127.0.0.2");
    settings.token = QStringLiteral("studio-token");
    wiring.apply(settings);
    QVERIFY(wiring.web().isListening());

    auto post = [&](const QByteArray &cmd, const QByteArray &token) {
        QList<QPair<QByteArray, QByteArray>> headers{{"Content-Type", "application/json"}};
        if (!token.isEmpty())
            headers.append({"Authorization", "Bearer " + token});
        return httpRequest(port, "POST", "/api/command", "{\"cmd\":\"" + cmd + "\"}", headers).status;
    };
    QCOMPARE(post("endmark daily 17:30:00", {}), 403);
    QCOMPARE(post("endmark daily 17:30:00", "wrong"), 403);
    QCOMPARE(post("endmark daily 17:30:00", "studio-token"), 200);
    QCOMPARE(post("endmark daily 17:61:00", "studio-token"), 400);
    QCOMPARE(post("name 2 Studio 2", "studio-token"), 200);
    QCOMPARE(renamed[1], QStringLiteral("Studio 2"));

    const QJsonObject state = QJsonDocument::fromJson(httpRequest(port, "GET", "/api/status", {}, {}).body).object();
    QCOMPARE(state.value(QLatin1String("endmark")).toObject().value(QLatin1String("time")).toString(),
             QStringLiteral("17:30:00"));

    // A command by UDP reaches a WebSocket client as a push.
    QWebSocket ws;
    QSignalSpy messages(&ws, &QWebSocket::textMessageReceived);
    ws.open(QUrl(QStringLiteral("ws://127.0.0.1:%1/ws").arg(port)));
    QVERIFY(messages.wait(5000));
    QUdpSocket udp;
    QVERIFY(udp.bind(QHostAddress(QStringLiteral("127.0.0.2")), 0));
    udp.writeDatagram("ring 45\n", QHostAddress::LocalHost, port);
    QTRY_VERIFY(QJsonDocument::fromJson(messages.last().at(0).toByteArray()).object().value(QLatin1String("ring"))
                    .toObject().value(QLatin1String("remaining_s")).toDouble() > 40);

    // The rate limit is the centre's, the same for every transport.
    int status = 0;
    for (int i = 0; i < 25 && status != 429; ++i)
        status = post("dots normal", "studio-token");
    QCOMPARE(status, 429);
}

QTEST_GUILESS_MAIN(TestWebRemote)
#include "tst_webremote.moc"
