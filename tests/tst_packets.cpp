#include "datagramfilter.h"
#include "linkcompose.h"
#include "linkrebuild.h"
#include "tallysource.h"
#include "linksilence.h"
#include "meterpacket.h"
#include "meterrelease.h"
#include "meterscale.h"
#include "packetframer.h"
#include "portnumber.h"

#include <QHostAddress>
#include <QRandomGenerator>
#include <QtTest>

#include <limits>

Q_DECLARE_METATYPE(CommSettings)

using Packets = QList<QByteArray>;

namespace {

QByteArray packet(quint16 w0, quint16 w1 = 0, quint16 w2 = 0, quint16 w3 = 0, quint16 w4 = 0,
                  quint16 w5 = 0)
{
    const MeterPacket::Bytes b = MeterPacket::encode({w0, w1, w2, w3, w4, w5});
    return QByteArray(reinterpret_cast<const char *>(b.data()), int(b.size()));
}

QByteArray bytes(std::initializer_list<quint8> list)
{
    QByteArray out;
    for (quint8 b : list)
        out.append(char(b));
    return out;
}

QByteArray withByte(QByteArray data, int index, quint8 value)
{
    data[index] = char(value);
    return data;
}

QByteArray repeated(quint8 value, int count)
{
    return QByteArray(count, char(value));
}

// Feeds the chunks in turn and collects every packet handed out.
Packets feedChunks(PacketFramer &framer, const QList<QByteArray> &chunks)
{
    Packets out;
    for (const QByteArray &chunk : chunks) {
        const int n = framer.feed(chunk, [&out](const std::uint8_t *p) {
            out.append(QByteArray(reinterpret_cast<const char *>(p), int(MeterPacket::kSize)));
        });
        Q_UNUSED(n)
    }
    return out;
}

void addFramerRow(const QByteArray &stream, const Packets &expected, int pending)
{
    QTest::newRow(stream.toHex(' ').constData()) << stream << expected << pending;
}

} // namespace

class TestPackets : public QObject
{
    Q_OBJECT

private slots:
    void framer_data();
    void framer();
    void framerChunkSequences();
    void framerCountsSkippedBytes_data();
    void framerCountsSkippedBytes();
    void framerCountsWhatItHandsOut();
    void framerFindsPacketAfterAnyGarbage();
    void framerFollowsLongStream();

    void decode_data();
    void decode();

    void release_data();
    void release();
    void releaseAboveScaleTop();

    void datagram_data();
    void datagram();

    void silence_data();
    void silence();
    void deadLinkBringsMetersDown();

    void port_data();
    void port();

    void linkRebuild_data();
    void linkRebuild();
    void linkState_data();
    void linkState();

    void tallyLine_data();
    void tallyLine();
};

// ---------------------------------------------------------------------------
// Serial framing

void TestPackets::framer_data()
{
    QTest::addColumn<QByteArray>("stream");
    QTest::addColumn<Packets>("expected");
    QTest::addColumn<int>("pending");

    const QByteArray p1 = packet(0x0000, 0xC350, 0xFFFF, 0x1234, 0xD6D8, 0x0001);
    const QByteArray p2 = packet(0xC350, 0xC350, 0x9C40, 0x9C40, 0x2710, 0x2710);
    const QByteArray p3 = packet(0x0102, 0x0304, 0x0506, 0x0708, 0x090A, 0x0B0C);

    // Exact packets, and several in one read.
    addFramerRow(p1, {p1}, 0);
    addFramerRow(p1 + p2, {p1, p2}, 0);
    addFramerRow(p1 + p2 + p3, {p1, p2, p3}, 0);

    // Binary level bytes that look like a line end are data, not line ends.
    const QByteArray crlfWord = packet(0x0D0A, 0x0D0A, 0x0D0D, 0x0A0A, 0x0D0A, 0x0D0A);
    addFramerRow(crlfWord, {crlfWord}, 0);
    const QByteArray crlfAcross = packet(0x000D, 0x0A00, 0x0D0D, 0x0A0D, 0x0A0D, 0x0A00);
    addFramerRow(crlfAcross + p2, {crlfAcross, p2}, 0);

    // Garbage before a packet.
    addFramerRow(bytes({0x00, 0x01, 0x02}) + p1, {p1}, 0);
    addFramerRow(bytes({0x55, 0x55, 0x0D, 0x0A, 0xAA}) + p2, {p2}, 0);
    addFramerRow(repeated(0x00, 40) + p1, {p1}, 0);
    addFramerRow(p1.left(10) + p2, {p2}, 0);

    // A lone start byte before a real start mark.
    addFramerRow(bytes({0xAA}) + p1, {p1}, 0);
    addFramerRow(bytes({0xAA, 0xAA, 0xAA}) + p2, {p2}, 0);

    // Wrong end marks: nothing from that window, and the search slides on.
    addFramerRow(withByte(p1, 15, 0x54), {}, 0);
    addFramerRow(withByte(p1, 14, 0x54), {}, 0);
    addFramerRow(withByte(p1, 15, 0x54) + p2, {p2}, 0);
    addFramerRow(withByte(p1, 1, 0xAB) + p2, {p2}, 0);
    addFramerRow(p1 + withByte(p2, 14, 0x00) + p3, {p1, p3}, 0);

    // Garbage that itself forms the marks of a window overlapping the packet
    // that follows: the window is handed out, and so is the packet.
    const QByteArray endsIn55 = packet(0x1111, 0x2222, 0x3333, 0x4444, 0x6666, 0x0055);
    addFramerRow(bytes({0xAA}) + endsIn55, {bytes({0xAA}) + endsIn55.left(15), endsIn55}, 0);
    const QByteArray endsIn5555 = packet(0x1111, 0x2222, 0x3333, 0x4444, 0x6666, 0x5555);
    addFramerRow(bytes({0xAA, 0xAA}) + endsIn5555,
                 {bytes({0xAA, 0xAA}) + endsIn5555.left(14),
                  bytes({0xAA}) + endsIn5555.left(15), endsIn5555},
                 0);

    // The tail kept for the next read: only what could still begin a packet.
    addFramerRow(p1 + bytes({0xAA}), {p1}, 1);
    addFramerRow(p1 + p2.left(15), {p1}, 15);
    addFramerRow(bytes({0x01, 0xAA}), {}, 1);
    addFramerRow(bytes({0xAA, 0xAA, 0x01}), {}, 3);
    addFramerRow(bytes({0xAA, 0x01, 0xAA}), {}, 1);
    addFramerRow(bytes({0x55, 0x55}), {}, 0);
    addFramerRow(repeated(0xAA, 15), {}, 14);
    addFramerRow(repeated(0xAA, 40), {}, 14);
    addFramerRow(p1.left(15), {}, 15);
    addFramerRow(withByte(p1, 14, 0x00).left(15), {}, 0);
    // A level word 0xAAAA makes a possible start inside the packet.
    const QByteArray aaaaLast = packet(0x0101, 0x0202, 0x0303, 0x0404, 0x0505, 0xAAAA);
    addFramerRow(aaaaLast, {aaaaLast}, 4);
}

