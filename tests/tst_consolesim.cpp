// The console simulator: the level patterns it sends, and the program
// itself on a real pseudo-terminal and on loopback UDP.

#include "meterpacket.h"
#include "programpattern.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QNetworkDatagram>
#include <QProcess>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QUdpSocket>
#include <QtTest>

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <vector>

using Kind = ProgramPattern::Kind;

namespace {

const QString kSim = QStringLiteral(LUMORA_CONSOLE_SIM);
constexpr int kProcessTimeoutMs = 15000;

double correlation(const std::vector<double> &a, const std::vector<double> &b)
{
    const double n = double(a.size());
    double ma = 0, mb = 0;
    for (std::size_t i = 0; i < a.size(); ++i) {
        ma += a[i];
        mb += b[i];
    }
    ma /= n;
    mb /= n;
    double sab = 0, saa = 0, sbb = 0;
    for (std::size_t i = 0; i < a.size(); ++i) {
        sab += (a[i] - ma) * (b[i] - mb);
        saa += (a[i] - ma) * (a[i] - ma);
        sbb += (b[i] - mb) * (b[i] - mb);
    }
    return sab / std::sqrt(saa * sbb);
}

// Reads the other end of the simulator's pty until it closes or `bytes`
// have come, whichever is first.
QByteArray readPty(const QString &path, int bytes, int timeoutMs)
{
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_NOCTTY | O_NONBLOCK);
    if (fd < 0)
        return {};
    // Read the line raw, as a serial port does: a pty that was closed opens
    // as a cooked terminal, which would hold bytes back until a newline.
    termios tio{};
    if (tcgetattr(fd, &tio) == 0) {
        cfmakeraw(&tio);
        tcsetattr(fd, TCSANOW, &tio);
    }
    QByteArray data;
    QElapsedTimer clock;
    clock.start();
    char buffer[4096];
    while (data.size() < bytes && clock.elapsed() < timeoutMs) {
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, 100) <= 0)
            continue;
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n > 0)
            data.append(buffer, int(n));
        else if (n == 0 || errno != EAGAIN)
            break;  // the simulator closed its end
    }
    ::close(fd);
    return data;
}

QString startPty(QProcess &sim, const QStringList &arguments)
{
    sim.start(kSim, QStringList{QStringLiteral("--pty")} + arguments);
    if (!sim.waitForStarted())
        return {};
    while (!sim.canReadLine() && sim.waitForReadyRead(kProcessTimeoutMs)) {
    }
    const QString line = QString::fromLocal8Bit(sim.readLine()).trimmed();
    return line.startsWith(QLatin1String("PTY ")) ? line.mid(4) : QString();
}

} // namespace

class TestConsoleSim : public QObject
{
    Q_OBJECT

private slots:
    // The pattern generator
    void levelsStayInPacketRange_data();
    void levelsStayInPacketRange();
    void programPairsMoveTogether();
    void programSoundsLikeSpeech();
    void steadyHoldsItsLevel_data();
    void steadyHoldsItsLevel();
    void sweepCoversTheScale_data();
    void sweepCoversTheScale();
    void seedReplaysTheSameStream();

    // The program
    void ptyDeliversEveryPacket_data();
    void ptyDeliversEveryPacket();
    void serialDeviceGetsRawLine();
    void udpDatagramsArrive_data();
    void udpDatagramsArrive();
    void durationSetsThePacketCount();
    void garbageMixesNoiseWithPackets();
    void refusesBadCommandLines_data();
    void refusesBadCommandLines();
    void toolsTellTheirCommandLine_data();
    void toolsTellTheirCommandLine();
    void sigtermStopsCleanlyAndRemovesLink();
};

