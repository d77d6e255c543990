// The control channel's language: command lines, datagrams and who may send.
#include "controlaccess.h"
#include "controlcommand.h"
#include "controldatagram.h"
#include "controllogging.h"
#include "mqtttopics.h"

#include <oscpack/osc/OscOutboundPacketStream.h>

#include <QHostAddress>
#include <QTest>

#include <chrono>
#include <future>
#include <memory>
#include <thread>

namespace {

using Kind = ControlCommand::Kind;

// "kind h:m:s n tenths pair text" for a parsed command, or "ERR sentence".
QString describe(const ParsedCommand &p)
{
    if (!p.ok)
        return QStringLiteral("ERR ") + p.error;
    const ControlCommand &c = p.command;
    return QStringLiteral("%1 %2:%3:%4 %5 %6 %7 %8")
        .arg(int(c.kind)).arg(c.hour).arg(c.minute).arg(c.second).arg(c.seconds)
        .arg(c.tenths).arg(c.pair).arg(c.text);
}

QString cmd(Kind kind, int h = 0, int m = 0, int s = 0, int n = 0, qint64 tenths = 0, int pair = 0,
            const QString &text = QString())
{
    ParsedCommand p;
    p.ok = true;
    p.command.kind = kind;
    p.command.hour = h;
    p.command.minute = m;
    p.command.second = s;
    p.command.seconds = n;
    p.command.tenths = tenths;
    p.command.pair = pair;
    p.command.text = text;
    return describe(p);
}

QByteArray oscMessage(const char *address, const QList<QVariant> &args)
{
    char buffer[1024];
    osc::OutboundPacketStream s(buffer, sizeof buffer);
    s << osc::BeginMessage(address);
    for (const QVariant &a : args) {
        if (a.type() == QVariant::Int)
            s << osc::int32(a.toInt());
        else if (a.type() == QVariant::Double)
            s << float(a.toDouble());
        else if (a.type() == QVariant::ByteArray)
            s << osc::Blob(a.toByteArray().constData(), osc::osc_bundle_element_size_t(a.toByteArray().size()));
        else
            s << a.toString().toUtf8().constData();
    }
    s << osc::EndMessage;
    return QByteArray(s.Data(), int(s.Size()));
}

// "#bundle", a time tag, then each element as its size and its bytes; a
// size of its own where one is given.
QByteArray oscBundle(const QList<QByteArray> &elements, const QList<qint32> &sizes = {})
{
    QByteArray b("#bundle\0\0\0\0\0\0\0\0\1", 16);
    for (int i = 0; i < elements.size(); ++i) {
        const qint32 n = i < sizes.size() ? sizes[i] : qint32(elements[i].size());
        const char size[4] = {char(n >> 24), char(n >> 16), char(n >> 8), char(n)};
        b += QByteArray(size, 4) + elements[i];
    }
    return b;
}

} // namespace

class TestControlCommand : public QObject
{
    Q_OBJECT

private slots:
    void mqttNames_data();
    void mqttNames();
    void endmark_data();
    void endmark() { check(); }
    void ring_data();
    void ring() { check(); }
    void others_data();
    void others() { check(); }
    void datagram_data();
    void datagram();
    void allowList_data();
    void allowList();
    void rateLimit();
    void logText_data();
    void logText();

private:
    void check();
};

void TestControlCommand::check()
{
    QFETCH(QByteArray, line);
    QFETCH(QString, expected);
    QCOMPARE(describe(parseControlCommand(line)), expected);
}