// Every row is fed whole, one byte at a time, and split in two at every
// offset; the packets found and the bytes kept must not depend on the cut.
void TestPackets::framer()
{
    QFETCH(QByteArray, stream);
    QFETCH(Packets, expected);
    QFETCH(int, pending);

    {
        PacketFramer framer;
        QCOMPARE(feedChunks(framer, {stream}), expected);
        QCOMPARE(framer.pending(), pending);
    }
    {
        PacketFramer framer;
        QList<QByteArray> singles;
        for (char c : stream)
            singles.append(QByteArray(1, c));
        QCOMPARE(feedChunks(framer, singles), expected);
        QCOMPARE(framer.pending(), pending);
    }
    for (int cut = 0; cut <= stream.size(); ++cut) {
        PacketFramer framer;
        const Packets got = feedChunks(framer, {stream.left(cut), stream.mid(cut)});
        if (got != expected || framer.pending() != pending)
            QFAIL(qPrintable(QStringLiteral("differs when cut after byte %1").arg(cut)));
    }
}

// What resyncing cost, whatever the reads: only bytes that no packet handed
// out used, and at a reopen the bytes let go.
void TestPackets::framerCountsSkippedBytes_data()
{
    QTest::addColumn<QByteArray>("stream");
    QTest::addColumn<int>("packets");
    QTest::addColumn<int>("skipped");
    QTest::addColumn<int>("afterReset");

    const QByteArray good = packet(0xC350, 0xC350, 0x9C40, 0x9C40, 0x2710, 0x2710);
    QByteArray bad = good;
    bad[15] = char(0x54);
    // 5 bytes of noise, a packet, a wrong end mark's 16 bytes, a packet, and
    // 10 bytes a reopen lets go.
    QTest::newRow("noise, bad end mark, cut tail")
        << QByteArray::fromHex("0102AA5503") + good + bad + good + good.left(10) << 2 << 5 + 16 << 5 + 16 + 10;
    // A clean line whose ProgLeft is about -6.5 dB (high byte 0xAA): the end
    // of each packet could begin the next, yet nothing is skipped.
    const QByteArray aaLevel = packet(0xAA10, 0xC350, 0xAAAA, 0x0001, 0x2710, 0xAA55);
    QTest::newRow("clean line, ProgLeft AA xx")
        << aaLevel + aaLevel + aaLevel + aaLevel << 4 << 0 << 0;
    QTest::newRow("clean line, cut packet at reopen") << aaLevel + aaLevel.left(7) << 1 << 0 << 7;
}