void TestConsoleSim::levelsStayInPacketRange_data()
{
    QTest::addColumn<int>("kind");
    QTest::addColumn<double>("rate");
    QTest::addColumn<quint64>("seed");
    QTest::addColumn<double>("level");

    QTest::newRow("program seed 1") << int(Kind::Program) << 50.0 << quint64(1) << 0.0;
    QTest::newRow("program seed 2 at 720/s") << int(Kind::Program) << 720.0 << quint64(2) << 0.0;
    QTest::newRow("program huge seed") << int(Kind::Program) << 50.0 << quint64(~0ull) << 0.0;
    QTest::newRow("program rate 0 falls back") << int(Kind::Program) << 0.0 << quint64(7) << 0.0;
    QTest::newRow("program NaN rate falls back") << int(Kind::Program) << std::nan("") << quint64(7) << 0.0;
    QTest::newRow("sweep") << int(Kind::Sweep) << 50.0 << quint64(1) << 0.0;
    QTest::newRow("steady above the packet range") << int(Kind::Steady) << 50.0 << quint64(1) << 40.0;
    QTest::newRow("steady below the floor") << int(Kind::Steady) << 50.0 << quint64(1) << -90.0;
    QTest::newRow("steady NaN") << int(Kind::Steady) << 50.0 << quint64(1) << std::nan("");
    QTest::newRow("silence") << int(Kind::Silence) << 50.0 << quint64(1) << 0.0;
}

void TestConsoleSim::levelsStayInPacketRange()
{
    QFETCH(int, kind);
    QFETCH(double, rate);
    QFETCH(quint64, seed);
    QFETCH(double, level);

    const ProgramPattern pattern(Kind(kind), rate, seed, level);
    // Ten minutes at 50/s, and a few packets far into a long run.
    std::vector<std::uint64_t> packets;
    for (std::uint64_t n = 0; n < 30000; ++n)
        packets.push_back(n);
    packets.insert(packets.end(), {1ull << 40, 1ull << 62, ~0ull});
    for (std::uint64_t n : packets) {
        for (double db : pattern.levelsAt(n)) {
            if (!(db >= -50.0 && db <= 15.535))
                QFAIL(qPrintable(QStringLiteral("packet %1: %2 dB").arg(n).arg(db)));
        }
    }
}

void TestConsoleSim::programPairsMoveTogether()
{
    const ProgramPattern pattern(Kind::Program, 50.0, 3);
    std::vector<double> channel[6];
    for (std::uint64_t n = 0; n < 50 * 120; ++n) {
        const MeterPacket::Levels levels = pattern.levelsAt(n);
        for (int c = 0; c < 6; ++c)
            channel[c].push_back(levels[std::size_t(c)]);
    }
    QVERIFY2(correlation(channel[0], channel[1]) > 0.9, "programme left/right");
    QVERIFY2(correlation(channel[2], channel[3]) > 0.9, "sub left/right");
    QVERIFY2(correlation(channel[4], channel[5]) > 0.9, "monitor left/right");
    // The sub bus carries something else than the programme.
    QVERIFY2(std::abs(correlation(channel[0], channel[2])) < 0.5, "programme against sub");
    // Left and right are not simply copies.
    int differ = 0;
    for (std::size_t i = 0; i < channel[0].size(); ++i)
        differ += channel[0][i] != channel[1][i];
    QVERIFY(differ > int(channel[0].size()) / 2);
}

void TestConsoleSim::programSoundsLikeSpeech()
{
    const ProgramPattern pattern(Kind::Program, 50.0, 5);
    constexpr int packets = 50 * 300;  // five minutes
    int quiet = 0;
    int peaks = 0;
    double loudest = -50.0;
    int moves = 0;
    double previous = pattern.levelsAt(0)[0];
    for (int n = 0; n < packets; ++n) {
        const double prog = pattern.levelsAt(std::uint64_t(n))[0];
        quiet += prog < -40.0;
        peaks += prog >= -0.5;
        loudest = std::max(loudest, prog);
        moves += std::abs(prog - previous) > 3.0;
        previous = prog;
    }
    // Pauses between phrases, but mostly speech.
    QVERIFY2(quiet > packets / 10 && quiet < packets / 2, qPrintable(QString::number(quiet)));
    // Occasional peaks around 0 dB, not beyond a few dB over.
    QVERIFY2(peaks > 0 && peaks < packets / 20, qPrintable(QString::number(peaks)));
    QVERIFY(loudest <= 4.5);
    // Syllables: the level jumps often, several times a second.
    QVERIFY2(moves > packets / 50, qPrintable(QString::number(moves)));
}

