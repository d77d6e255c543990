// The control port: any datagram, text or OSC, read into command lines and
// run against a fresh display state from a sender that may write. Whatever
// arrives, every reply is one line, the state stays in range, and the
// status stays valid JSON.
#include "controlcenter.h"
#include "controlcommand.h"
#include "controldatagram.h"

#include <QByteArray>
#include <QHostAddress>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLoggingCategory>

#include <cstdint>
#include <cstdlib>

namespace {

void check(bool condition)
{
    if (!condition)
        std::abort();
}

void checkParsed(const ParsedCommand &p)
{
    if (!p.ok) {
        check(!p.error.isEmpty() && !p.error.contains(QLatin1Char('\n')) && !p.error.contains(QLatin1Char('\r')));
        return;
    }
    const ControlCommand &c = p.command;
    check(c.hour >= 0 && c.hour <= 23 && c.minute >= 0 && c.minute <= 59 && c.second >= 0 && c.second <= 59);
    check(c.pair >= 0 && c.pair <= 2);
    check(c.text.toUcs4().size() <= ControlCommand::kMaxNameChars);
    for (const QChar ch : c.text)
        check(ch.unicode() >= 0x20 && !(ch.unicode() >= 0x7f && ch.unicode() < 0xa0));
    if (c.kind == ControlCommand::Kind::Ring)
        check(c.tenths > 0 && c.tenths <= 864000);
    if (c.kind == ControlCommand::Kind::EndMarkIn)
        check(c.seconds >= 1 && c.seconds <= 86399);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    static const bool quiet = [] {
        QLoggingCategory::setFilterRules(QStringLiteral("lumora.control.*=false"));
        return true;
    }();
    (void)quiet;

    const QByteArray datagram(reinterpret_cast<const char *>(data), int(size));
    const ControlDatagram decoded = decodeControlDatagram(datagram);
    check(!decoded.items.empty());

    qint64 now = 1'700'000'000'000;
    ControlCenter center(nullptr, [&now] { return now; });
    QList<QByteArray> replies;
    for (const ControlDatagram::Item &item : decoded.items) {
        check(item.line.size() <= ControlCommand::kMaxLineBytes);
        if (!item.error.isEmpty()) {
            replies << "ERR " + item.error;
            continue;
        }
        checkParsed(parseControlCommand(item.line));
        const ControlCenter::Reply reply = center.run(item.line, QHostAddress(QHostAddress::LocalHost));
        check(!reply.text.isEmpty() && !reply.text.contains('\n') && !reply.text.contains('\r'));
        check(reply.text == "OK" || reply.text.startsWith("ERR ") || reply.text.startsWith('{'));
        replies << reply.text;
        check(center.ringRemaining() >= 0.0f && center.ringRemaining() <= 86400.0f);
        now += 700;
        center.secondTicked();
    }
    // One datagram answers it all.
    check(!encodeOscReplies(replies, true).isEmpty());
    check(QJsonDocument::fromJson(center.statusJson()).isObject());
    check(!encodeOscReply(center.statusJson()).isEmpty());
    return 0;
}
