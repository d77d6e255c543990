// Beyond one network segment: a UDP server or the relay sending to a
// multicast group or to one host, and displays joining the group. Anything
// sent to a group only ever goes out inside a private network namespace
// that the test makes for itself; unicast and the refusals use 127.0.0.1.
#include <QSettings>
#include <QtEndian>
#include <QSignalSpy>
#include <QtTest>

#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>

#include "linktestsupport.h"
#include "multicastsupport.h"
#include "privatenetwork.h"
#include "testsupport.h"

using namespace LinkTest;
using namespace MulticastTest;

Q_DECLARE_METATYPE(CommSettings)
Q_DECLARE_METATYPE(MeterPacket::Levels)

namespace {

constexpr quint16 kGroupPort = 47200;
constexpr quint32 kPackets = 60;

// The interfaces on which the kernel holds a membership of the group, from
// this network namespace's own /proc/net/igmp.
QStringList kernelMemberships(const QString &group)
{
    const quint32 g = QHostAddress(group).toIPv4Address();
    const QString hex = QStringLiteral("%1").arg(qFromBigEndian(g), 8, 16, QLatin1Char('0')).toUpper();
    QFile igmp(QStringLiteral("/proc/self/net/igmp"));
    QStringList devices;
    if (!igmp.open(QIODevice::ReadOnly))
        return devices;
    QString device;
    for (const QByteArray &line : igmp.readAll().split('\n')) {
        const QString text = QString::fromLatin1(line);
        if (!text.isEmpty() && text.at(0).isDigit())
            device = text.section(QLatin1Char('\t'), 1).section(QLatin1Char(':'), 0, 0).trimmed();
        else if (text.trimmed().startsWith(hex))
            devices << device;
    }
    devices.sort();
    return devices;
}

CommSettings groupServer(const QString &serial, const QString &ttl = QString())
{
    CommSettings s = serverLink(serial, QStringLiteral("127.0.0.1"), QString::number(kGroupPort));
    s.server_destination = kGroup;
    s.server_ttl = ttl;
    return s;
}

} // namespace

class TestMulticast : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { qRegisterMetaType<MeterPacket::Levels>(); }
    void groupReachesEveryDisplay_data();
    void groupReachesEveryDisplay();
    void clientJoinsInterfacesThatComeUp();
    void joinRefusedIsTold();
    void unicastReachesItsClient();
    void serverTtl_data();
    void serverTtl();
    void badValuesSendNothing_data();
    void badValuesSendNothing();
    void relayRefusesBadOptions_data();
    void relayRefusesBadOptions();
    void relayQuitsCleanly_data();
    void relayQuitsCleanly();
    void relayOutlivesItsLogReader();
};

void TestMulticast::groupReachesEveryDisplay_data()
{
    QTest::addColumn<bool>("viaRelay");
    QTest::newRow("lumora-relay fed by the console") << true;
    QTest::newRow("the display's own UDP server") << false;
}

// Every packet from the console's cable reaches two displays in the group,
// byte for byte, once each; the relay then ends cleanly on SIGTERM.
void TestMulticast::groupReachesEveryDisplay()
{
    QFETCH(bool, viaRelay);
    if (!PrivateNetwork::inside()) {
        PrivateNetwork::run(this, "groupReachesEveryDisplay");
        return;
    }
    QVERIFY(PrivateNetwork::onlyLoopback());

    ConsoleCable cable;
    QVERIFY(cable.plug());
    MeterLink first;
    MeterLink second;
    first.rebuild(groupClient(kGroupPort));
    second.rebuild(groupClient(kGroupPort));
    QVERIFY(!first.joinedInterfaces().isEmpty());
    QVERIFY(!second.joinedInterfaces().isEmpty());
    GroupMember wire(kGroupPort);
    QVERIFY(wire.isListening());

    std::unique_ptr<Relay> relay;
    MeterLink server;
    if (viaRelay) {
        relay = std::make_unique<Relay>(QStringList{"--serial", cable.linkPath(), "--interface", "127.0.0.1",
                                                    "--port", QString::number(kGroupPort), "--destination", kGroup});
        QVERIFY2(relay->waitUntilReady(), qPrintable(relay->log()));
    } else {
        server.rebuild(groupServer(cable.linkPath()));
        QCOMPARE(server.state(), LinkState::Silent);
    }

    for (quint32 n = 0; n < kPackets; ++n)
        cable.write(numberedPacket(n));
    QTRY_COMPARE(wire.received().size(), int(kPackets));
    QTRY_COMPARE(first.packetsDecoded(), quint64(kPackets));
    QTRY_COMPARE(second.packetsDecoded(), quint64(kPackets));
    for (quint32 n = 0; n < kPackets; ++n)
        QCOMPARE(wire.received().at(int(n)), numberedPacket(n));
    QCOMPARE(wire.destinations(), QStringList{kGroup});
    QCOMPARE(first.state(), LinkState::Live);
    // Sent from 127.0.0.1: it works, and the mark says who alone hears it.
    if (!relay)
        QTRY_COMPARE(server.state(), LinkState::LoopbackOnly);
    else
        QTRY_VERIFY(relay->log().contains(QLatin1String("Sending from a loopback address: only this PC hears it")));
    if (relay)  // it has no gear icon; its remedy is an option
        QVERIFY2(relay->log().contains(QLatin1String("address with --interface")) && !relay->log().contains(QLatin1String("gear")),
                 qPrintable(relay->log()));

    if (relay) {
        relay->process().terminate();
        QVERIFY(relay->process().waitForFinished(5000));
        QCOMPARE(relay->process().exitStatus(), QProcess::NormalExit);
        QCOMPARE(relay->process().exitCode(), 0);
    }
}