void TestConsoleSim::steadyHoldsItsLevel_data()
{
    QTest::addColumn<double>("level");
    QTest::addColumn<double>("expected");
    QTest::addColumn<quint16>("word");

    QTest::newRow("-18 dB") << -18.0 << -18.0 << quint16(32000);
    QTest::newRow("0 dB") << 0.0 << 0.0 << quint16(50000);
    QTest::newRow("+5 dB") << 5.0 << 5.0 << quint16(55000);
    QTest::newRow("floor") << -50.0 << -50.0 << quint16(0);
    QTest::newRow("top of the packet") << 15.535 << 15.535 << quint16(65535);
    QTest::newRow("+20 dB clamps to the top") << 20.0 << 15.535 << quint16(65535);
    QTest::newRow("-70 dB clamps to the floor") << -70.0 << -50.0 << quint16(0);
}

void TestConsoleSim::steadyHoldsItsLevel()
{
    QFETCH(double, level);
    QFETCH(double, expected);
    QFETCH(quint16, word);

    const ProgramPattern pattern(Kind::Steady, 50.0, 1, level);
    for (std::uint64_t n : {0ull, 1ull, 49ull, 1000ull, 123456789ull}) {
        for (double db : pattern.levelsAt(n))
            QCOMPARE(db, expected);
        for (std::uint16_t w : pattern.wordsAt(n))
            QCOMPARE(w, word);
    }
}

void TestConsoleSim::sweepCoversTheScale_data()
{
    QTest::addColumn<double>("rate");
    QTest::addColumn<int>("topPacket");  // packet at +5 dB

    QTest::newRow("50/s") << 50.0 << 250;
    QTest::newRow("100/s") << 100.0 << 500;
    QTest::newRow("720/s") << 720.0 << 3600;
}

void TestConsoleSim::sweepCoversTheScale()
{
    QFETCH(double, rate);
    QFETCH(int, topPacket);

    const ProgramPattern pattern(Kind::Sweep, rate, 1);
    QCOMPARE(pattern.levelsAt(0)[0], -50.0);
    QCOMPARE(pattern.levelsAt(std::uint64_t(topPacket))[0], 5.0);
    QCOMPARE(pattern.levelsAt(std::uint64_t(2 * topPacket))[0], -50.0);  // one period later
    double previous = -51.0;
    for (int n = 0; n <= 2 * topPacket; ++n) {
        const MeterPacket::Levels levels = pattern.levelsAt(std::uint64_t(n));
        for (double db : levels)
            QCOMPARE(db, levels[0]);  // all six meters together
        if (n <= topPacket)
            QVERIFY2(levels[0] > previous, "rising in the first half");
        else
            QVERIFY2(levels[0] < previous, "falling in the second half");
        previous = levels[0];
    }
}

void TestConsoleSim::seedReplaysTheSameStream()
{
    const ProgramPattern a(Kind::Program, 50.0, 11);
    const ProgramPattern b(Kind::Program, 50.0, 11);
    const ProgramPattern other(Kind::Program, 50.0, 12);
    int differences = 0;
    // b is asked backwards: a packet does not depend on the ones before it.
    for (int n = 999; n >= 0; --n) {
        QCOMPARE(a.wordsAt(std::uint64_t(n)), b.wordsAt(std::uint64_t(n)));
        differences += a.wordsAt(std::uint64_t(n)) != other.wordsAt(std::uint64_t(n));
    }
    QVERIFY(differences > 900);
}

void TestConsoleSim::ptyDeliversEveryPacket_data()
{
    QTest::addColumn<QString>("chunks");
    QTest::addColumn<int>("rate");
    QTest::addColumn<int>("count");

    QTest::newRow("whole packets at 50/s") << QStringLiteral("whole") << 50 << 40;
    QTest::newRow("whole packets at 720/s") << QStringLiteral("whole") << 720 << 720;
    QTest::newRow("random chunks at 720/s") << QStringLiteral("random") << 720 << 720;
}