void TestControlCommand::endmark_data()
{
    QTest::addColumn<QByteArray>("line");
    QTest::addColumn<QString>("expected");
    QTest::newRow("daily") << QByteArray("endmark daily 17:30:00") << cmd(Kind::EndMarkDaily, 17, 30, 0);
    QTest::newRow("case, blanks, CRLF") << QByteArray("EndMark\tDAILY  7:05:09\r\n") << cmd(Kind::EndMarkDaily, 7, 5, 9);
    QTest::newRow("last of the day") << QByteArray("endmark daily 23:59:59") << cmd(Kind::EndMarkDaily, 23, 59, 59);
    QTest::newRow("hour 24") << QByteArray("endmark daily 24:00:00") << "ERR endmark: hour 24 is not 0 to 23";
    QTest::newRow("minute 61") << QByteArray("endmark daily 17:61:00") << "ERR endmark: minute 61 is not 0 to 59";
    QTest::newRow("second 60") << QByteArray("endmark hourly 00:60") << "ERR endmark: second 60 is not 0 to 59";
    QTest::newRow("no seconds") << QByteArray("endmark daily 17:30") << "ERR endmark: expected HH:MM:SS, got '17:30'";
    QTest::newRow("three digits") << QByteArray("endmark daily 017:30:00") << "ERR endmark: expected HH:MM:SS, got '017:30:00'";
    QTest::newRow("hourly") << QByteArray("endmark hourly 59:30") << cmd(Kind::EndMarkHourly, 0, 59, 30);
    QTest::newRow("in 1") << QByteArray("endmark in 1") << cmd(Kind::EndMarkIn, 0, 0, 0, 1);
    QTest::newRow("in a day less one") << QByteArray("endmark in 86399") << cmd(Kind::EndMarkIn, 0, 0, 0, 86399);
    QTest::newRow("in 0") << QByteArray("endmark in 0") << "ERR endmark in: '0' is not a whole number of seconds from 1 to 86399";
    QTest::newRow("in a day") << QByteArray("endmark in 86400") << "ERR endmark in: '86400' is not a whole number of seconds from 1 to 86399";
    QTest::newRow("in tenths") << QByteArray("endmark in 1.5") << "ERR endmark in: '1.5' is not a whole number of seconds from 1 to 86399";
    QTest::newRow("at") << QByteArray("endmark AT 06:00:30") << cmd(Kind::EndMarkAt, 6, 0, 30);
    QTest::newRow("at, bad") << QByteArray("endmark at 6:00") << "ERR endmark: expected HH:MM:SS, got '6:00'";
    QTest::newRow("off") << QByteArray("endmark off") << cmd(Kind::EndMarkOff);
    QTest::newRow("off, more") << QByteArray("endmark off now") << "ERR endmark off: takes nothing more";
    QTest::newRow("no mode") << QByteArray("endmark") << "ERR endmark: expected daily HH:MM:SS, hourly MM:SS, in SECONDS, at HH:MM:SS or off";
    QTest::newRow("two times") << QByteArray("endmark daily 1:00:00 2:00:00") << "ERR endmark daily: expected one value";
}

void TestControlCommand::ring_data()
{
    QTest::addColumn<QByteArray>("line");
    QTest::addColumn<QString>("expected");
    QTest::newRow("45") << QByteArray("ring 45") << cmd(Kind::Ring, 0, 0, 0, 0, 450);
    QTest::newRow("tenth") << QByteArray("ring 0.1") << cmd(Kind::Ring, 0, 0, 0, 0, 1);
    QTest::newRow("hundredths round") << QByteArray("ring 12.35") << cmd(Kind::Ring, 0, 0, 0, 0, 124);
    QTest::newRow("a day") << QByteArray("ring 86400") << cmd(Kind::Ring, 0, 0, 0, 0, 864000);
    QTest::newRow("past a day") << QByteArray("ring 86400.1") << "ERR ring: 86400.1 seconds is not more than 0 and at most 86400";
    QTest::newRow("zero") << QByteArray("ring 0") << "ERR ring: 0 seconds is not more than 0 and at most 86400";
    QTest::newRow("rounds to zero") << QByteArray("ring 0.04") << "ERR ring: 0.04 seconds is not more than 0 and at most 86400";
    QTest::newRow("negative") << QByteArray("ring -5") << "ERR ring: expected SECONDS, at HH:MM:SS, add SECONDS or off, got '-5'";
    QTest::newRow("exponent") << QByteArray("ring 1e3") << "ERR ring: expected SECONDS, at HH:MM:SS, add SECONDS or off, got '1e3'";
    QTest::newRow("huge") << QByteArray("ring 99999999999999999999") << "ERR ring: expected SECONDS, at HH:MM:SS, add SECONDS or off, got '99999999999999999999'";
    QTest::newRow("at") << QByteArray("ring at 17:30:00") << cmd(Kind::RingAt, 17, 30, 0);
    QTest::newRow("at, bad") << QByteArray("ring at 17:30") << "ERR ring at: expected HH:MM:SS, got '17:30'";
    QTest::newRow("add") << QByteArray("ring add 10") << cmd(Kind::RingAdd, 0, 0, 0, 0, 100);
    QTest::newRow("take off") << QByteArray("Ring Add -10.5") << cmd(Kind::RingAdd, 0, 0, 0, 0, -105);
    QTest::newRow("add nothing") << QByteArray("ring add") << "ERR ring add: expected one number of seconds";
    QTest::newRow("off") << QByteArray("ring off\n") << cmd(Kind::RingOff);
}