void TestPackets::framerCountsSkippedBytes()
{
    QFETCH(QByteArray, stream);
    QFETCH(int, packets);
    QFETCH(int, skipped);
    QFETCH(int, afterReset);

    QList<QList<QByteArray>> readings;
    readings.append({stream});
    for (int size : {1, 7, 16}) {
        QList<QByteArray> chunks;
        for (int at = 0; at < stream.size(); at += size)
            chunks.append(stream.mid(at, size));
        readings.append(chunks);
    }
    for (const QList<QByteArray> &chunks : qAsConst(readings)) {
        PacketFramer framer;
        QCOMPARE(feedChunks(framer, chunks).size(), packets);
        QCOMPARE(framer.skippedBytes(), std::uint64_t(skipped));
        framer.reset();
        QCOMPARE(framer.skippedBytes(), std::uint64_t(afterReset));
    }
}

void TestPackets::framerChunkSequences()
{
    const QByteArray p1 = packet(0xC350, 0x0001, 0x0002, 0x0003, 0x0004, 0x0005);
    const QByteArray p2 = packet(0x0000, 0xFFFF, 0x0D0A, 0x0A0D, 0x5555, 0xAA55);

    // 10 bytes then 7: the packet, and the 17th byte (the next packet's
    // first) waits; the rest of that packet then completes it.
    PacketFramer framer;
    QCOMPARE(feedChunks(framer, {p1.left(10)}), Packets{});
    QCOMPARE(framer.pending(), 10);
    QCOMPARE(feedChunks(framer, {p1.mid(10) + p2.left(1)}), Packets{p1});
    QCOMPARE(framer.pending(), 1);
    QCOMPARE(feedChunks(framer, {p2.mid(1)}), Packets{p2});
    QCOMPARE(framer.pending(), 0);

    // 10 then 6: once, and nothing left over.
    framer.reset();
    QCOMPARE(feedChunks(framer, {p1.left(10), p1.mid(10)}), Packets{p1});
    QCOMPARE(framer.pending(), 0);

    // A whole packet that arrives while 5 bytes wait completes nothing from
    // them but is itself found.
    framer.reset();
    QCOMPARE(feedChunks(framer, {p1.left(5), p2}), Packets{p2});

    // Empty reads change nothing.
    framer.reset();
    QCOMPARE(feedChunks(framer, {p1.left(7), QByteArray(), p1.mid(7), QByteArray()}), Packets{p1});

    // reset() forgets the carried half.
    framer.reset();
    feedChunks(framer, {p1.left(8)});
    framer.reset();
    QCOMPARE(framer.pending(), 0);
    QCOMPARE(feedChunks(framer, {p1.mid(8)}), Packets{});
}

void TestPackets::framerCountsWhatItHandsOut()
{
    const QByteArray stream = packet(1) + bytes({0x00, 0xAA}) + packet(2) + packet(3).left(9);
    PacketFramer framer;
    int handed = 0;
    const auto count = [&handed](const std::uint8_t *) { ++handed; };
    QCOMPARE(framer.feed(stream, count), 2);
    QCOMPARE(handed, 2);
    QCOMPARE(framer.feed(packet(3).mid(9), count), 1);
    QCOMPARE(handed, 3);
}

// Random garbage, rich in mark bytes, followed by a random packet, cut into
// random reads: the packet is always the last one handed out, and everything
// handed out carries both marks.
void TestPackets::framerFindsPacketAfterAnyGarbage()
{
    QRandomGenerator rng(20240605);
    const auto markish = [&rng]() -> char {
        switch (rng.bounded(4)) {
        case 0: return char(0xAA);
        case 1: return char(0x55);
        default: return char(rng.bounded(256));
        }
    };
    for (int round = 0; round < 20000; ++round) {
        QByteArray garbage;
        const int garbageSize = int(rng.bounded(40));
        for (int i = 0; i < garbageSize; ++i)
            garbage.append(markish());
        QByteArray valid = packet(0);
        for (int i = 2; i < 14; ++i)
            valid[i] = markish();

        const QByteArray stream = garbage + valid;
        QList<QByteArray> chunks;
        for (int at = 0; at < stream.size();) {
            const int n = 1 + int(rng.bounded(20));
            chunks.append(stream.mid(at, n));
            at += n;
        }
        PacketFramer framer;
        const Packets got = feedChunks(framer, chunks);
        if (got.isEmpty() || got.last() != valid)
            QFAIL(qPrintable("lost after garbage: " + stream.toHex(' ')));
        for (const QByteArray &p : got) {
            if (!MeterPacket::hasMarks(reinterpret_cast<const std::uint8_t *>(p.constData())))
                QFAIL(qPrintable("handed out without marks: " + p.toHex(' ')));
        }
        QVERIFY(framer.pending() <= PacketFramer::kMaxPending);
    }
}