void TestConsoleSim::ptyDeliversEveryPacket()
{
    QFETCH(QString, chunks);
    QFETCH(int, rate);
    QFETCH(int, count);
    constexpr quint64 seed = 42;

    QProcess sim;
    const QString path = startPty(sim, {QStringLiteral("--wait-reader"), QStringLiteral("--rate"),
                                        QString::number(rate), QStringLiteral("--count"), QString::number(count),
                                        QStringLiteral("--chunks"), chunks, QStringLiteral("--seed"),
                                        QString::number(seed)});
    QVERIFY2(path.startsWith(QLatin1String("/dev/")), qPrintable(sim.readAllStandardError()));

    const QByteArray data = readPty(path, count * int(MeterPacket::kSize), kProcessTimeoutMs);
    QVERIFY(sim.waitForFinished(kProcessTimeoutMs));
    QCOMPARE(sim.exitCode(), 0);
    QCOMPARE(data.size(), count * int(MeterPacket::kSize));

    // In order, none lost, none doubled: exactly the generator's stream.
    const ProgramPattern pattern(Kind::Program, rate, seed);
    for (int n = 0; n < count; ++n) {
        const MeterPacket::Bytes expected = MeterPacket::encode(pattern.wordsAt(std::uint64_t(n)));
        const QByteArray frame = data.mid(n * 16, 16);
        if (frame != QByteArray(reinterpret_cast<const char *>(expected.data()), 16))
            QFAIL(qPrintable(QStringLiteral("packet %1 differs: %2").arg(n).arg(QString::fromLatin1(frame.toHex(' ')))));
    }
}

void TestConsoleSim::serialDeviceGetsRawLine()
{
    // A pty pair stands in for the USB-serial adapter; the simulator gets
    // the device end, which starts out as a cooked terminal line.
    int master = -1;
    int device = -1;
    QVERIFY(::openpty(&master, &device, nullptr, nullptr, nullptr) == 0);
    const QString devicePath = QString::fromLocal8Bit(::ttyname(device));
    termios before{};
    QVERIFY(::tcgetattr(device, &before) == 0);
    QVERIFY(before.c_oflag & OPOST);  // LF would go out as CR LF

    // -46.662 dB is the word 0x0D0A: every level is a CR LF pair, which a
    // line not in raw mode would change.
    constexpr int count = 20;
    QProcess sim;
    sim.start(kSim, {QStringLiteral("--serial"), devicePath, QStringLiteral("--pattern"), QStringLiteral("steady"),
                     QStringLiteral("--level"), QStringLiteral("-46.662"), QStringLiteral("--rate"),
                     QStringLiteral("500"), QStringLiteral("--count"), QString::number(count)});
    QByteArray data;
    char buffer[4096];
    QElapsedTimer clock;
    clock.start();
    while (data.size() < count * 16 && clock.elapsed() < kProcessTimeoutMs) {
        pollfd p{master, POLLIN, 0};
        if (::poll(&p, 1, 100) > 0) {
            const ssize_t n = ::read(master, buffer, sizeof buffer);
            if (n > 0)
                data.append(buffer, int(n));
        }
    }
    QVERIFY(sim.waitForFinished(kProcessTimeoutMs));
    QCOMPARE(sim.exitCode(), 0);

    termios after{};
    QVERIFY(::tcgetattr(device, &after) == 0);
    ::close(device);
    ::close(master);

    const QByteArray packet = QByteArray::fromHex("aaaa0d0a0d0a0d0a0d0a0d0a0d0a5555");
    QCOMPARE(data, packet.repeated(count));
    // 115200 8N1, no flow control, no output processing.
    QCOMPARE(::cfgetospeed(&after), speed_t(B115200));
    QCOMPARE(after.c_cflag & CSIZE, tcflag_t(CS8));
    QCOMPARE(after.c_cflag & (PARENB | CSTOPB | CRTSCTS), tcflag_t(0));
    QCOMPARE(after.c_iflag & (IXON | IXOFF), tcflag_t(0));
    QCOMPARE(after.c_oflag & OPOST, tcflag_t(0));
}

