#include "webrequest.h"

#include <QHostAddress>
#include <QDateTime>
#include <QHostInfo>
#include <QLocale>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonValue>

#include <cmath>
#include <iterator>
#include <utility>

namespace WebRequest {

namespace {

constexpr int kMaxLine = 256;  // as on UDP: one command line

// What a scan of the text shows of its outermost value. Qt 5.15's JSON
// reader leaks a replaced object or array when a key comes twice, so a
// client could grow the display's memory with each request; what we take
// never needs them. It also keeps only the last of two equal keys, where
// another reader keeps the first, so a key that comes twice is refused.
struct Shape
{
    bool flat = true;  // nothing but the outermost value is an object or array
    int keys = 0;      // strings followed by a colon: in flat, valid JSON, its keys
};

Shape shapeOf(const QByteArray &json)
{
    Shape shape;
    bool inString = false, escaped = false, outer = false, afterString = false;
    for (const char c : json) {
        if (inString) {
            if (escaped) {
                escaped = false;
            } else if (c == '\\') {
                escaped = true;
            } else if (c == '"') {
                inString = false;
                afterString = true;
            }
            continue;
        }
        if (afterString && c != ' ' && c != '\t' && c != '\n' && c != '\r') {
            afterString = false;
            shape.keys += c == ':';
        }
        if (c == '"') {
            inString = true;
        } else if (c == '{' || c == '[') {
            shape.flat = shape.flat && !outer;
            outer = true;
        }
    }
    return shape;
}

QJsonObject objectOf(const QByteArray &json, QByteArray *error)
{
    const Shape shape = shapeOf(json);
    if (!shape.flat) {
        *error = "the body may hold strings and numbers only, no objects or arrays within";
        return {};
    }
    QJsonParseError parse{};
    const QJsonDocument doc = QJsonDocument::fromJson(json, &parse);
    if (parse.error != QJsonParseError::NoError) {
        *error = "the body is not JSON: " + parse.errorString().toUtf8();
        return {};
    }
    if (!doc.isObject()) {
        *error = "the body is not a JSON object";
        return {};
    }
    // Equal keys (also when spelt with different escapes) are kept as one.
    if (doc.object().size() != shape.keys) {
        *error = "the body holds a key more than once";
        return {};
    }
    return doc.object();
}

// A command is one line: a line end may close it, but nothing may follow.
bool oneLine(const QByteArray &line, QByteArray *error)
{
    QByteArray body = line;
    while (body.endsWith('\n') || body.endsWith('\r'))
        body.chop(1);
    if (body.contains('\n') || body.contains('\r')) {
        *error = "cmd holds more than one line";
        return false;
    }
    // JSON may carry a NUL (\u0000); a reader of C strings would stop there.
    if (line.contains('\0')) {
        *error = "cmd holds a NUL character";
        return false;
    }
    if (line.size() > kMaxLine) {
        *error = "cmd is longer than " + QByteArray::number(kMaxLine) + " bytes";
        return false;
    }
    return true;
}

QByteArray jsonString(const QByteArray &utf8)
{
    // QJsonDocument escapes exactly as JSON wants; the array's brackets go.
    const QByteArray a = QJsonDocument(QJsonArray{QString::fromUtf8(utf8)}).toJson(QJsonDocument::Compact);
    return a.mid(1, a.size() - 2);
}

QByteArray number(double v)
{
    if (std::isnan(v))
        return "NaN";
    if (std::isinf(v))
        return v > 0 ? "+Inf" : "-Inf";
    return QByteArray::number(v, 'g', 12);
}

void metric(QByteArray &out, const char *name, const char *type, const char *help)
{
    out += QByteArray("# HELP ") + name + ' ' + help + "\n# TYPE " + name + ' ' + type + '\n';
}

QByteArray labelValue(const QString &s)
{
    QByteArray v = s.toUtf8();
    v.replace('\\', "\\\\").replace('"', "\\\"").replace('\n', "\\n");
    return v;
}

}  // namespace

CommandBody parseCommandBody(const QByteArray &body)
{
    CommandBody r;
    if (body.size() > kMaxBody) {
        r.error = "the body is larger than " + QByteArray::number(kMaxBody) + " bytes";
        return r;
    }
    const QJsonObject o = objectOf(body, &r.error);
    if (!r.error.isEmpty())
        return r;
    const QJsonValue cmd = o.value(QLatin1String("cmd"));
    if (!cmd.isString()) {
        r.error = cmd.isUndefined() ? "the body has no \"cmd\"" : "\"cmd\" is not a string";
        return r;
    }
    const QByteArray line = cmd.toString().toUtf8();
    if (!oneLine(line, &r.error))
        return r;
    r.cmd = line;
    r.valid = true;
    return r;
}

SocketMessage parseSocketMessage(const QByteArray &message)
{
    SocketMessage m;
    if (message.size() > kMaxBody) {
        m.error = "the message is larger than " + QByteArray::number(kMaxBody) + " bytes";
        return m;
    }
    const QJsonObject o = objectOf(message, &m.error);
    if (!m.error.isEmpty())
        return m;
    static const char *const keys[] = {"cmd", "token", "subscribe", "unsubscribe", "ping"};
    const char *key = nullptr;
    for (const char *k : keys) {
        if (!o.contains(QLatin1String(k)))
            continue;
        if (key) {
            m.error = "the message holds both \"" + QByteArray(key) + "\" and \"" + k + "\"";
            return m;
        }
        key = k;
    }
    if (!key) {
        m.error = "the message holds none of cmd, token, subscribe, unsubscribe or ping";
        return m;
    }
    const QJsonValue v = o.value(QLatin1String(key));
    const QByteArray k(key);
    if (k == "ping") {
        m.kind = SocketMessage::Kind::Ping;
        return m;
    }
    if (!v.isString()) {
        m.error = "\"" + k + "\" is not a string";
        return m;
    }
    const QByteArray value = v.toString().toUtf8();
    if (k == "subscribe" || k == "unsubscribe") {
        if (value != "levels") {
            m.error = "only \"levels\" can be subscribed to";
            return m;
        }
        m.kind = k == "subscribe" ? SocketMessage::Kind::Subscribe : SocketMessage::Kind::Unsubscribe;
        return m;
    }
    if (k == "cmd") {
        if (!oneLine(value, &m.error))
            return m;
        m.kind = SocketMessage::Kind::Command;
    } else {
        m.kind = SocketMessage::Kind::Token;
    }
    m.value = value;
    return m;
}

int commandStatus(Outcome outcome)
{
    switch (outcome) {
    case Outcome::Done:
    case Outcome::Status: return 200;
    case Outcome::Refused: return 400;
    case Outcome::NotAllowed: return 403;
    case Outcome::Busy: return 429;
    case Outcome::Unavailable: break;
    }
    return 503;
}

QByteArray commandBody(const CommandResult &result)
{
    switch (result.outcome) {
    case Outcome::Done: return QByteArrayLiteral("{\"ok\":true}");
    case Outcome::Status: return "{\"ok\":true,\"status\":" + result.text + '}';
    default: break;
    }
    QByteArray error = result.text;
    if (error.startsWith("ERR "))
        error.remove(0, 4);
    if (error.isEmpty())
        error = "the display is not taking commands now";
    return "{\"ok\":false,\"error\":" + jsonString(error) + '}';
}

QByteArray replyMessage(const QByteArray &line)
{
    return "{\"reply\":" + jsonString(line) + '}';
}

QByteArray levelsMessage(const std::array<float, 6> &levelsDb)
{
    QByteArray m = "{\"levels_db\":[";
    for (std::size_t i = 0; i < levelsDb.size(); ++i) {
        if (i)
            m += ',';
        // As in the state: JSON has no infinities, so silence is -99.
        m += std::isfinite(levelsDb[i]) ? QByteArray::number(double(levelsDb[i]), 'f', 1) : QByteArray("-99.0");
    }
    return m + "]}";
}

QByteArray bearerToken(const QByteArray &authorization)
{
    const QByteArray a = authorization.trimmed();
    if (a.size() < 7 || qstrnicmp(a.constData(), "Bearer ", 7) != 0)
        return {};
    return a.mid(7).trimmed();
}

bool tokenMatches(const QByteArray &given, const QByteArray &token)
{
    if (token.isEmpty())
        return false;
    // Every byte of the longer one is looked at, whatever the content.
    const int n = qMax(given.size(), token.size());
    unsigned diff = unsigned(given.size() ^ token.size());
    for (int i = 0; i < n; ++i) {
        const unsigned char a = i < given.size() ? uchar(given[i]) : 0;
        const unsigned char b = i < token.size() ? uchar(token[i]) : 0;
        diff |= unsigned(a ^ b);
    }
    return diff == 0;
}

namespace {

// The names this PC answers to without asking a name server, read once.
const QList<QByteArray> &ownNames()
{
    static const QList<QByteArray> names = [] {
        QList<QByteArray> n{"localhost"};
        const QByteArray host = QHostInfo::localHostName().toLower().toUtf8();
        if (!host.isEmpty()) {
            n << host << host + ".local";
            const QByteArray domain = QHostInfo::localDomainName().toLower().toUtf8();
            if (!domain.isEmpty())
                n << host + "." + domain;
        }
        return n;
    }();
    return names;
}

} // namespace

bool hostIsThisDisplay(const QByteArray &host)
{
    QByteArray name = host.toLower();
    if (name.startsWith('[')) {
        const int end = name.indexOf(']');
        name = end < 0 ? QByteArray() : name.mid(1, end - 1);
    } else if (name.count(':') == 1) {
        name = name.left(name.indexOf(':'));
    }
    if (name.endsWith('.'))
        name.chop(1);
    if (name.isEmpty())
        return false;
    return !QHostAddress(QString::fromLatin1(name)).isNull() || ownNames().contains(name);
}

bool originAllowed(const QByteArray &origin, const QByteArray &host)
{
    if (origin.isNull())
        return true;
    if (host.isEmpty())
        return false;
    const QByteArray o = origin.toLower();
    const QByteArray h = host.toLower();
    // A page of another site may rename itself to this display's address
    // (DNS rebinding): its Origin then equals its Host, but its Host is
    // that site's name. The page itself is opened by an address or this
    // PC's own name.
    return (o == "http://" + h || o == "https://" + h) && hostIsThisDisplay(h);
}

HeaderCheck checkHeaders(const QList<QByteArray> &names, int places)
{
    if (names.size() >= places)
        return {431, "the request has " + QByteArray::number(places) + " header lines or more; this display reads "
                         + QByteArray::number(places - 1) + " at most"};
    static const char *const once[] = {"Host", "Origin", "Authorization", "Content-Type", "Content-Length",
                                       "Transfer-Encoding"};
    constexpr std::size_t contentLength = 4, transferEncoding = 5;  // in `once`
    int count[std::size(once)] = {};
    for (const QByteArray &name : names) {
        for (std::size_t i = 0; i < std::size(once); ++i) {
            if (qstricmp(name.constData(), once[i]) == 0 && ++count[i] > 1)
                return {400, "the request has more than one " + QByteArray(once[i]) + " header"};
        }
    }
    // The body's end would be read two ways (request smuggling).
    if (count[contentLength] && count[transferEncoding])
        return {400, "the request has both Content-Length and Transfer-Encoding"};
    return {};
}

QByteArray lateError(int ms)
{
    return "the request did not come whole within " + QByteArray::number(ms / 1000.0) + " s";
}

QByteArray refusalAnswer(int status, const QByteArray &sentence, const QByteArray &extra)
{
    static const std::pair<int, const char *> reasons[] = {
        {400, "Bad Request"}, {403, "Forbidden"}, {404, "Not Found"}, {408, "Request Timeout"},
        {411, "Length Required"}, {413, "Payload Too Large"}, {415, "Unsupported Media Type"},
        {429, "Too Many Requests"}, {431, "Request Header Fields Too Large"}, {503, "Service Unavailable"}};
    const char *reason = "Error";
    for (const auto &r : reasons)
        if (r.first == status)
            reason = r.second;
    const QByteArray body = commandBody({Outcome::Refused, "ERR " + sentence});
    return "HTTP/1.1 " + QByteArray::number(status) + ' ' + reason + "\r\nDate: "
           + QLocale::c().toString(QDateTime::currentDateTimeUtc(), QStringLiteral("ddd, dd MMM yyyy HH:mm:ss 'GMT'")).toLatin1()
           + "\r\nContent-Type: application/json\r\nContent-Length: " + QByteArray::number(body.size())
           + "\r\nCache-Control: no-store\r\nX-Content-Type-Options: nosniff\r\n" + extra
           + "Connection: close\r\n\r\n" + body;
}

QByteArray metricsText(const QByteArray &statusJson, const Counters &counters)
{
    const QJsonObject s = QJsonDocument::fromJson(statusJson).object();
    const QJsonObject link = s.value(QLatin1String("link")).toObject();
    const QJsonObject clock = s.value(QLatin1String("clock")).toObject();
    const QString linkState = link.value(QLatin1String("state")).toString();
    const QString sync = clock.value(QLatin1String("sync")).toString();
    const QJsonValue maxError = clock.value(QLatin1String("maxerror_ms"));

    QByteArray out;
    metric(out, "lumora_info", "gauge", "The display's version and instance.");
    out += "lumora_info{version=\"" + labelValue(s.value(QLatin1String("version")).toString()) + "\",display=\""
           + labelValue(s.value(QLatin1String("instance")).toString()) + "\"} 1\n";

    metric(out, "lumora_link_state", "gauge", "The link mark: 1 for the state it shows.");
    for (const char *state : {"fine", "silent", "problem"})
        out += QByteArray("lumora_link_state{state=\"") + state + "\"} " + (linkState == QLatin1String(state) ? "1" : "0")
               + '\n';

    metric(out, "lumora_packets_decoded_total", "counter", "Valid meter packets decoded since the start.");
    out += "lumora_packets_decoded_total " + QByteArray::number(counters.packetsDecoded) + '\n';

    metric(out, "lumora_seconds_since_last_packet", "gauge", "Seconds since the last valid packet; +Inf before the first.");
    out += "lumora_seconds_since_last_packet "
           + number(counters.secondsSinceLastPacket < 0 ? INFINITY : counters.secondsSinceLastPacket) + '\n';

    metric(out, "lumora_clock_sync_state", "gauge", "The clock's sync state as the caption shows it: 1 for the current one.");
    for (const char *state : {"synced", "unsynced", "unknown"})
        out += QByteArray("lumora_clock_sync_state{state=\"") + state + "\"} " + (sync == QLatin1String(state) ? "1" : "0")
               + '\n';

    metric(out, "lumora_clock_max_error_seconds", "gauge", "The system clock's maximum error; NaN when unknown.");
    const double ms = maxError.isDouble() ? maxError.toDouble() : -1;
    out += "lumora_clock_max_error_seconds " + number(ms < 0 ? NAN : ms / 1000.0) + '\n';

    metric(out, "lumora_control_replies_dropped_total", "counter",
           "Replies to UDP commands that could not be sent since the start.");
    out += "lumora_control_replies_dropped_total " + QByteArray::number(counters.repliesDropped) + '\n';

    const QJsonObject tally = s.value(QLatin1String("tally")).toObject();
    const QDateTime since = QDateTime::fromString(tally.value(QLatin1String("since")).toString(), Qt::ISODate);
    metric(out, "lumora_tally_on", "gauge", "1 while the ON AIR lamp is lit; its source and text as labels.");
    out += "lumora_tally_on{source=\"" + labelValue(tally.value(QLatin1String("source")).toString()) + "\",text=\""
           + labelValue(tally.value(QLatin1String("text")).toString()) + "\"} "
           + (tally.value(QLatin1String("on")).toBool() ? "1" : "0") + '\n';
    metric(out, "lumora_tally_since_seconds", "gauge", "When the ON AIR lamp came on, in Unix time; NaN while dark.");
    out += "lumora_tally_since_seconds "
           + number(since.isValid() ? double(since.toMSecsSinceEpoch()) / 1000.0 : NAN) + '\n';

    const QString mqtt = s.value(QLatin1String("mqtt")).toObject().value(QLatin1String("state")).toString();
    metric(out, "lumora_mqtt_state", "gauge", "The link to the MQTT broker: 1 for its state.");
    for (const char *state : {"off", "connecting", "connected"})
        out += QByteArray("lumora_mqtt_state{state=\"") + state + "\"} " + (mqtt == QLatin1String(state) ? "1" : "0") + '\n';

    metric(out, "lumora_uptime_seconds", "gauge", "Seconds since the display started.");
    out += "lumora_uptime_seconds " + number(counters.uptimeSeconds) + '\n';
    return out;
}

Route route(const QByteArray &method, const QByteArray &path)
{
    struct Entry
    {
        const char *path;
        Route::Kind kind;
        const char *methods;  // as Allow lists them
    };
    static constexpr Entry kRoutes[] = {
        {"/", Route::Page, "GET, HEAD"},
        {"/api/status", Route::Status, "GET, HEAD"},
        {"/api/scale", Route::Scale, "GET, HEAD"},
        {"/metrics", Route::Metrics, "GET, HEAD"},
        {"/api/command", Route::Command, "POST"},
        {"/ws", Route::Socket, "GET"},
    };
    for (const Entry &e : kRoutes) {
        if (path != e.path)
            continue;
        const QByteArray methods(e.methods);
        for (const QByteArray &m : methods.split(','))
            if (m.trimmed() == method)
                return {e.kind, {}};
        return {Route::WrongMethod, methods};
    }
    return {};
}

}  // namespace WebRequest