// A console's stream at serial speed, with an occasional burst of line noise,
// in the odd read sizes a USB adapter produces: every packet arrives, in order.
void TestPackets::framerFollowsLongStream()
{
    QRandomGenerator rng(7);
    QByteArray stream;
    Packets sent;
    for (int i = 0; i < 7200; ++i) {
        if (i % 97 == 0) {
            for (int n = int(rng.bounded(12)); n > 0; --n)
                stream.append(char(0x55 ^ rng.bounded(2)));  // no 0xAA: nothing false to find
        }
        const QByteArray p = packet(quint16(rng.bounded(65536)), quint16(i), 0xC350, 0x9C40,
                                    quint16(rng.bounded(50000)), quint16(i * 7));
        sent.append(p);
        stream += p;
    }
    PacketFramer framer;
    QList<QByteArray> chunks;
    for (int at = 0; at < stream.size();) {
        const int n = 1 + int(rng.bounded(64));
        chunks.append(stream.mid(at, n));
        at += n;
    }
    const Packets got = feedChunks(framer, chunks);
    QCOMPARE(got.size(), sent.size());
    QCOMPARE(got, sent);
}

// ---------------------------------------------------------------------------
// Decoding

void TestPackets::decode_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<QList<double>>("levels");

    const QByteArray worked = packet(0x0000, 0xC350, 0xFFFF, 0xD6D8, 0x0001, 0x0D0A);
    QTest::newRow(worked.toHex(' ').constData())
        << worked << QList<double>{-50.0, 0.0, 15.535, 5.0, -49.999, -46.662};
    const QByteArray order = packet(1000, 2000, 3000, 4000, 5000, 6000);
    QTest::newRow(order.toHex(' ').constData())
        << order << QList<double>{-49.0, -48.0, -47.0, -46.0, -45.0, -44.0};
}

void TestPackets::decode()
{
    QFETCH(QByteArray, bytes);
    QFETCH(QList<double>, levels);

    PacketFramer framer;
    MeterPacket::Levels got{};
    QCOMPARE(framer.feed(bytes, [&got](const std::uint8_t *p) { got = MeterPacket::decode(p); }), 1);
    for (int i = 0; i < levels.size(); ++i)
        QCOMPARE(got[std::size_t(i)], levels[i]);
}

// ---------------------------------------------------------------------------
// Release

namespace {

struct Run
{
    double level;
    int writes;
};

// The meter's side of a tick: the written level is clamped to its scale.
Run runRelease(double level, double target, int ticks, const MeterScale::Range &range)
{
    int writes = 0;
    for (int i = 0; i < ticks; ++i) {
        const MeterRelease::ReleaseResult r = MeterRelease::releaseStep(level, target);
        if (r.write) {
            level = MeterScale::clampLevel(r.value, range);
            ++writes;
        }
    }
    return {level, writes};
}

} // namespace

void TestPackets::release_data()
{
    QTest::addColumn<double>("current");
    QTest::addColumn<double>("target");
    QTest::addColumn<int>("ticks");
    QTest::addColumn<double>("expected");
    QTest::addColumn<double>("tolerance");
    QTest::addColumn<int>("writes");

    constexpr double inf = std::numeric_limits<double>::infinity();
    constexpr double nan = std::numeric_limits<double>::quiet_NaN();

    QTest::newRow("floor, target on floor: left alone") << -50.0 << -50.0 << 3 << -50.0 << 0.0 << 0;
    QTest::newRow("below floor, target on floor: left alone") << -60.0 << -50.0 << 1 << -60.0 << 0.0 << 0;
    QTest::newRow("-50 to -20: one tick, exactly") << -50.0 << -20.0 << 1 << -20.0 << 0.0 << 1;
    QTest::newRow("-30 to +3: one tick, exactly") << -30.0 << 3.0 << 1 << 3.0 << 0.0 << 1;
    QTest::newRow("0 to -50: one step") << 0.0 << -50.0 << 1 << -0.13300000131130219 << 0.0 << 1;
    QTest::newRow("0 to -50: -13.3 after 100 ticks") << 0.0 << -50.0 << 100 << -13.3 << 1e-6 << 100;
    QTest::newRow("0 to -50: exactly -50 in 376 ticks, then rest")
        << 0.0 << -50.0 << 400 << -50.0 << 0.0 << 376;
    QTest::newRow("-10 to -10.1: one tick") << -10.0 << -10.1 << 1 << -10.1 << 1e-7 << 1;
    QTest::newRow("-10 to -10.1: exact on the next tick, then rest")
        << -10.0 << -10.1 << 5 << -10.1 << 0.0 << 2;
    QTest::newRow("steady level: nothing to do") << -12.0 << -12.0 << 3 << -12.0 << 0.0 << 0;
    QTest::newRow("target -inf falls by steps") << 0.0 << -inf << 2 << -0.26600000262260437 << 0.0 << 2;
    QTest::newRow("target +inf pins the top") << 0.0 << inf << 2 << 5.0 << 0.0 << 2;
    QTest::newRow("target beyond float range pins the top") << -20.0 << 1e300 << 1 << 5.0 << 0.0 << 1;
    QTest::newRow("NaN target: written, the clamp reads the floor") << -20.0 << nan << 1 << -50.0 << 0.0 << 1;
    QTest::newRow("NaN level recovers towards target") << nan << -20.0 << 2 << -20.0 << 0.0 << 2;
}