void TestConsoleSim::udpDatagramsArrive_data()
{
    QTest::addColumn<QString>("source");  // --bind, or empty
    QTest::addColumn<quint32>("expectedSender");

    QTest::newRow("from the default address") << QString() << quint32(0x7F000001);
    QTest::newRow("bound to 127.0.0.2") << QStringLiteral("127.0.0.2") << quint32(0x7F000002);
}

void TestConsoleSim::udpDatagramsArrive()
{
    QFETCH(QString, source);
    QFETCH(quint32, expectedSender);
    constexpr int count = 50;

    QUdpSocket receiver;
    QVERIFY(receiver.bind(QHostAddress(QHostAddress::LocalHost), 0));
    QList<QNetworkDatagram> received;
    connect(&receiver, &QUdpSocket::readyRead, this, [&] {
        while (receiver.hasPendingDatagrams())
            received.append(receiver.receiveDatagram());
    });

    QStringList arguments{QStringLiteral("--udp"), QStringLiteral("127.0.0.1:%1").arg(receiver.localPort()),
                          QStringLiteral("--pattern"), QStringLiteral("steady"), QStringLiteral("--level"),
                          QStringLiteral("-6"), QStringLiteral("--rate"), QStringLiteral("500"),
                          QStringLiteral("--count"), QString::number(count)};
    if (!source.isEmpty())
        arguments << QStringLiteral("--bind") << source;
    QProcess sim;
    sim.start(kSim, arguments);
    QTRY_COMPARE_WITH_TIMEOUT(received.size(), count, kProcessTimeoutMs);
    // The event loop above may already have seen it finish.
    QTRY_COMPARE_WITH_TIMEOUT(sim.state(), QProcess::NotRunning, kProcessTimeoutMs);
    QCOMPARE(sim.exitCode(), 0);

    for (const QNetworkDatagram &datagram : received) {
        const QByteArray bytes = datagram.data();
        QCOMPARE(bytes.size(), 16);
        const auto *raw = reinterpret_cast<const std::uint8_t *>(bytes.constData());
        QVERIFY(MeterPacket::hasMarks(raw));
        for (double db : MeterPacket::decode(raw))
            QCOMPARE(db, -6.0);
        QCOMPARE(datagram.senderAddress().toIPv4Address(), expectedSender);
    }
}

void TestConsoleSim::durationSetsThePacketCount()
{
    QUdpSocket receiver;
    QVERIFY(receiver.bind(QHostAddress(QHostAddress::LocalHost), 0));
    int received = 0;
    connect(&receiver, &QUdpSocket::readyRead, this, [&] {
        while (receiver.hasPendingDatagrams()) {
            receiver.receiveDatagram();
            ++received;
        }
    });

    QElapsedTimer clock;
    clock.start();
    QProcess sim;
    sim.start(kSim, {QStringLiteral("--udp"), QStringLiteral("127.0.0.1:%1").arg(receiver.localPort()),
                     QStringLiteral("--rate"), QStringLiteral("100"), QStringLiteral("--duration"),
                     QStringLiteral("1")});
    QVERIFY(sim.waitForFinished(kProcessTimeoutMs));
    QCOMPARE(sim.exitCode(), 0);
    // Packets are due at 0, 10, ... 990 ms: a hundred of them, paced, not
    // sent in one burst.
    QVERIFY2(clock.elapsed() >= 950, qPrintable(QString::number(clock.elapsed())));
    QTRY_COMPARE(received, 100);
}

