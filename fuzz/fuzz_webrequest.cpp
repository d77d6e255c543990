// What the web remote takes from outside: a POST body, a WebSocket message,
// the Authorization and Origin headers, the names of a request's headers.
// (The state that /metrics reads is the display's own, not outside input.)
// Anything accepted as a command is one line of at most 256 bytes without a
// NUL, and every answer built from input is JSON.
//
// Input: byte 0 picks what the rest is (body, message, headers, header names).
#include "webrequest.h"

#include <QByteArray>
#include <QJsonDocument>

#include <cstdint>
#include <cstdlib>

namespace {

void check(bool condition)
{
    if (!condition)
        std::abort();
}

void oneLine(const QByteArray &cmd)
{
    QByteArray body = cmd;
    while (body.endsWith('\n') || body.endsWith('\r'))
        body.chop(1);
    check(!body.contains('\n') && !body.contains('\r') && !body.contains('\0'));
    check(cmd.size() <= 256);
}

bool isJson(const QByteArray &text)
{
    QJsonParseError error{};
    QJsonDocument::fromJson(text, &error);
    return error.error == QJsonParseError::NoError;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    if (size < 1)
        return 0;
    const QByteArray input(reinterpret_cast<const char *>(data + 1), int(size - 1));
    switch (data[0] % 4) {
    case 0: {
        const WebRequest::CommandBody body = WebRequest::parseCommandBody(input);
        check(body.valid == body.error.isEmpty());
        if (body.valid)
            oneLine(body.cmd);
        // The refusal goes back as JSON, whatever the input held.
        check(isJson(WebRequest::commandBody({WebRequest::Outcome::Refused, "ERR " + body.error})));
        check(isJson(WebRequest::commandBody({WebRequest::Outcome::Refused, input})));
        break;
    }
    case 1: {
        const WebRequest::SocketMessage m = WebRequest::parseSocketMessage(input);
        using Kind = WebRequest::SocketMessage::Kind;
        check((m.kind == Kind::Invalid) == !m.error.isEmpty());
        if (m.kind == Kind::Command)
            oneLine(m.value);
        check(isJson(WebRequest::replyMessage(m.kind == Kind::Invalid ? "ERR " + m.error : m.value)));
        break;
    }
    case 3: {
        // Header names, one a line, in as many places as the server has.
        const QList<QByteArray> names = input.split('\n');
        const WebRequest::HeaderCheck c = WebRequest::checkHeaders(names, 64);
        check(c.status == 0 || c.status == 400 || c.status == 431);
        check((c.status == 0) == c.error.isEmpty());
        check(names.size() < 64 || c.status == 431);
        break;
    }
    default: {
        // Two header values, split at the first NUL.
        const int cut = input.indexOf('\0');
        const QByteArray first = cut < 0 ? input : input.left(cut);
        const QByteArray second = cut < 0 ? QByteArray() : input.mid(cut + 1);
        const QByteArray token = WebRequest::bearerToken(first);
        check(WebRequest::tokenMatches(token, second) == (!second.isEmpty() && token == second));
        WebRequest::originAllowed(first, second);
        break;
    }
    }
    return 0;
}