// A network card that comes up after the display started (a cable plugged
// in, a VLAN added) is joined too, within the re-join interval.
void TestMulticast::clientJoinsInterfacesThatComeUp()
{
    if (!PrivateNetwork::inside()) {
        PrivateNetwork::run(this, "clientJoinsInterfacesThatComeUp");
        return;
    }
    MeterLink display;
    display.rebuild(groupClient(kGroupPort));
    const int lo = QNetworkInterface::interfaceIndexFromName(QStringLiteral("lo"));
    QCOMPARE(display.joinedInterfaces(), QSet<int>{lo});

    // A virtual cable of this namespace's own, both ends in it: it carries
    // nothing anywhere. Both ends come up, as a plugged-in card would.
    if (QProcess::execute(QStringLiteral("ip"), {"link", "add", "lumora0", "type", "veth", "peer", "name", "lumora1"}) != 0)
        QSKIP("no virtual network cables here");
    QCOMPARE(QProcess::execute(QStringLiteral("ip"), {"link", "set", "lumora0", "up"}), 0);
    QCOMPARE(QProcess::execute(QStringLiteral("ip"), {"link", "set", "lumora1", "up"}), 0);
    const int end0 = QNetworkInterface::interfaceIndexFromName(QStringLiteral("lumora0"));
    const int end1 = QNetworkInterface::interfaceIndexFromName(QStringLiteral("lumora1"));
    QVERIFY(end0 > 0 && end1 > 0);
    QTRY_VERIFY_WITH_TIMEOUT(display.joinedInterfaces() == (QSet<int>{lo, end0, end1}), MeterLink::kRejoinMs + 3000);
    QCOMPARE(kernelMemberships(kGroup), (QStringList{"lo", "lumora0", "lumora1"}));
}