void TestConsoleSim::garbageMixesNoiseWithPackets()
{
    QUdpSocket receiver;
    QVERIFY(receiver.bind(QHostAddress(QHostAddress::LocalHost), 0));
    receiver.setSocketOption(QAbstractSocket::ReceiveBufferSizeSocketOption, 1 << 20);
    int packets = 0;
    int damaged = 0;
    int wrongSize = 0;
    connect(&receiver, &QUdpSocket::readyRead, this, [&] {
        while (receiver.hasPendingDatagrams()) {
            const QByteArray bytes = receiver.receiveDatagram().data();
            if (bytes.size() != 16)
                ++wrongSize;
            else if (MeterPacket::hasMarks(reinterpret_cast<const std::uint8_t *>(bytes.constData())))
                ++packets;
            else
                ++damaged;
        }
    });

    constexpr int slotCount = 400;
    QProcess sim;
    sim.start(kSim, {QStringLiteral("--udp"), QStringLiteral("127.0.0.1:%1").arg(receiver.localPort()),
                     QStringLiteral("--pattern"), QStringLiteral("garbage"), QStringLiteral("--rate"),
                     QStringLiteral("1000"), QStringLiteral("--count"), QString::number(slotCount)});
    QVERIFY(sim.waitForFinished(kProcessTimeoutMs));
    QCOMPARE(sim.exitCode(), 0);
    // Every slot carries at least one datagram.
    QTRY_VERIFY(packets + damaged + wrongSize >= slotCount);
    QVERIFY2(packets > slotCount / 2, "mostly good packets");
    QVERIFY(damaged > 0);
    QVERIFY(wrongSize > 0);
}

void TestConsoleSim::refusesBadCommandLines_data()
{
    QTest::addColumn<QStringList>("arguments");

    QTest::newRow("no destination") << QStringList{QStringLiteral("--count"), QStringLiteral("1")};
    QTest::newRow("two destinations") << QStringList{QStringLiteral("--pty"), QStringLiteral("--udp"),
                                                     QStringLiteral("127.0.0.1:5000")};
    // Traffic never leaves this machine.
    QTest::newRow("LAN address") << QStringList{QStringLiteral("--udp"), QStringLiteral("192.168.1.20:5000")};
    QTest::newRow("limited broadcast") << QStringList{QStringLiteral("--udp"), QStringLiteral("255.255.255.255:5000")};
    QTest::newRow("subnet broadcast") << QStringList{QStringLiteral("--udp"), QStringLiteral("10.255.255.255:5000")};
    QTest::newRow("any address") << QStringList{QStringLiteral("--udp"), QStringLiteral("0.0.0.0:5000")};
    QTest::newRow("global IPv6") << QStringList{QStringLiteral("--udp"), QStringLiteral("[2001:db8::1]:5000")};
    QTest::newRow("IPv4-mapped LAN") << QStringList{QStringLiteral("--udp"), QStringLiteral("[::ffff:192.168.1.2]:5000")};
    QTest::newRow("host name") << QStringList{QStringLiteral("--udp"), QStringLiteral("example.org:5000")};
    QTest::newRow("--allow-network: broadcast") << QStringList{QStringLiteral("--udp"), QStringLiteral("255.255.255.255:5000"),
                                                               QStringLiteral("--allow-network")};
    QTest::newRow("--allow-network: any address") << QStringList{QStringLiteral("--udp"), QStringLiteral("0.0.0.0:5000"),
                                                                 QStringLiteral("--allow-network")};
    QTest::newRow("--allow-network: multicast") << QStringList{QStringLiteral("--udp"), QStringLiteral("239.1.2.3:5000"),
                                                               QStringLiteral("--allow-network")};
    QTest::newRow("--allow-network without --udp") << QStringList{QStringLiteral("--pty"), QStringLiteral("--allow-network")};
    QTest::newRow("source off this machine") << QStringList{QStringLiteral("--udp"), QStringLiteral("127.0.0.1:5000"),
                                                            QStringLiteral("--bind"), QStringLiteral("192.168.1.20")};
    // Numbers
    QTest::newRow("port 70000") << QStringList{QStringLiteral("--udp"), QStringLiteral("127.0.0.1:70000")};
    QTest::newRow("port 0") << QStringList{QStringLiteral("--udp"), QStringLiteral("127.0.0.1:0")};
    QTest::newRow("port text") << QStringList{QStringLiteral("--udp"), QStringLiteral("127.0.0.1:abc")};
    QTest::newRow("rate 0") << QStringList{QStringLiteral("--pty"), QStringLiteral("--rate"), QStringLiteral("0")};
    QTest::newRow("rate text") << QStringList{QStringLiteral("--pty"), QStringLiteral("--rate"), QStringLiteral("fast")};
    QTest::newRow("negative count") << QStringList{QStringLiteral("--pty"), QStringLiteral("--count"), QStringLiteral("-1")};
    QTest::newRow("unknown pattern") << QStringList{QStringLiteral("--pty"), QStringLiteral("--pattern"), QStringLiteral("loud")};
    QTest::newRow("level without steady") << QStringList{QStringLiteral("--pty"), QStringLiteral("--level"), QStringLiteral("0")};
}