void TestPackets::release()
{
    QFETCH(double, current);
    QFETCH(double, target);
    QFETCH(int, ticks);
    QFETCH(double, expected);
    QFETCH(double, tolerance);
    QFETCH(int, writes);

    const Run run = runRelease(current, target, ticks, MeterScale::makeRange(-50.0, 5.0));
    QCOMPARE(run.writes, writes);
    if (!(qAbs(run.level - expected) <= tolerance))
        QFAIL(qPrintable(QStringLiteral("level %1, expected %2").arg(run.level, 0, 'g', 17).arg(expected, 0, 'g', 17)));
}

// A target of +10 on a +5 dB meter: written as +10 every tick, clamped to +5
// by the meter, so the bar reaches full height once and never moves again.
void TestPackets::releaseAboveScaleTop()
{
    constexpr int barPixels = 400;
    const MeterScale::Range range = MeterScale::makeRange(-50.0, 5.0);
    double level = -50.0;
    int bar = MeterScale::dinHeights(level, barPixels, range).bar;
    QCOMPARE(bar, 0);
    int barChanges = 0;
    for (int tick = 0; tick < 50; ++tick) {
        const MeterRelease::ReleaseResult r = MeterRelease::releaseStep(level, 10.0);
        QVERIFY(r.write);
        QCOMPARE(r.value, 10.0);
        level = MeterScale::clampLevel(r.value, range);
        QCOMPARE(level, 5.0);
        const int newBar = MeterScale::dinHeights(level, barPixels, range).bar;
        if (newBar != bar)
            ++barChanges;
        bar = newBar;
    }
    QCOMPARE(bar, barPixels);
    QCOMPARE(barChanges, 1);
}

// ---------------------------------------------------------------------------
// UDP datagram acceptance

void TestPackets::datagram_data()
{
    QTest::addColumn<QString>("clientHost");
    QTest::addColumn<QString>("sender");
    QTest::addColumn<QByteArray>("datagram");
    QTest::addColumn<bool>("accepted");

    const QByteArray p = packet(0xC350, 0xC350, 0x9C40, 0x9C40, 0x2710, 0x2710);

    QTest::newRow("from client_host") << "127.0.0.1" << "127.0.0.1" << p << true;
    QTest::newRow("from client_host, mapped") << "127.0.0.1" << "::ffff:127.0.0.1" << p << true;
    QTest::newRow("from another sender") << "127.0.0.1" << "127.0.0.2" << p << false;
    QTest::newRow("from another sender, mapped") << "127.0.0.1" << "::ffff:127.0.0.2" << p << false;
    QTest::newRow("client_host with blanks") << " 127.0.0.1 " << "127.0.0.1" << p << true;
    QTest::newRow("LAN server") << "192.168.1.20" << "::ffff:192.168.1.20" << p << true;

    QTest::newRow("17 bytes") << "127.0.0.1" << "127.0.0.1" << p + bytes({0x00}) << false;
    QTest::newRow("15 bytes") << "127.0.0.1" << "127.0.0.1" << p.left(15) << false;
    QTest::newRow("empty") << "127.0.0.1" << "127.0.0.1" << QByteArray() << false;
    QTest::newRow("two packets") << "127.0.0.1" << "127.0.0.1" << p + p << false;
    QTest::newRow("wrong end mark") << "127.0.0.1" << "127.0.0.1" << withByte(p, 15, 0x54) << false;
    QTest::newRow("wrong start mark") << "127.0.0.1" << "127.0.0.1" << withByte(p, 0, 0xAB) << false;

    // client_host must be an IPv4 literal.
    QTest::newRow("host name") << "localhost" << "127.0.0.1" << p << false;
    QTest::newRow("IPv6 loopback") << "::1" << "::1" << p << false;
    QTest::newRow("IPv6 text of a mapped address") << "::ffff:127.0.0.1" << "127.0.0.1" << p << false;
    QTest::newRow("empty client_host") << "" << "127.0.0.1" << p << false;
    QTest::newRow("any address is no sender") << "0.0.0.0" << "::1" << p << false;
    QTest::newRow("any address, from any") << "0.0.0.0" << "0.0.0.0" << p << false;
}

void TestPackets::datagram()
{
    QFETCH(QString, clientHost);
    QFETCH(QString, sender);
    QFETCH(QByteArray, datagram);
    QFETCH(bool, accepted);

    const DatagramFilter filter(clientHost);
    QCOMPARE(filter.accepts(datagram.constData(), datagram.size(), QHostAddress(sender)), accepted);
    QCOMPARE(filter.accepts(datagram, QHostAddress(sender)), accepted);
}

// ---------------------------------------------------------------------------
// Link silence

