#pragma once

#include <QByteArray>
#include <QHostAddress>
#include <QList>
#include <QString>

#include <array>
#include <functional>

// The pure part of the web remote: what a request or a WebSocket message
// asks for, and what goes back. No sockets here, so all of it is
// table-tested and fuzzed.
namespace WebRequest {

constexpr int kMaxBody = 4096;  // a command body, and a WebSocket message

// How a command line fared, as the transports report it.
enum class Outcome {
    Done,         // OK
    Status,       // the state as JSON
    Refused,      // not a valid command
    NotAllowed,   // a write from a sender outside the allow-list
    Busy,         // over the sender's rate limit
    Unavailable,  // the display did not take it (shutting down, or not answering)
};

struct CommandResult
{
    Outcome outcome = Outcome::Unavailable;
    QByteArray text;  // the reply line: OK, the status line, or ERR and a sentence
};

// Runs one command line on the GUI thread. `authorised`: the client showed
// the token.
using Runner = std::function<CommandResult(const QByteArray &line, const QHostAddress &sender, bool authorised)>;

// Where a request goes, by its method and its path (without the query):
// the one table of what the web remote serves.
struct Route
{
    enum Kind { Page, Status, Scale, Metrics, Command, Socket, NotFound, WrongMethod };
    Kind kind = NotFound;
    QByteArray allow;  // WrongMethod: the methods the path takes, for Allow
};
Route route(const QByteArray &method, const QByteArray &path);

// The body of POST /api/command: {"cmd": "<one command line>"}.
struct CommandBody
{
    bool valid = false;
    QByteArray cmd;    // the line, when valid
    QByteArray error;  // why not, as one sentence, when not
};
CommandBody parseCommandBody(const QByteArray &body);

// One WebSocket text message from a client.
struct SocketMessage
{
    enum class Kind { Command, Token, Subscribe, Unsubscribe, Ping, Invalid };
    Kind kind = Kind::Invalid;
    QByteArray value;  // the command line or the token
    QByteArray error;  // for Invalid
};
SocketMessage parseSocketMessage(const QByteArray &message);

// What a request's header lines allow, looked at before anything else.
struct HeaderCheck
{
    int status = 0;    // 0: nothing against them; else the HTTP status of the refusal
    QByteArray error;  // why, as one sentence
};
// `names`: the header names as the server kept them, in order. `places`: how
// many it keeps at most; a request that fills them all may have lost lines
// beyond, such as an Origin, and is refused. A field that the web remote
// reads, or that says where the body ends, may come once only: the server
// hands on the first of two, where another reader may take the second.
HeaderCheck checkHeaders(const QList<QByteArray> &names, int places);

// The refusal of a request that did not come whole within `ms`.
QByteArray lateError(int ms);

// A whole HTTP answer refusing a request, as fixed text after which the
// connection closes: the JSON body of commandBody() with "ERR <sentence>",
// and `extra` header lines ("Name: value\r\n" each), if any.
QByteArray refusalAnswer(int status, const QByteArray &sentence, const QByteArray &extra = {});

// HTTP status and JSON body of a command's answer.
int commandStatus(Outcome outcome);
QByteArray commandBody(const CommandResult &result);

// A WebSocket answer to a command: {"reply": "<line>"}.
QByteArray replyMessage(const QByteArray &line);
// The six levels pushed to a subscriber: {"levels_db": [...]}.
QByteArray levelsMessage(const std::array<float, 6> &levelsDb);

// The token from an Authorization header ("Bearer <token>"); empty if none.
QByteArray bearerToken(const QByteArray &authorization);
// True only for a set token that equals the given one; the time taken does
// not depend on where they differ.
bool tokenMatches(const QByteArray &given, const QByteArray &token);

// A request without Origin (curl, Companion, scripts) or from the page
// itself (Origin http://<Host>) may write; a page of another site may not.
// A browser's page must name the display by an IP address, localhost or
// this PC's own name, so a site that points its name at the display's
// address (DNS rebinding) cannot pass for the page.
bool originAllowed(const QByteArray &origin, const QByteArray &host);
// The Host header (with or without a port) is an IP address, localhost, or
// this PC's host name (also with .local or its domain).
bool hostIsThisDisplay(const QByteArray &host);

// Counters the link keeps, for /metrics.
struct Counters
{
    quint64 packetsDecoded = 0;
    double secondsSinceLastPacket = -1;  // negative: no packet yet
    double uptimeSeconds = 0;
    quint64 repliesDropped = 0;  // UDP replies the control channel could not send
};
// Prometheus text exposition of the state (the status JSON) and counters.
QByteArray metricsText(const QByteArray &statusJson, const Counters &counters);

}  // namespace WebRequest