void TestControlCommand::others_data()
{
    QTest::addColumn<QByteArray>("line");
    QTest::addColumn<QString>("expected");
    QTest::newRow("dots countdown") << QByteArray("dots CountDown") << cmd(Kind::DotsCountDown);
    QTest::newRow("dots normal") << QByteArray("dots normal") << cmd(Kind::DotsNormal);
    QTest::newRow("dots other") << QByteArray("dots up") << "ERR dots: expected countdown or normal";
    QTest::newRow("name") << QByteArray("name 2 Studio 2") << cmd(Kind::Name, 0, 0, 0, 0, 0, 1, QStringLiteral("Studio 2"));
    QTest::newRow("name, inner blanks kept, trailing cut") << QByteArray("name 1   On  Air \t\r\n")
                                                        << cmd(Kind::Name, 0, 0, 0, 0, 0, 0, QStringLiteral("On  Air"));
    QTest::newRow("name empty") << QByteArray("name 3") << cmd(Kind::Name, 0, 0, 0, 0, 0, 2);
    QTest::newRow("name tab is a blank") << QByteArray("name 3 CRM\tA") << cmd(Kind::Name, 0, 0, 0, 0, 0, 2, QStringLiteral("CRM A"));
    QTest::newRow("name controls removed") << QByteArray("name 1 A\x01" "B\x1b[2JC\x7f")
                                           << cmd(Kind::Name, 0, 0, 0, 0, 0, 0, QStringLiteral("AB[2JC"));
    QTest::newRow("name UTF-8, 64 characters") << QString(QStringLiteral("name 1 ") + QString(64, QChar(0x00e9))).toUtf8()
                                               << cmd(Kind::Name, 0, 0, 0, 0, 0, 0, QString(64, QChar(0x00e9)));
    QTest::newRow("name 65 characters") << QByteArray("name 1 ") + QByteArray(65, 'x') << "ERR name: 65 characters, at most 64";
    QTest::newRow("name right-to-left override") << QString(QStringLiteral("name 1 Studio \u202EA")).toUtf8()
                                                 << "ERR name: U+202E is a writing-direction control, which could make the name read as other text; send the name without it";
    QTest::newRow("name isolate") << QString(QStringLiteral("name 1 \u2066A")).toUtf8()
                                  << "ERR name: U+2066 is a writing-direction control, which could make the name read as other text; send the name without it";
    QTest::newRow("name line separator") << QString(QStringLiteral("name 2 Sub\u2028ON AIR")).toUtf8()
                                         << "ERR name: U+2028 breaks the line; a name is one line";
    QTest::newRow("name not UTF-8") << QByteArray("name 1 \xff\xfe") << "ERR name: the text is not UTF-8";
    QTest::newRow("pair 4") << QByteArray("name 4 X") << "ERR name: expected a pair number 1 to 3, got '4'";
    QTest::newRow("tally on") << QByteArray("TALLY On") << cmd(Kind::TallyOn);
    QTest::newRow("tally on with text") << QByteArray("tally on  MIC  LIVE \r\n")
                                        << cmd(Kind::TallyOn, 0, 0, 0, 0, 0, 0, QStringLiteral("MIC  LIVE"));
    QTest::newRow("tally text, 24 characters") << QString(QStringLiteral("tally text ") + QString(24, QChar(0x00c4))).toUtf8()
                                               << cmd(Kind::TallyText, 0, 0, 0, 0, 0, 0, QString(24, QChar(0x00c4)));
    QTest::newRow("tally text, 25 characters") << QByteArray("tally text ") + QByteArray(25, 'x')
                                               << "ERR tally text: 25 characters, at most 24";
    QTest::newRow("tally on, 25 characters") << QByteArray("tally on ") + QByteArray(25, 'x')
                                             << "ERR tally on: 25 characters, at most 24";
    QTest::newRow("tally text empty") << QByteArray("tally text \t ") << "ERR tally text: expected the lamp's text, at most 24 characters";
    QTest::newRow("tally text, override") << QString(QStringLiteral("tally text \u202EA")).toUtf8()
                                          << "ERR tally text: U+202E is a writing-direction control, which could make the lamp's text read as other text; send the lamp's text without it";
    QTest::newRow("tally off") << QByteArray("tally off") << cmd(Kind::TallyOff);
    QTest::newRow("tally off, more") << QByteArray("tally off now") << "ERR tally off: takes nothing more";
    QTest::newRow("tally alone") << QByteArray("tally") << "ERR tally: expected on [TEXT], off or text TEXT";
    QTest::newRow("status") << QByteArray("STATUS") << cmd(Kind::Status);
    QTest::newRow("ping") << QByteArray("ping\r") << cmd(Kind::Ping);
    QTest::newRow("ping, more") << QByteArray("ping pong") << "ERR ping: takes nothing more";
    QTest::newRow("blank") << QByteArray(" \t") << "ERR empty command";
    QTest::newRow("unknown, quoted printable") << QByteArray("reboot\x01 now")
                                               << "ERR unknown command 'reboot?'; the commands are endmark, ring, dots, name, tally, status and ping";
    QTest::newRow("line too long") << QByteArray("name 1 ") + QByteArray(250, 'x') << "ERR line longer than 256 bytes";
}