void TestPackets::silence_data()
{
    QTest::addColumn<QList<qint64>>("arrivals");
    QTest::addColumn<qint64>("now");
    QTest::addColumn<bool>("silent");
    QTest::addColumn<qint64>("untilSilent");

    constexpr qint64 lo = std::numeric_limits<qint64>::min();
    constexpr qint64 hi = std::numeric_limits<qint64>::max();

    QTest::newRow("no packet yet") << QList<qint64>{} << qint64(0) << true << qint64(0);
    QTest::newRow("999 ms after a packet") << QList<qint64>{0} << qint64(999) << false << qint64(1);
    QTest::newRow("1000 ms after a packet") << QList<qint64>{0} << qint64(1000) << true << qint64(0);
    QTest::newRow("899 ms after the last of two") << QList<qint64>{0, 900} << qint64(1799) << false << qint64(101);
    QTest::newRow("1000 ms after the last of two") << QList<qint64>{0, 900} << qint64(1900) << true << qint64(0);
    QTest::newRow("clock behind the packet") << QList<qint64>{5000} << qint64(4000) << false << qint64(1000);
    QTest::newRow("whole clock range apart") << QList<qint64>{lo} << hi << true << qint64(0);
    QTest::newRow("negative clock") << QList<qint64>{-3000} << qint64(-2500) << false << qint64(500);
}

void TestPackets::silence()
{
    QFETCH(QList<qint64>, arrivals);
    QFETCH(qint64, now);
    QFETCH(bool, silent);
    QFETCH(qint64, untilSilent);

    LinkSilence link;
    for (qint64 t : arrivals)
        link.packetArrived(t);
    QCOMPARE(link.isSilent(now), silent);
    // How long the resting release tick leaves the watchdog to wait.
    QCOMPARE(link.msUntilSilent(now), untilSilent);

    link.reset();
    QVERIFY(link.isSilent(now));
}

// A held tone, then the cable is pulled: the meter holds for a second, then
// comes down at the release speed and rests on the floor.
void TestPackets::deadLinkBringsMetersDown()
{
    const MeterScale::Range range = MeterScale::makeRange(-50.0, 5.0);
    LinkSilence link;
    MeterPacket::Levels targets;
    targets.fill(-50.0);
    double level = -50.0;

    const auto tick = [&](qint64 now) {
        if (link.isSilent(now))
            targets.fill(MeterRelease::kFloorDb);  // the release's silence drop
        const MeterRelease::ReleaseResult r = MeterRelease::releaseStep(level, targets[0]);
        if (r.write)
            level = MeterScale::clampLevel(r.value, range);
    };

    qint64 now = 0;
    for (; now < 2000; now += MeterRelease::kIntervalMs) {  // tone at 0 dB
        targets.fill(0.0);
        link.packetArrived(now);
        tick(now);
    }
    const qint64 lastPacket = now - MeterRelease::kIntervalMs;
    for (; now < lastPacket + LinkSilence::kTimeoutMs; now += MeterRelease::kIntervalMs)
        tick(now);
    QCOMPARE(level, 0.0);  // still holding just before the second is up
    for (int i = 0; i < 376; ++i, now += MeterRelease::kIntervalMs)
        tick(now);
    QCOMPARE(level, -50.0);
    for (double t : targets)
        QCOMPARE(t, -50.0);
}

// ---------------------------------------------------------------------------
// Port texts

void TestPackets::port_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<int>("port");  // -1: invalid
    QTest::addColumn<qulonglong>("titleNumber");

    QTest::newRow("0: a random port, no server sends there") << "0" << -1 << 0ull;
    QTest::newRow("1") << "1" << 1 << 1ull;
    QTest::newRow("5000") << "5000" << 5000 << 5000ull;
    QTest::newRow("65535") << "65535" << 65535 << 65535ull;
    QTest::newRow("65536") << "65536" << -1 << 65536ull;
    QTest::newRow("70000") << "70000" << -1 << 70000ull;
    QTest::newRow("2^64") << "18446744073709551616" << -1 << 0ull;
    QTest::newRow("abc") << "abc" << -1 << 0ull;
    QTest::newRow("empty") << "" << -1 << 0ull;
    QTest::newRow("-1") << "-1" << -1 << 0ull;
    QTest::newRow("5000abc") << "5000abc" << -1 << 0ull;
    QTest::newRow("5 000") << "5 000" << -1 << 0ull;
    QTest::newRow("0x1388") << "0x1388" << -1 << 0ull;
    QTest::newRow("5000.0") << "5000.0" << -1 << 0ull;
    // Read as the stored settings always were.
    QTest::newRow("leading blank") << " 5000" << 5000 << 5000ull;
    QTest::newRow("trailing blank") << "5000 " << 5000 << 5000ull;
    QTest::newRow("plus sign") << "+5000" << 5000 << 5000ull;
    QTest::newRow("leading zero") << "05000" << 5000 << 5000ull;
}

void TestPackets::port()
{
    QFETCH(QString, text);
    QFETCH(int, port);
    QFETCH(qulonglong, titleNumber);

    const std::optional<quint16> parsed = parsePort(text);
    QCOMPARE(parsed ? int(*parsed) : -1, port);
    QCOMPARE(portTextValue(text), titleNumber);
}

// ---------------------------------------------------------------------------
// The ON AIR lamp's line: which source a tally_source names, whether a
// reading of the modem lines lights it, and which readings are news