// The kernel lets one socket join a group on 20 interfaces here. Each one
// beyond is told of once, with the system's reason, in the log and the
// tooltip; the re-join rounds add nothing for it.
void TestMulticast::joinRefusedIsTold()
{
    if (!PrivateNetwork::inside()) {
        PrivateNetwork::run(this, "joinRefusedIsTold");
        return;
    }
    // Pairs of virtual cables of this namespace's own: they carry nothing
    // anywhere.
    int cards = 0;
    const auto addPair = [&cards] {
        const QString a = QStringLiteral("lumd%1").arg(++cards);
        const QString b = QStringLiteral("lumd%1").arg(++cards);
        return QProcess::execute(QStringLiteral("ip"), {"link", "add", a, "type", "veth", "peer", "name", b}) == 0
            && QProcess::execute(QStringLiteral("ip"), {"link", "set", a, "up"}) == 0
            && QProcess::execute(QStringLiteral("ip"), {"link", "set", b, "up"}) == 0;
    };
    // With lo, 21 interfaces.
    for (int n = 0; n < 10; ++n)
        if (!addPair())
            QSKIP("no virtual network cables here");
    LinkLog log;
    MeterLink display;
    display.rebuild(groupClient(kGroupPort));
    // Once (in CI) the first round joined 19; what the kernel and the toolkit
    // showed then is printed if it happens again, and the rounds that follow
    // must still make up the 20.
    const auto told = [&] {
        QStringList seen;
        for (const QNetworkInterface &card : QNetworkInterface::allInterfaces())
            seen << QStringLiteral("%1 #%2 flags %3").arg(card.name()).arg(card.index()).arg(int(card.flags()));
        return QStringLiteral("joined %1; interfaces: %2; warnings: %3")
            .arg(display.joinedInterfaces().size())
            .arg(seen.join(QStringLiteral(", ")), log.texts(QtWarningMsg).join(QStringLiteral(" | ")));
    };
    if (display.joinedInterfaces().size() != 20)  // past the log, which keeps what it hears
        std::fprintf(stderr, "first round: %s\n", qPrintable(told()));
    QTRY_VERIFY2_WITH_TIMEOUT(display.joinedInterfaces().size() == 20, qPrintable(told()), MeterLink::kRejoinMs + 3000);
    QStringList warnings = log.texts(QtWarningMsg);
    QCOMPARE(warnings.size(), 1);
    QVERIFY2(warnings.first().contains(QStringLiteral("No buffer space available")), qPrintable(warnings.first()));
    const QString refused = warnings.first().section(QStringLiteral(" on "), 1).section(QLatin1Char(':'), 0, 0);
    QCOMPARE(display.state(), LinkState::Silent);
    QVERIFY2(display.reason().contains(refused + QStringLiteral(": No buffer space available")),
             qPrintable(display.reason()));

    // Two more cards: their refusals are told on the next round, the first
    // one's not again.
    QVERIFY(addPair());
    QTRY_COMPARE_WITH_TIMEOUT(log.texts(QtWarningMsg).size(), 3, MeterLink::kRejoinMs + 3000);
    warnings = log.texts(QtWarningMsg);
    QVERIFY(!warnings[1].contains(refused + QLatin1Char(':')) && !warnings[2].contains(refused + QLatin1Char(':')));
    QVERIFY(display.reason().contains(QStringLiteral("lumd22")));
}

// Unicast to one display on this PC: no namespace needed. The relay reads a
// settings file, and Ctrl+C ends it with status 0.
void TestMulticast::unicastReachesItsClient()
{
    if (PrivateNetwork::inside())
        QSKIP("runs on the host's loopback");
    ConsoleCable cable;
    QVERIFY(cable.plug());
    const quint16 port = freeUdpPort();
    MeterLink display;
    display.rebuild(clientLink(QString::number(port)));
    QSignalSpy levels(&display, &MeterLink::levelsDecoded);
    // The display's own settings file names the port and a group; the
    // command line sends to the one display instead.
    QTemporaryDir dir;
    const QString file = dir.filePath(QStringLiteral("Lumora Meters.conf"));
    {
        QSettings settings(file, QSettings::IniFormat);
        settings.setValue(QStringLiteral("serialport"), cable.linkPath());
        settings.setValue(QStringLiteral("server_port"), QString::number(port));
        settings.setValue(QStringLiteral("server_destination"), kGroup);
    }
    Relay relay({"--settings", file, "--destination", "127.0.0.1"});
    QVERIFY2(relay.waitUntilReady(), qPrintable(relay.log()));

    for (quint32 n = 0; n < kPackets; ++n)
        cable.write(numberedPacket(n));
    QTRY_COMPARE(display.packetsDecoded(), quint64(kPackets));
    QCOMPARE(levels.last().at(0).value<MeterPacket::Levels>(), levelsOf(numberedPacket(kPackets - 1)));

    ::kill(pid_t(relay.process().processId()), SIGINT);
    QVERIFY(relay.process().waitForFinished(5000));
    QCOMPARE(relay.process().exitCode(), 0);
}

void TestMulticast::serverTtl_data()
{
    QTest::addColumn<QString>("ttl");
    QTest::addColumn<int>("hops");
    QTest::newRow("absent: this network only") << QString() << 1;
    QTest::newRow("7") << "7" << 7;
    QTest::newRow("255") << "255" << 255;
}