void TestControlCommand::datagram_data()
{
    QTest::addColumn<QByteArray>("datagram");
    QTest::addColumn<bool>("osc");
    QTest::addColumn<QStringList>("items");  // a line to run, or "ERR error"

    QTest::newRow("lines") << QByteArray("ring 45\r\n\nstatus\n") << false << QStringList{"ring 45", "status"};
    QTest::newRow("empty") << QByteArray("\n") << false << QStringList{"ERR empty command"};
    QTest::newRow("long line among good ones")
        << QByteArray("ping\n") + QByteArray(300, 'x') + "\nping" << false
        << QStringList{"ping", "ERR line longer than 256 bytes", "ping"};
    QTest::newRow("too big") << QByteArray(1501, 'a') << false << QStringList{"ERR datagram longer than 1500 bytes"};
    QTest::newRow("osc strings") << oscMessage("/lumora/endmark", {"daily", "17:30:00"}) << true
                                 << QStringList{"endmark daily 17:30:00"};
    QTest::newRow("osc float") << oscMessage("/lumora/ring", {45.0}) << true << QStringList{"ring 45"};
    QTest::newRow("osc tenth") << oscMessage("/lumora/ring", {0.1}) << true << QStringList{"ring 0.1"};
    QTest::newRow("osc int and text") << oscMessage("/lumora/name", {2, "Studio 2"}) << true
                                      << QStringList{"name 2 Studio 2"};
    QTest::newRow("osc other address") << oscMessage("/other/ring", {45}) << true
                                       << QStringList{"ERR osc: address /other/ring is not /lumora/<command>"};
    QTest::newRow("osc blob") << oscMessage("/lumora/ring", {QByteArray("ab")}) << true
                              << QStringList{"ERR osc: an argument of type 'b' is not taken; send strings, ints or floats"};
    QTest::newRow("osc empty bundle") << QByteArray("#bundle\0\0\0\0\x04\0\0\0en", 16) << true
                                      << QStringList{"ERR osc: the bundle holds no message"};
    QTest::newRow("osc cut short") << oscMessage("/lumora/ring", {"45"}).left(20) << true
                                   << QStringList{"ERR osc: malformed packet (arguments exceed message size)"};

    const QByteArray ping = oscMessage("/lumora/ping", {});
    const QString badSize = QStringLiteral("ERR osc: malformed packet (a bundle element's size must be above 0, "
                                           "a multiple of 4 and within the bundle, got %1)");
    QTest::newRow("osc element size -4") << oscBundle({QByteArray()}, {-4}) << true << QStringList{badSize.arg(-4)};
    QTest::newRow("osc element size 0") << oscBundle({ping, QByteArray()}) << true << QStringList{badSize.arg(0)};
    QTest::newRow("osc element size not a multiple of 4") << oscBundle({ping}, {6}) << true << QStringList{badSize.arg(6)};
    QTest::newRow("osc element size past the end") << oscBundle({ping}, {ping.size() + 4}) << true
                                                   << QStringList{badSize.arg(ping.size() + 4)};
    QTest::newRow("osc element size most negative") << oscBundle({ping}, {qint32(0x80000000)}) << true
                                                    << QStringList{badSize.arg(qint32(0x80000000))};
    QTest::newRow("osc -4 in a nested bundle") << oscBundle({ping, oscBundle({QByteArray()}, {-4})}) << true
                                               << QStringList{badSize.arg(-4)};
    QTest::newRow("osc bundle head cut short") << QByteArray("#bundle\0\0\0\0\0", 12) << true
                                               << QStringList{"ERR osc: malformed packet (a bundle begins with #bundle and a time tag)"};
    QTest::newRow("osc element that is no bundle") << oscBundle({QByteArray("#bundlX\0", 8) + QByteArray(8, 0)}) << true
                                                   << QStringList{"ERR osc: malformed packet (a bundle begins with #bundle and a time tag)"};
    QByteArray deep = ping;
    for (int i = 0; i < ControlDatagram::kMaxBundleDepth + 1; ++i)
        deep = oscBundle({deep});
    QTest::newRow("osc bundles nested too deep") << deep << true << QStringList{"ERR osc: bundles nested too deep"};

    char buffer[1024];
    osc::OutboundPacketStream bundle(buffer, sizeof buffer);
    bundle << osc::BeginBundle(12345) << osc::BeginMessage("/lumora/ring") << osc::int32(30) << osc::EndMessage
           << osc::BeginBundleImmediate << osc::BeginMessage("/lumora/ping") << osc::EndMessage << osc::EndBundle
           << osc::EndBundle;
    QTest::newRow("osc nested bundle, time tag ignored") << QByteArray(bundle.Data(), int(bundle.Size())) << true
                                                         << QStringList{"ring 30", "ping"};
}