void TestPackets::tallyLine_data()
{
    QTest::addColumn<QString>("setting");
    QTest::addColumn<QString>("parsed");    // kind:line:inverted name, or ERR
    QTest::addColumn<QList<int>>("readings");
    QTest::addColumn<QList<bool>>("lit");   // per reading
    QTest::addColumn<QList<bool>>("news");  // per reading: an edge of the watched line, or the first

    using T = TallySource;
    const int cts = T::Cts, dsr = T::Dsr, dcd = T::Dcd, ri = T::Ri;
    QTest::newRow("none") << "" << "0:0:0 " << QList<int>{cts} << QList<bool>{false} << QList<bool>{true};
    QTest::newRow("control") << " CONTROL " << "1:0:0 control" << QList<int>{cts} << QList<bool>{false}
                             << QList<bool>{true};
    QTest::newRow("cts: edges of its line only")
        << "cts" << "2:1:0 cts" << QList<int>{0, dsr, cts | dsr, cts, cts | ri, 0}
        << QList<bool>{false, false, true, true, true, false} << QList<bool>{true, false, true, false, false, true};
    QTest::newRow("!dcd inverted") << "!DCD" << "2:4:1 !dcd" << QList<int>{dcd, 0, -1, 0}
                                   << QList<bool>{false, true, false, true} << QList<bool>{true, true, true, true};
    QTest::newRow("! dsr with a blank") << "! dsr" << "2:2:1 !dsr" << QList<int>{dsr} << QList<bool>{false}
                                        << QList<bool>{true};
    QTest::newRow("ri") << "ri" << "2:8:0 ri" << QList<int>{ri, ri} << QList<bool>{true, true}
                        << QList<bool>{true, false};
    QTest::newRow("dtr is an output") << "dtr" << "ERR" << QList<int>{cts} << QList<bool>{false} << QList<bool>{true};
    QTest::newRow("two lines") << "cts,dsr" << "ERR" << QList<int>{} << QList<bool>{} << QList<bool>{};
    QTest::newRow("!! twice") << "!!cts" << "ERR" << QList<int>{} << QList<bool>{} << QList<bool>{};
}

void TestPackets::tallyLine()
{
    QFETCH(QString, setting);
    QFETCH(QString, parsed);
    QFETCH(QList<int>, readings);
    QFETCH(QList<bool>, lit);
    QFETCH(QList<bool>, news);

    const ParsedTallySource p = parseTallySource(setting);
    const TallySource &s = p.source;
    QCOMPARE(p.ok ? QStringLiteral("%1:%2:%3 %4").arg(int(s.kind)).arg(s.line).arg(int(s.inverted)).arg(s.name)
                  : QStringLiteral("ERR"),
             parsed);
    QCOMPARE(p.error.isEmpty(), p.ok);
    LineEdges edges(s.line);
    for (int i = 0; i < readings.size(); ++i) {
        QCOMPARE(tallyLineOn(s, readings[i]), lit[i]);
        QCOMPARE(edges.feed(readings[i]), news[i]);
    }
}

// ---------------------------------------------------------------------------
// When new settings rebuild the running link

void TestPackets::linkRebuild_data()
{
    QTest::addColumn<CommSettings>("running");
    QTest::addColumn<CommSettings>("next");
    QTest::addColumn<int>("state");
    QTest::addColumn<bool>("rebuilt");

    CommSettings serial;
    serial.serialport = QStringLiteral("/dev/ttyUSB0");
    CommSettings client;
    client.use_udp = true;
    client.client_host = QStringLiteral("10.10.1.10");
    client.client_port = QStringLiteral("5000");
    CommSettings server = client;
    server.is_server = true;
    server.serialport = QStringLiteral("/dev/ttyUSB0");
    server.server_port = QStringLiteral("5000");

    CommSettings clientOtherSerial = client;
    clientOtherSerial.serialport = QStringLiteral("/dev/ttyUSB1");
    CommSettings clientOtherGroup = client;
    clientOtherGroup.client_group = QStringLiteral("239.1.1.1");
    CommSettings serverOtherTtl = server;
    serverOtherTtl.server_ttl = QStringLiteral("4");
    const int live = int(LinkState::Live);

    QTest::newRow("same serial link") << serial << serial << live << false;
    QTest::newRow("serial to client") << serial << client << live << true;
    QTest::newRow("client to server") << client << server << live << true;
    QTest::newRow("a client's unused serial port") << client << clientOtherSerial << live << false;
    QTest::newRow("a client's group") << client << clientOtherGroup << live << true;
    QTest::newRow("a server's hops") << server << serverOtherTtl << live << true;
    // The same settings try again where the socket could not be set up.
    QTest::newRow("bind failed") << client << client << int(LinkState::BindFailed) << true;
    QTest::newRow("send bind failed") << server << server << int(LinkState::SendBindFailed) << true;
    QTest::newRow("address not here") << server << server << int(LinkState::AddressNotLocal) << true;
    QTest::newRow("silent") << client << client << int(LinkState::Silent) << false;
    // The lamp's source is followed without a rebuild.
    CommSettings serialTally = serial;
    serialTally.tally_source = QStringLiteral("cts");
    QTest::newRow("the lamp's source") << serial << serialTally << live << false;
}