// The hop limit on the socket itself. Nothing is written to the cable, so
// nothing is sent and the host's loopback will do.
void TestMulticast::serverTtl()
{
    QFETCH(QString, ttl);
    QFETCH(int, hops);
    Pty console;
    QVERIFY(console.open());
    MeterLink server;
    server.rebuild(groupServer(console.slavePath(), ttl));
    QCOMPARE(server.destination(), QHostAddress(kGroup));
    int value = 0;
    socklen_t size = sizeof value;
    QCOMPARE(::getsockopt(int(server.udpSocket()->socketDescriptor()), IPPROTO_IP, IP_MULTICAST_TTL, &value, &size), 0);
    QCOMPARE(value, hops);
}

void TestMulticast::badValuesSendNothing_data()
{
    QTest::addColumn<CommSettings>("link");
    QTest::addColumn<QString>("where");
    QTest::addColumn<QString>("why");

    const auto server = [](const QString &destination, const QString &ttl) {
        CommSettings s = serverLink(QString(), QStringLiteral("127.0.0.1"), QStringLiteral("47201"));
        s.server_destination = destination;
        s.server_ttl = ttl;
        return s;
    };
    QTest::newRow("destination studio-b") << server("studio-b", "") << "studio-b" << "IPv4 address";
    QTest::newRow("destination 0.0.0.0") << server("0.0.0.0", "") << "0.0.0.0" << "no host";
    QTest::newRow("destination ::1") << server("::1", "") << "::1" << "IPv4 address";
    QTest::newRow("destination 10.1") << server("10.1", "") << "10.1" << "IPv4 address";
    QTest::newRow("TTL 0") << server(kGroup, "0") << "0" << "1 to 255";
    QTest::newRow("TTL 256") << server(kGroup, "256") << "256" << "1 to 255";
    QTest::newRow("TTL on a broadcast, two") << server("", "two") << "two" << "1 to 255";
    CommSettings v6 = server("", "");
    v6.server_host = QStringLiteral("::1");
    QTest::newRow("server host ::1") << v6 << "::1" << "IPv4 address";
    QTest::newRow("group 10.1.2.3") << groupClient(47202, "10.1.2.3") << "10.1.2.3" << "multicast group";
    QTest::newRow("group ff02::1") << groupClient(47202, "ff02::1") << "ff02::1" << "multicast group";
}

// A value the link cannot use binds, sends and joins nothing, shows the
// mark with the reason and logs one warning.
void TestMulticast::badValuesSendNothing()
{
    QFETCH(CommSettings, link);
    QFETCH(QString, where);
    QFETCH(QString, why);
    if (PrivateNetwork::inside())
        QSKIP("runs on the host's loopback");

    LinkLog log;
    MeterLink meterLink;
    meterLink.rebuild(link);
    QCOMPARE(meterLink.state(), LinkState::InvalidAddress);
    QCOMPARE(meterLink.where(), where);
    QVERIFY2(meterLink.reason().contains(why), qPrintable(meterLink.reason()));
    QCOMPARE(meterLink.udpSocket()->state(), QAbstractSocket::UnconnectedState);
    QCOMPARE(log.texts(QtWarningMsg).size(), 1);
}

void TestMulticast::relayRefusesBadOptions_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QString>("named");

    const QStringList base{"--serial", "ttyUSB0", "--port", "5000"};
    QTest::newRow("unknown option") << QStringList{"--serial", "ttyUSB0", "--colour", "red"} << "colour";
    QTest::newRow("no serial port") << QStringList{"--port", "5000"} << "--serial";
    QTest::newRow("port 0") << QStringList{"--serial", "ttyUSB0", "--port", "0"} << "--port";
    QTest::newRow("port 70000") << QStringList{"--serial", "ttyUSB0", "--port", "70000"} << "--port";
    QTest::newRow("destination a name") << base + QStringList{"--destination", "studio-b"} << "--destination";
    QTest::newRow("TTL 300") << base + QStringList{"--destination", kGroup, "--ttl", "300"} << "--ttl";
    QTest::newRow("interface IPv6") << base + QStringList{"--interface", "::1"} << "--interface";
    QTest::newRow("settings file missing") << QStringList{"--settings", "/nonexistent/lumora.conf"} << "--settings";
    // Sparse: no 4 MiB written for it.
    static QTemporaryDir dir;
    QFile huge(dir.filePath(QStringLiteral("huge.conf")));
    QVERIFY(huge.open(QIODevice::WriteOnly) && huge.resize(4 * 1024 * 1024 + 1));
    QTest::newRow("settings file over 4 MiB") << QStringList{"--settings", huge.fileName()} << "4 MiB";
}