void TestControlCommand::datagram()
{
    QFETCH(QByteArray, datagram);
    QFETCH(bool, osc);
    QFETCH(QStringList, items);
    // Decoded on a thread of its own, so a datagram that would hang the
    // display fails the row instead of hanging the test. A hung decoder is
    // left behind; the failure ends the run.
    auto done = std::make_shared<std::promise<ControlDatagram>>();
    std::future<ControlDatagram> decoding = done->get_future();
    std::thread([done, datagram] { done->set_value(decodeControlDatagram(datagram)); }).detach();
    if (decoding.wait_for(std::chrono::seconds(5)) != std::future_status::ready)
        QFAIL("the datagram was not decoded within 5 s");
    const ControlDatagram d = decoding.get();
    QCOMPARE(d.form == ControlDatagram::Form::Osc, osc);
    QStringList got;
    for (const ControlDatagram::Item &item : d.items)
        got << (item.error.isEmpty() ? QString::fromUtf8(item.line) : "ERR " + QString::fromUtf8(item.error));
    QCOMPARE(got, items);
}

void TestControlCommand::allowList_data()
{
    QTest::addColumn<QString>("list");
    QTest::addColumn<QString>("sender");
    QTest::addColumn<bool>("allowed");
    QTest::newRow("default, this PC") << AllowList::kDefault << "127.0.0.9" << true;
    QTest::newRow("default, mapped") << AllowList::kDefault << "::ffff:127.0.0.1" << true;
    QTest::newRow("default, studio") << AllowList::kDefault << "10.20.1.5" << false;
    QTest::newRow("range edge in") << "10.20.0.0/16" << "10.20.255.255" << true;
    QTest::newRow("range edge out") << "10.20.0.0/16" << "10.21.0.0" << false;
    QTest::newRow("host bits in the network") << "10.20.7.7/16" << "10.20.0.1" << true;
    QTest::newRow("single address") << " 192.168.1.7 , 10.0.0.0/8" << "192.168.1.7" << true;
    QTest::newRow("bad entries left out") << "studio, 300.1.1.1, 10.0.0.0/33, ::1" << "10.0.0.1" << false;
    QTest::newRow("everyone, on purpose") << "0.0.0.0/0" << "203.0.113.9" << true;
    QTest::newRow("IPv6 sender") << "0.0.0.0/0" << "2001:db8::1" << false;
}

