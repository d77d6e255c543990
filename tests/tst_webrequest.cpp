// What a web request or a WebSocket message is taken for: the command
// body, the socket's messages, the token and the page's origin, and the
// metrics text.
#include "webrequest.h"

#include <QHostInfo>
#include <QtTest>

using Kind = WebRequest::SocketMessage::Kind;
Q_DECLARE_METATYPE(Kind)
using Route = WebRequest::Route;
Q_DECLARE_METATYPE(Route::Kind)

class TestWebRequest : public QObject
{
    Q_OBJECT

private slots:
    void route_data();
    void route();
    void commandBody_data();
    void commandBody();
    void socketMessage_data();
    void socketMessage();
    void tokenAndOrigin_data();
    void tokenAndOrigin();
    void metrics_data();
    void metrics();
};

void TestWebRequest::route_data()
{
    QTest::addColumn<QByteArray>("method");
    QTest::addColumn<QByteArray>("path");
    QTest::addColumn<Route::Kind>("kind");
    QTest::addColumn<QByteArray>("allow");

    QTest::newRow("page") << QByteArray("GET") << QByteArray("/") << Route::Page << QByteArray();
    QTest::newRow("status by HEAD") << QByteArray("HEAD") << QByteArray("/api/status") << Route::Status << QByteArray();
    QTest::newRow("scale") << QByteArray("GET") << QByteArray("/api/scale") << Route::Scale << QByteArray();
    QTest::newRow("metrics") << QByteArray("GET") << QByteArray("/metrics") << Route::Metrics << QByteArray();
    QTest::newRow("command") << QByteArray("POST") << QByteArray("/api/command") << Route::Command << QByteArray();
    QTest::newRow("socket") << QByteArray("GET") << QByteArray("/ws") << Route::Socket << QByteArray();
    // Refused
    QTest::newRow("command by GET") << QByteArray("GET") << QByteArray("/api/command") << Route::WrongMethod
                                    << QByteArray("POST");
    QTest::newRow("status by POST") << QByteArray("POST") << QByteArray("/api/status") << Route::WrongMethod
                                    << QByteArray("GET, HEAD");
    QTest::newRow("socket by HEAD") << QByteArray("HEAD") << QByteArray("/ws") << Route::WrongMethod
                                    << QByteArray("GET");
    QTest::newRow("method in lower case") << QByteArray("get") << QByteArray("/") << Route::WrongMethod
                                          << QByteArray("GET, HEAD");
    QTest::newRow("a method's part") << QByteArray("GE") << QByteArray("/") << Route::WrongMethod
                                     << QByteArray("GET, HEAD");
    QTest::newRow("trailing slash") << QByteArray("GET") << QByteArray("/api/status/") << Route::NotFound
                                    << QByteArray();
    QTest::newRow("a path's start") << QByteArray("GET") << QByteArray("/api") << Route::NotFound << QByteArray();
}

void TestWebRequest::route()
{
    QFETCH(QByteArray, method);
    QFETCH(QByteArray, path);
    QFETCH(Route::Kind, kind);
    QFETCH(QByteArray, allow);
    const Route r = WebRequest::route(method, path);
    QCOMPARE(r.kind, kind);
    QCOMPARE(r.allow, allow);
}

void TestWebRequest::commandBody_data()
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

void TestWebRequest::commandBody()
{
    QFETCH(QByteArray, body);
    QFETCH(QByteArray, cmd);
    const WebRequest::CommandBody parsed = WebRequest::parseCommandBody(body);
    QCOMPARE(parsed.valid, !cmd.isNull());
    QCOMPARE(parsed.cmd, cmd);
    QCOMPARE(parsed.error.isEmpty(), parsed.valid);
}

void TestWebRequest::socketMessage_data()
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

void TestWebRequest::socketMessage()
{
    QFETCH(QByteArray, message);
    QFETCH(Kind, kind);
    QFETCH(QByteArray, value);
    const WebRequest::SocketMessage m = WebRequest::parseSocketMessage(message);
    QCOMPARE(m.kind, kind);
    QCOMPARE(m.value, value);
    QCOMPARE(m.error.isEmpty(), kind != Kind::Invalid);
}

void TestWebRequest::tokenAndOrigin_data()
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

void TestWebRequest::tokenAndOrigin()
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

void TestWebRequest::metrics_data()
{
    QTest::addColumn<QByteArray>("status");
    QTest::addColumn<QList<QByteArray>>("lines");

    QTest::newRow("a silent link, no lamp")
        << QByteArray("{\"version\":\"1.9\",\"instance\":\"s\\\\2\\\"\\n\",\"clock\":{\"sync\":\"synced\",\"maxerror_ms\":12.5},"
                      "\"link\":{\"state\":\"silent\",\"reason\":\"no packet for 5 s\"}}")
        << QList<QByteArray>{"lumora_info{version=\"1.9\",display=\"s\\\\2\\\"\\n\"} 1",
                             "lumora_control_replies_dropped_total 7", "lumora_link_state{state=\"fine\"} 0",
                             "lumora_link_state{state=\"silent\"} 1", "lumora_packets_decoded_total 1234",
                             "lumora_seconds_since_last_packet +Inf", "lumora_clock_sync_state{state=\"synced\"} 1",
                             "lumora_clock_max_error_seconds 0.0125", "lumora_uptime_seconds 61.5",
                             "# TYPE lumora_packets_decoded_total counter",
                             "lumora_tally_on{source=\"\",text=\"\"} 0", "lumora_tally_since_seconds NaN"};
    QTest::newRow("the lamp lit")
        << QByteArray("{\"tally\":{\"source\":\"control\",\"on\":true,\"text\":\"MIC \\\"2\\\"\",\"since\":\"2026-12-09T17:00:00+01:00\"}}")
        << QList<QByteArray>{"lumora_tally_on{source=\"control\",text=\"MIC \\\"2\\\"\"} 1",
                             "lumora_tally_since_seconds 1796832000"};
}

void TestWebRequest::metrics()
{
    QFETCH(QByteArray, status);
    QFETCH(QList<QByteArray>, lines);
    WebRequest::Counters counters;
    counters.packetsDecoded = 1234;
    counters.secondsSinceLastPacket = -1;
    counters.uptimeSeconds = 61.5;
    counters.repliesDropped = 7;
    const QByteArray text = WebRequest::metricsText(status, counters);
    for (const QByteArray &line : lines)
        QVERIFY2(text.contains(line + '\n'), line.constData());
}

QTEST_GUILESS_MAIN(TestWebRequest)
#include "tst_webrequest.moc"