// What the two tools print for a line that needs no console: their own
// name in the help, the version, and every problem at once.
void TestConsoleSim::toolsTellTheirCommandLine_data()
{
    QTest::addColumn<QString>("program");
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<int>("status");
    QTest::addColumn<QStringList>("told");  // each must be in the output

    const QString relay = QStringLiteral(LUMORA_RELAY);
    QTest::newRow("relay help names the relay") << relay << QStringList{"--help"} << 0
                                                << QStringList{"Usage: lumora-relay [options]"};
    QTest::newRow("relay, every problem") << relay << QStringList{"--serial", "x", "--ttl", "300"} << 2
                                          << QStringList{"lumora-relay: --port: the UDP port is required",
                                                         "lumora-relay: --ttl: '300'"};
    QTest::newRow("simulator version") << kSim << QStringList{"--version"} << 0
                                       << QStringList{"lumora-console-sim " LUMORA_VERSION_TEXT};
}

void TestConsoleSim::toolsTellTheirCommandLine()
{
    QFETCH(QString, program);
    QFETCH(QStringList, arguments);
    QFETCH(int, status);
    QFETCH(QStringList, told);
    QProcess tool;
    tool.start(program, arguments);
    QVERIFY(tool.waitForFinished(kProcessTimeoutMs));
    QCOMPARE(tool.exitCode(), status);
    const QString output = QString::fromLocal8Bit(tool.readAllStandardOutput() + tool.readAllStandardError());
    for (const QString &part : told)
        QVERIFY2(output.contains(part), qPrintable(output));
}

void TestConsoleSim::refusesBadCommandLines()
{
    QFETCH(QStringList, arguments);

    QProcess sim;
    sim.start(kSim, arguments);
    QVERIFY(sim.waitForFinished(kProcessTimeoutMs));
    QCOMPARE(sim.exitStatus(), QProcess::NormalExit);
    QCOMPARE(sim.exitCode(), 2);
    QVERIFY(sim.readAllStandardOutput().isEmpty());  // no pty was made
    QVERIFY(!sim.readAllStandardError().isEmpty());
}

void TestConsoleSim::sigtermStopsCleanlyAndRemovesLink()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString linkPath = dir.filePath(QStringLiteral("console"));

    QProcess sim;
    const QString path = startPty(sim, {QStringLiteral("--link"), linkPath});
    QVERIFY2(!path.isEmpty(), qPrintable(sim.readAllStandardError()));
    QCOMPARE(QFileInfo(linkPath).symLinkTarget(), path);

    // Running without a count: it goes on until told to stop.
    const QByteArray first = readPty(linkPath, 16, kProcessTimeoutMs);
    QCOMPARE(first.size(), 16);
    QCOMPARE(sim.state(), QProcess::Running);

    sim.terminate();  // SIGTERM
    QVERIFY(sim.waitForFinished(kProcessTimeoutMs));
    QCOMPARE(sim.exitStatus(), QProcess::NormalExit);
    QCOMPARE(sim.exitCode(), 0);
    QVERIFY(!QFileInfo::exists(linkPath) && !QFileInfo(linkPath).isSymLink());
}

QTEST_MAIN(TestConsoleSim)
#include "tst_consolesim.moc"