void TestControlCommand::allowList()
{
    QFETCH(QString, list);
    QFETCH(QString, sender);
    QFETCH(bool, allowed);
    QCOMPARE(AllowList::parse(list).allows(QHostAddress(sender)), allowed);
}

// 20 a second with a burst of 20; each trusted sender on its own, all
// others in one bucket; a flood of sources cannot grow the table past its
// bound, nor take a trusted sender's share.
void TestControlCommand::rateLimit()
{
    RateLimit limit(20);
    int taken = 0;
    for (int i = 0; i < 25; ++i)
        taken += limit.take(QStringLiteral("a"), true, 1000);
    QCOMPARE(taken, 20);
    QVERIFY(limit.take(QStringLiteral("b"), true, 1000));
    QVERIFY(!limit.take(QStringLiteral("a"), true, 1049));
    QVERIFY(limit.take(QStringLiteral("a"), true, 1050));

    taken = 0;
    for (int i = 0; i < 100; ++i)
        taken += limit.take(QString::number(i), false, 1000);
    QCOMPARE(taken, 20);
    QCOMPARE(limit.senders(), 2);
    QVERIFY(limit.take(QStringLiteral("c"), true, 1000));

    QVERIFY(limit.busyReplyDue(QStringLiteral("x"), false, 1000));
    QVERIFY(!limit.busyReplyDue(QStringLiteral("y"), false, 1999));
    QVERIFY(limit.busyReplyDue(QStringLiteral("y"), false, 2000));
    QVERIFY(limit.busyReplyDue(QStringLiteral("a"), true, 2000));

    for (int i = 0; i < RateLimit::kMaxSenders + 10; ++i)
        QVERIFY(limit.take(QString::number(i), true, 2000));
    QCOMPARE(limit.senders(), RateLimit::kMaxSenders);
    // Full of active senders: the one heard from longest ago makes room, and
    // one heard from lately keeps what it took.
    for (int i = 0; i < 19; ++i)
        limit.take(QStringLiteral("4100"), true, 2000);
    QVERIFY(limit.take(QStringLiteral("new"), true, 2000));
    QCOMPARE(limit.senders(), RateLimit::kMaxSenders);
    QVERIFY(!limit.take(QStringLiteral("4100"), true, 2000));
    QVERIFY(limit.take(QStringLiteral("late"), true, 2000 + 61000));
    QCOMPARE(limit.senders(), 1);
}

void TestControlCommand::logText_data()
{
    QTest::addColumn<QByteArray>("outside");
    QTest::addColumn<QString>("logged");
    QTest::newRow("a forged line") << QByteArray("name 1 A\n2026-12-09 lumora.app info: quit by user")
                                   << QStringLiteral("name 1 A\\n2026-12-09 lumora.app info: quit by user");
    QTest::newRow("CR, tab, backslash") << QByteArray("a\rb\tc\\n") << QStringLiteral("a\\rb\\tc\\\\n");
    QTest::newRow("ESC, BEL, BS, DEL") << QByteArray("\x1b[2J\x07\x08\x7f") << QStringLiteral("\\x1b[2J\\x07\\x08\\x7f");
    QTest::newRow("NUL does not cut it short") << QByteArray("name 2 Sub\0 <img src=/dev/zero>", 31)
                                               << QStringLiteral("name 2 Sub\\x00 <img src=/dev/zero>");
    QTest::newRow("C1 control") << QString(QChar(0x9b)).toUtf8() << QStringLiteral("\\x9b");
    QTest::newRow("direction and line controls") << QString(QStringLiteral("A\u202EB\u2028C")).toUtf8()
                                                 << QStringLiteral("A\\u{202e}B\\u{2028}C");
    QTest::newRow("UTF-8 kept") << QByteArray("Studio K\xc3\xb6ln") << QString(QStringLiteral("Studio K\u00f6ln"));
    QTest::newRow("not UTF-8") << QByteArray("K\xf6ln\n") << QStringLiteral("K\\xf6ln\\n");
}