void TestPackets::linkRebuild()
{
    QFETCH(CommSettings, running);
    QFETCH(CommSettings, next);
    QFETCH(int, state);
    QFETCH(bool, rebuilt);
    QCOMPARE(linkNeedsRebuild(running, next, LinkState(state)), rebuilt);
}

// ---------------------------------------------------------------------------
// The link's state from its parts

void TestPackets::linkState_data()
{
    QTest::addColumn<int>("setUp");  // the set-up problem; Live when none
    QTest::addColumn<bool>("serialInUse");
    QTest::addColumn<bool>("serialOpen");
    QTest::addColumn<bool>("client");
    QTest::addColumn<QString>("hostProblem");
    QTest::addColumn<QString>("sendProblem");
    QTest::addColumn<bool>("loopback");
    QTest::addColumn<bool>("silent");
    QTest::addColumn<int>("state");
    QTest::addColumn<QString>("where");
    QTest::addColumn<QString>("reason");

    const int live = int(LinkState::Live);
    const QString none;
    const QString port = QStringLiteral("ttyUSB0");
    const QString host = QStringLiteral("studio-pc");
    const QString portGone = QStringLiteral("ttyUSB0 is missing");
    const QString unresolved = QStringLiteral("Host not found");
    const QString unreachable = QStringLiteral("Network is unreachable");
    const QString notes = QStringLiteral("Not joined to group 239.1.2.3 on eth1: No such device.");

    // A problem comes first, in this order, whatever else is wrong.
    QTest::newRow("set-up problem over all") << int(LinkState::InvalidPort) << true << false << false << unresolved
                                             << unreachable << true << false << int(LinkState::InvalidPort)
                                             << QStringLiteral("70000") << QStringLiteral("fix the port");
    QTest::newRow("closed port over failing sends") << live << true << false << false << none << unreachable << false
                                                    << false << int(LinkState::PortClosed) << port << portGone;
    QTest::newRow("unresolved name over silence") << live << false << false << true << unresolved << none << false
                                                  << true << int(LinkState::HostUnresolved) << host << unresolved;
    QTest::newRow("failing sends kept through silence") << live << true << true << false << none << unreachable << false
                                                        << true << int(LinkState::SendFailed)
                                                        << QStringLiteral("239.1.2.3:5000") << unreachable;
    // A client has no serial port to be closed.
    QTest::newRow("client without a port") << live << false << false << true << none << none << false << false << live
                                           << host << notes;
    // Working: about where the packets come from; only a client has notes.
    QTest::newRow("serial live") << live << true << true << false << none << none << false << false << live << port
                                 << none;
    QTest::newRow("serial silent") << live << true << true << false << none << none << false << true
                                   << int(LinkState::Silent) << port << none;
    QTest::newRow("loopback server live") << live << true << true << false << none << none << true << false
                                          << int(LinkState::LoopbackOnly) << port << none;
    QTest::newRow("loopback server silent") << live << true << true << false << none << none << true << true
                                            << int(LinkState::Silent) << port << none;
    QTest::newRow("client silent with notes") << live << false << false << true << none << none << false << true
                                              << int(LinkState::Silent) << host << notes;
}

void TestPackets::linkState()
{
    QFETCH(int, setUp);
    QFETCH(bool, serialInUse);
    QFETCH(bool, serialOpen);
    QFETCH(bool, client);
    QFETCH(QString, hostProblem);
    QFETCH(QString, sendProblem);
    QFETCH(bool, loopback);
    QFETCH(bool, silent);
    QFETCH(int, state);
    QFETCH(QString, where);
    QFETCH(QString, reason);

    LinkInputs in;
    in.setUpProblem = {LinkState(setUp), QStringLiteral("70000"), QStringLiteral("fix the port")};
    in.serialInUse = serialInUse;
    in.serialOpen = serialOpen;
    in.serialPort = QStringLiteral("ttyUSB0");
    in.serialProblem = QStringLiteral("ttyUSB0 is missing");
    in.readsDatagrams = client;
    in.clientHost = QStringLiteral("studio-pc");
    in.hostProblem = hostProblem;
    // Notes are there in every row: a server's or a serial link's tooltip
    // must not show them.
    in.clientNotes = QStringLiteral("Not joined to group 239.1.2.3 on eth1: No such device.");
    in.sendWhere = QStringLiteral("239.1.2.3:5000");
    in.sendProblem = sendProblem;
    in.loopbackServer = loopback;
    in.silent = silent;
    const LinkReport report = composeLinkState(in);
    QCOMPARE(int(report.state), state);
    QCOMPARE(report.where, where);
    QCOMPARE(report.reason, reason);
}

QTEST_APPLESS_MAIN(TestPackets)
#include "tst_packets.moc"