// Status 2 and one line that names the option, before anything is opened.
void TestMulticast::relayRefusesBadOptions()
{
    QFETCH(QStringList, arguments);
    QFETCH(QString, named);
    if (PrivateNetwork::inside())
        QSKIP("runs on the host's loopback");
    Relay relay(arguments);
    QVERIFY(relay.process().waitForFinished(10000));
    QCOMPARE(relay.process().exitCode(), 2);
    const QStringList lines = relay.log().trimmed().split(QLatin1Char('\n'));
    QCOMPARE(lines.size(), 1);
    QVERIFY2(lines.first().startsWith(QLatin1String("lumora-relay: ")) && lines.first().contains(named),
             qPrintable(lines.first()));
}

void TestMulticast::relayQuitsCleanly_data()
{
    QTest::addColumn<QStringList>("launcher");
    QTest::addColumn<QList<int>>("sent");
    QTest::addColumn<int>("quitOn");

    QTest::newRow("SIGTERM") << QStringList() << QList<int>{SIGTERM} << SIGTERM;
    QTest::newRow("SIGINT") << QStringList() << QList<int>{SIGINT} << SIGINT;
    QTest::newRow("under nohup: SIGHUP passes it by") << QStringList{"nohup"} << QList<int>{SIGHUP, SIGTERM}
                                                     << SIGTERM;
}

// A stop ends it with status 0, told in one line and without a warning.
void TestMulticast::relayQuitsCleanly()
{
    QFETCH(QStringList, launcher);
    QFETCH(QList<int>, sent);
    QFETCH(int, quitOn);
    if (PrivateNetwork::inside())
        QSKIP("runs on the host's loopback");
    Pty console;
    QVERIFY(console.open());
    Relay relay({"--serial", console.slavePath(), "--port", freeUdpPortText(), "--destination", "127.0.0.1"},
                launcher);
    QVERIFY2(relay.waitUntilReady(), qPrintable(relay.log()));
    for (const int signal : sent)
        ::kill(pid_t(relay.process().processId()), signal);
    QVERIFY(relay.process().waitForFinished(5000));
    QCOMPARE(relay.process().exitStatus(), QProcess::NormalExit);
    QCOMPARE(relay.process().exitCode(), 0);
    const QString log = relay.log();
    QVERIFY2(log.count(QLatin1String(" received, shutting down")) == 1
                 && log.contains(QStringLiteral("signal %1 received").arg(quitOn))
                 && !log.contains(QRegularExpression(QStringLiteral("^(warning|critical) "),
                                                     QRegularExpression::MultilineOption)),
             qPrintable(log));
}

// Its log on a pipe whose reader has gone: the next line fails to be
// written, and a stop still ends it in order, its port closed.
void TestMulticast::relayOutlivesItsLogReader()
{
    if (PrivateNetwork::inside())
        QSKIP("runs on the host's loopback");
    Pty console;
    QVERIFY(console.open());
    QTemporaryDir dir;
    const QByteArray fifo = QFile::encodeName(dir.filePath(QStringLiteral("log")));
    QCOMPARE(::mkfifo(fifo.constData(), 0600), 0);
    const int reader = ::open(fifo.constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    QVERIFY(reader >= 0);
    QProcess relay;
    relay.setStandardErrorFile(QString::fromLocal8Bit(fifo));
    // The toolkit starts programs with SIGPIPE ignored; a shell or service
    // manager does not.
    relay.start(QStringLiteral("env"),
                {"--default-signal=PIPE", QStringLiteral(LUMORA_RELAY), "--serial", console.slavePath(), "--port", freeUdpPortText(), "--destination", "127.0.0.1"});
    QVERIFY(relay.waitForStarted());
    QByteArray log;
    QTRY_VERIFY_WITH_TIMEOUT(([&] {
                                 char buf[4096];
                                 const ssize_t n = ::read(reader, buf, sizeof buf);
                                 if (n > 0)
                                     log.append(buf, int(n));
                                 return log.contains("No meter data from");
                             }()),
                             10000);
    ::close(reader);
    relay.terminate();
    QVERIFY(relay.waitForFinished(5000));
    QCOMPARE(relay.exitStatus(), QProcess::NormalExit);
    QCOMPARE(relay.exitCode(), 0);
}

LUMORA_TEST_MAIN(TestMulticast)
#include "tst_multicast.moc"