void TestControlCommand::logText()
{
    QFETCH(QByteArray, outside);
    QFETCH(QString, logged);
    QCOMPARE(::logText(outside), logged);
}

// What the MQTT settings name: the broker, this display's id, its groups.
void TestControlCommand::mqttNames_data()
{
    QTest::addColumn<QString>("broker");
    QTest::addColumn<QString>("parsed");   // "tls host port", or ERR and the sentence
    QTest::addColumn<QStringList>("id");   // mqtt_id, host name, instance, expected
    QTest::addColumn<QString>("groups");
    QTest::addColumn<QString>("taken");    // the groups taken | those left out

    QTest::newRow("plain, port given") << "mqtt://broker.studio:1884" << "0 broker.studio 1884"
                                       << QStringList{"", "Wall-PC", "", "wall-pc"} << "news, studio-a"
                                       << "news,studio-a|";
    QTest::newRow("tls, default port") << " MQTTS://10.20.1.5/ " << "1 10.20.1.5 8883"
                                       << QStringList{"", "Studio_1", "sub", "studio-1-sub"} << "news,,news" << "news|";
    QTest::newRow("IPv6 in brackets") << "mqtt://[fd00::5]" << "0 fd00::5 1883"
                                      << QStringList{QString::fromUtf8("Studio 2 \xc3\x9c"), "host", "", "studio-2--"}
                                      << "a/b, +, #, ok" << "ok|a/b,+,#";
    QTest::newRow("no scheme") << "broker:1883" << "ERR is not mqtt://HOST:PORT or mqtts://HOST:PORT"
                               << QStringList{"", "", "", "lumora"} << "" << "|";
    QTest::newRow("port 0") << "mqtt://broker:0" << "ERR has a port that is not 1 to 65535"
                            << QStringList{"all", "", "", "lumora-all"} << "" << "|";
    QTest::newRow("login in the address") << "mqtt://user:pw@broker"
                                          << "ERR names no host (a login goes in mqtt_user and mqtt_password)"
                                          << QStringList{"", "group", "", "lumora-group"} << "" << "|";
    QTest::newRow("IPv6 bare") << "mqtt://fd00::5:1883" << "ERR has an IPv6 address that is not in brackets ([::1]:1883)"
                               << QStringList{"x", "host", "b", "x"} << "" << "|";
}

void TestControlCommand::mqttNames()
{
    QFETCH(QString, broker);
    QFETCH(QString, parsed);
    QFETCH(QStringList, id);
    QFETCH(QString, groups);
    QFETCH(QString, taken);

    const MqttTopics::Broker b = MqttTopics::parseBroker(broker);
    QCOMPARE(b.ok ? QStringLiteral("%1 %2 %3").arg(int(b.tls)).arg(b.host).arg(b.port) : QStringLiteral("ERR ") + b.error,
             parsed);
    QCOMPARE(MqttTopics::displayId(id[0], id[1], id[2]), id[3]);
    QStringList refused;
    const QStringList names = MqttTopics::groups(groups, &refused);
    QCOMPARE(names.join(QLatin1Char(',')) + QLatin1Char('|') + refused.join(QLatin1Char(',')), taken);
    const MqttTopics::Topics t = MqttTopics::topics(QStringLiteral("lumora"), id[3], names);
    QCOMPARE(t.availability, "lumora/" + id[3].toUtf8() + "/availability");
    QCOMPARE(t.all, QByteArray("lumora/all/cmd"));
    QCOMPARE(t.groups.size(), names.size());
    if (!names.isEmpty())
        QCOMPARE(t.groups.first(), "lumora/group/" + names.first().toUtf8() + "/cmd");
}

QTEST_APPLESS_MAIN(TestControlCommand)
#include "tst_controlcommand.moc"
