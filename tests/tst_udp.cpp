// The UDP link with real sockets: a client on loopback
// that takes packets from its server only, port texts that name no port, a
// flood, link rebuilds, and a server that passes every serial packet on to
// the studio network. The server's broadcasts only ever go out inside a
// private network namespace that the test makes for itself.
#include <QHostAddress>
#include <QNetworkDatagram>
#include <QTextDocument>
#include <QTextDocumentFragment>
#include <QUdpSocket>
#include <QtTest>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <atomic>
#include <thread>

#include "linktestsupport.h"
#include "privatenetwork.h"
#include "testsupport.h"

using namespace LinkTest;

Q_DECLARE_METATYPE(CommSettings)
Q_DECLARE_METATYPE(QHostAddress)

namespace {

constexpr quint16 kPreferredClientPort = 5000;

const QHostAddress kServerAddress(QStringLiteral("127.0.0.1"));
const QHostAddress kStrangerAddress(QStringLiteral("127.0.0.2"));

// 5000 where it is free, as a studio would set it; any free port otherwise.
quint16 clientPort()
{
    QUdpSocket probe;
    if (probe.bind(QHostAddress::Any, kPreferredClientPort))
        return kPreferredClientPort;
    probe.bind(QHostAddress(QHostAddress::Any), 0);
    const quint16 port = probe.localPort();
    qInfo("UDP port %u is busy on this machine; the client listens on %u instead",
          unsigned(kPreferredClientPort), unsigned(port));
    return port;
}

// A sender on one loopback address, standing in for a server or a stranger.
class Sender
{
public:
    explicit Sender(const QHostAddress &from) { m_ok = m_socket.bind(from, 0); }
    bool isBound() const { return m_ok; }
    bool send(const QByteArray &bytes, quint16 port)
    {
        return m_socket.writeDatagram(bytes, QHostAddress::LocalHost, port) == bytes.size();
    }

private:
    QUdpSocket m_socket;
    bool m_ok = false;
};

bool inPrivateNetwork()
{
    return PrivateNetwork::inside();
}

// The text a tooltip shows, taken as the toolkit takes it.
QString shownText(const QString &tip)
{
    return Qt::mightBeRichText(tip) ? QTextDocumentFragment::fromHtml(tip).toPlainText() : tip;
}

} // namespace

class TestUdp : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();

    void clientBindsAndNamesItsPort();
    void clientAcceptance_data();
    void clientAcceptance();
    void malformedThenHundredValid();
    void switchToSerialStopsDatagrams();
    void invalidClientPorts_data();
    void invalidClientPorts();
    void rebuildDropsTargets_data();
    void rebuildDropsTargets();
    void floodLeavesLoopResponsive();
    void junkSenderCannotStopTheServer();

    void broadcasts_data();
    void broadcasts();
    void twoDisplaysShareABroadcastPort();

private:
    quint16 m_port = 0;
};

void TestUdp::initTestCase()
{
    m_port = inPrivateNetwork() ? kPreferredClientPort : clientPort();
}

void TestUdp::clientBindsAndNamesItsPort()
{
    if (inPrivateNetwork())
        QSKIP("runs on the host's loopback");
    LinkLog log;
    const auto window = windowWith(clientLink(QString::number(m_port)));
    const QUdpSocket *socket = window->link().udpSocket();
    QCOMPARE(socket->state(), QAbstractSocket::BoundState);
    QCOMPARE(socket->localPort(), m_port);
    QCOMPARE(window->windowTitle(), QStringLiteral("Lumora Meters - (%1)").arg(m_port));
    QCOMPARE(log.texts(QtDebugMsg).filter(QStringLiteral("bind to port")),
             QStringList{QStringLiteral("bind to port  %1  -  true").arg(m_port)});
    QVERIFY(log.texts(QtWarningMsg).isEmpty());
    QVERIFY(!window->link().serialPort());
    QCOMPARE(window->link().state(), LinkState::Silent);  // bound, nothing heard yet

    Sender server(kServerAddress);
    QVERIFY(server.isBound());
    QVERIFY(server.send(packetOf(0xC350), m_port));
    QTRY_COMPARE(window->release().targets(), levelsOf(packetOf(0xC350)));
    QCOMPARE(window->link().state(), LinkState::Live);
    QVERIFY(!markShown(*window));
    QVERIFY(log.texts(QtDebugMsg).contains(QStringLiteral("udpReceive")));
}

void TestUdp::clientAcceptance_data()
{
    QTest::addColumn<QHostAddress>("from");
    QTest::addColumn<QByteArray>("datagram");
    QTest::addColumn<bool>("accepted");

    const QByteArray valid = packet({0x0000, 0x2710, 0x4E20, 0x7530, 0x9C40, 0xFFFF});
    QByteArray wrongStart = valid;
    wrongStart[1] = char(0xAB);
    QByteArray wrongEnd = valid;
    wrongEnd[15] = char(0x54);

    QTest::newRow("packet from the server 127.0.0.1") << kServerAddress << valid << true;
    QTest::newRow("packet from a stranger 127.0.0.2") << kStrangerAddress << valid << false;
    QTest::newRow("17 bytes from the server") << kServerAddress << valid + '\x55' << false;
    QTest::newRow("15 bytes from the server") << kServerAddress << valid.left(15) << false;
    QTest::newRow("empty datagram from the server") << kServerAddress << QByteArray() << false;
    QTest::newRow("AA AB .. 55 55 from the server") << kServerAddress << wrongStart << false;
    QTest::newRow("AA AA .. 55 54 from the server") << kServerAddress << wrongEnd << false;
    QTest::newRow("two packets in one datagram") << kServerAddress << valid + valid << false;
}

// Each datagram under test is followed by a marker packet from the server:
// once the marker is on the targets, the datagram before it has been seen.
void TestUdp::clientAcceptance()
{
    QFETCH(QHostAddress, from);
    QFETCH(QByteArray, datagram);
    QFETCH(bool, accepted);
    if (inPrivateNetwork())
        QSKIP("runs on the host's loopback");

    LinkUnderTest under(clientLink(QString::number(m_port)));
    Sender sender(from);
    Sender server(kServerAddress);
    QVERIFY(sender.isBound());
    QVERIFY(server.isBound());

    QVERIFY(sender.send(datagram, m_port));
    if (accepted) {
        QTRY_COMPARE(under.link.packetsDecoded(), quint64(1));
        QCOMPARE(under.last, levelsOf(datagram));
    }
    const QByteArray marker = packetOf(12345);
    QVERIFY(server.send(marker, m_port));
    QTRY_COMPARE(under.last, levelsOf(marker));
    QCOMPARE(under.link.packetsDecoded(), quint64(accepted ? 2 : 1));
}

void TestUdp::malformedThenHundredValid()
{
    if (inPrivateNetwork())
        QSKIP("runs on the host's loopback");
    LinkUnderTest under(clientLink(QString::number(m_port)));
    Sender server(kServerAddress);
    QVERIFY(server.send(QByteArray::fromHex("aaaa0102030405060708090a0b0c5555ff"), m_port));
    for (quint32 n = 0; n < 100; ++n)
        QVERIFY(server.send(numberedPacket(n), m_port));
    QTRY_COMPARE(under.link.packetsDecoded(), quint64(100));
    QCOMPARE(under.last, levelsOf(numberedPacket(99)));
    TestSupport::settle();
    QCOMPARE(under.link.packetsDecoded(), quint64(100));
}

// After a switch to serial only, the link lets go of its UDP port: a
// listener of the test's own can take the port and receives what the server
// sends, and no packet reaches the meters any more.
void TestUdp::switchToSerialStopsDatagrams()
{
    if (inPrivateNetwork())
        QSKIP("runs on the host's loopback");
    LinkUnderTest under(clientLink(QString::number(m_port)));
    Sender server(kServerAddress);
    QVERIFY(server.send(packetOf(40000), m_port));
    QTRY_COMPARE(under.link.packetsDecoded(), quint64(1));

    under.link.rebuild(serialLink(QStringLiteral("/nonexistent/lumora-test-port")));
    QCOMPARE(under.link.udpSocket()->state(), QAbstractSocket::UnconnectedState);

    QUdpSocket listener;
    QVERIFY(listener.bind(QHostAddress::AnyIPv4, m_port));
    QVERIFY(server.send(packetOf(50000), m_port));
    QTRY_VERIFY(listener.hasPendingDatagrams());
    TestSupport::settle();
    QCOMPARE(under.link.packetsDecoded(), quint64(1));
    QCOMPARE(under.last, levelsOf(packetOf(40000)));
}

void TestUdp::invalidClientPorts_data()
{
    QTest::addColumn<QString>("portText");
    QTest::addColumn<QString>("shown");

    QTest::newRow("70000, above the last port") << QStringLiteral("70000") << QStringLiteral("70000");
    QTest::newRow("0, a random port no server sends to") << QStringLiteral("0") << QStringLiteral("0");
    QTest::newRow("abc") << QStringLiteral("abc") << QStringLiteral("0");
    QTest::newRow("empty") << QString() << QStringLiteral("0");
    QTest::newRow("-1") << QStringLiteral("-1") << QStringLiteral("0");
    QTest::newRow("5000x") << QStringLiteral("5000x") << QStringLiteral("0");
    QTest::newRow("markup") << QStringLiteral("<img src=/nonexistent/lumora.png>") << QStringLiteral("0");
}

// A port text that is no port binds nothing, rather than 4464 for 70000 or a
// random port for text: the debug line says false, one warning is logged,
// the title still shows the number the text reads as, and the mark's tooltip
// the text as it is, never as markup.
void TestUdp::invalidClientPorts()
{
    QFETCH(QString, portText);
    QFETCH(QString, shown);
    if (inPrivateNetwork())
        QSKIP("runs on the host's loopback");

    LinkLog log;
    const auto window = windowWith(clientLink(portText));
    QCOMPARE(window->link().udpSocket()->state(), QAbstractSocket::UnconnectedState);
    QCOMPARE(window->link().udpSocket()->localPort(), quint16(0));
    QCOMPARE(log.texts(QtDebugMsg).filter(QStringLiteral("bind to port")),
             QStringList{QStringLiteral("bind to port  %1  -  false").arg(shown)});
    QCOMPARE(log.texts(QtWarningMsg).size(), 1);
    QCOMPARE(window->windowTitle(), QStringLiteral("Lumora Meters - (%1)").arg(shown));
    QCOMPARE(window->link().state(), LinkState::InvalidPort);
    QVERIFY(markShown(*window));
    QVERIFY(shownText(linkMark(*window)->toolTip()).contains(portText));
}

void TestUdp::rebuildDropsTargets_data()
{
    QTest::addColumn<CommSettings>("next");
    QTest::newRow("same client link again") << clientLink(QString::number(m_port));
    QTest::newRow("to serial only") << serialLink(QStringLiteral("/nonexistent/lumora-test-port"));
    QTest::newRow("to another client port") << clientLink(QString::number(m_port ^ 1));
}

// Every rebuild starts the meters from the floor again.
void TestUdp::rebuildDropsTargets()
{
    QFETCH(CommSettings, next);
    if (inPrivateNetwork())
        QSKIP("runs on the host's loopback");
    const auto window = windowWith(clientLink(QString::number(m_port)));
    Sender server(kServerAddress);
    QVERIFY(server.send(packet({1000, 20000, 30000, 40000, 50000, 60000}), m_port));
    QTRY_COMPARE(window->link().packetsDecoded(), quint64(1));
    QVERIFY(window->release().targets() != levelsOf(packetOf(0)));

    window->setLinkSettings(next);
    for (double level : window->release().targets())
        QCOMPARE(level, -50.0);
}

// A burst of datagrams, most of them junk, sent from another thread as fast
// as it goes: the event loop keeps turning (a 10 ms timer keeps
// firing) and a valid packet afterwards still moves the meters.
void TestUdp::floodLeavesLoopResponsive()
{
    if (inPrivateNetwork())
        QSKIP("runs on the host's loopback");
    constexpr int burst = 5000;
    LinkUnderTest under(clientLink(QString::number(m_port)));

    const QByteArray valid = packetOf(20000);
    const QByteArray junk = valid + "junk";
    std::atomic<bool> done{false};
    std::atomic<int> sentCount{0};
    const quint16 port = m_port;
    std::thread flooder([&] {
        const int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_port = htons(port);
        to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        for (int i = 0; fd >= 0 && i < burst; ++i) {
            const QByteArray &bytes = i % 10 == 0 ? valid : junk;
            if (::sendto(fd, bytes.constData(), size_t(bytes.size()), 0,
                         reinterpret_cast<const sockaddr *>(&to), sizeof to) > 0)
                ++sentCount;
        }
        if (fd >= 0)
            ::close(fd);
        done = true;
    });

    QElapsedTimer sinceTick;
    qint64 longestGap = 0;
    int ticks = 0;
    QTimer ticker;
    ticker.setTimerType(Qt::PreciseTimer);
    QObject::connect(&ticker, &QTimer::timeout, [&] {
        longestGap = qMax(longestGap, sinceTick.restart());
        ++ticks;
    });
    sinceTick.start();
    ticker.start(10);
    QTRY_VERIFY_WITH_TIMEOUT(done.load(), 30000);
    flooder.join();

    // The kernel may still hold a full receive buffer of junk and drop a
    // single datagram; a console sends the next packet 10 ms later, and so
    // does this one until the meters show it.
    Sender server(kServerAddress);
    const QByteArray after = packetOf(33333);
    QTimer resend;
    QObject::connect(&resend, &QTimer::timeout, [&] { server.send(after, port); });
    QVERIFY(server.send(after, m_port));
    resend.start(10);
    QTRY_COMPARE(under.last, levelsOf(after));
    resend.stop();
    ticker.stop();
    qInfo("flood of %d datagrams: %llu decoded, %d ticks, longest gap %lld ms", sentCount.load(),
          under.link.packetsDecoded(), ticks, longestGap);
    QCOMPARE(sentCount.load(), burst);
    QVERIFY(ticks > 0);
    QVERIFY2(longestGap < 500, qPrintable(QStringLiteral("event loop stalled for %1 ms").arg(longestGap)));
}

// 16-byte junk from a stranger, hundreds of datagrams for each of the
// server's packets, while the link is read on the frame as when the meters
// move: every one of the server's packets is read all the same.
void TestUdp::junkSenderCannotStopTheServer()
{
    if (inPrivateNetwork())
        QSKIP("runs on the host's loopback");
    constexpr int kPackets = 200;
    constexpr int kJunkPerPacket = 500;
    LinkUnderTest under(clientLink(QString::number(m_port)));
    under.link.setPaced(true);
    QTimer frame;
    QObject::connect(&frame, &QTimer::timeout, &under.link, &MeterLink::pull);
    frame.start(17);

    std::atomic<bool> done{false};
    const quint16 port = m_port;
    std::thread senders([&] {
        const auto socketFrom = [](quint32 address) {
            const int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
            sockaddr_in from{};
            from.sin_family = AF_INET;
            from.sin_addr.s_addr = htonl(address);
            ::bind(fd, reinterpret_cast<const sockaddr *>(&from), sizeof from);
            return fd;
        };
        const int server = socketFrom(INADDR_LOOPBACK);
        const int stranger = socketFrom(INADDR_LOOPBACK + 1);
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_port = htons(port);
        to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        const auto send = [&](int fd, const QByteArray &bytes) {
            ::sendto(fd, bytes.constData(), size_t(bytes.size()), 0, reinterpret_cast<const sockaddr *>(&to), sizeof to);
        };
        const QByteArray junk = QByteArray(16, '\x42');
        for (quint32 n = 0; n < quint32(kPackets); ++n) {
            send(server, numberedPacket(n));
            for (int i = 0; i < kJunkPerPacket; ++i)
                send(stranger, junk);
        }
        ::close(server);
        ::close(stranger);
        done = true;
    });
    QTRY_VERIFY_WITH_TIMEOUT(done.load(), 60000);
    senders.join();
    QTRY_COMPARE(under.link.packetsDecoded(), quint64(kPackets));
    QCOMPARE(under.last, levelsOf(numberedPacket(kPackets - 1)));
}

void TestUdp::broadcasts_data()
{
    QTest::addColumn<CommSettings>("link");
    QTest::addColumn<bool>("fromSerial");
    QTest::addColumn<quint16>("listenPort");
    QTest::addColumn<bool>("broadcast");

    constexpr quint16 serverPort = 47100;
    const QString port = QString::number(serverPort);
    // serialport is filled in with the test's own terminal.
    QTest::newRow("server passes each serial packet on")
        << serverLink(QString(), QStringLiteral("127.0.0.1"), port) << true << serverPort << true;
    CommSettings serialOnly = serverLink(QString(), QStringLiteral("127.0.0.1"), port);
    serialOnly.use_udp = false;
    QTest::newRow("serial only sends nothing") << serialOnly << true << serverPort << false;
    CommSettings client = serverLink(QString(), QStringLiteral("127.0.0.1"), port);
    client.is_server = false;
    client.client_host = QStringLiteral("127.0.0.1");
    client.client_port = QString::number(kPreferredClientPort);
    QTest::newRow("client sends nothing") << client << false << serverPort << false;
    // 70000 once meant port 4464.
    QTest::newRow("server on port 70000 sends nothing")
        << serverLink(QString(), QStringLiteral("127.0.0.1"), QStringLiteral("70000")) << true
        << quint16(4464) << false;
}

// In server mode every packet decoded from the serial port goes out once,
// byte for byte, to 255.255.255.255 on server_port; in the other modes, and
// with a port text that is no port, nothing is sent.
void TestUdp::broadcasts()
{
    QFETCH(CommSettings, link);
    QFETCH(bool, fromSerial);
    QFETCH(quint16, listenPort);
    QFETCH(bool, broadcast);

    if (!inPrivateNetwork()) {
        PrivateNetwork::run(this, "broadcasts");
        return;
    }
    if (!PrivateNetwork::onlyLoopback())
        QSKIP("this network namespace has more than loopback; nothing is broadcast here");

    ConsoleCable cable;
    QVERIFY(cable.plug());
    link.serialport = cable.linkPath();
    // The listener takes the broadcast address itself, so the port stays
    // free on 127.0.0.1 for the server's own socket.
    QUdpSocket listener;
    QVERIFY(listener.bind(QHostAddress::Broadcast, listenPort));
    LinkUnderTest under(link);

    constexpr quint32 count = 50;
    Sender server(kServerAddress);
    for (quint32 n = 0; n < count; ++n) {
        if (fromSerial)
            cable.write(numberedPacket(n));
        else
            QVERIFY(server.send(numberedPacket(n), kPreferredClientPort));
    }
    QTRY_COMPARE(under.link.packetsDecoded(), quint64(count));

    // A broadcast leaves during the decode and loopback delivers it at once,
    // so whatever was sent is waiting at the listener by now.
    QList<QByteArray> received;
    const auto receive = [&] {
        while (listener.hasPendingDatagrams())
            received << listener.receiveDatagram().data();
        return received.size();
    };
    if (broadcast)
        QTRY_COMPARE_WITH_TIMEOUT(receive(), int(count), 5000);
    TestSupport::settle();
    receive();
    if (!broadcast) {
        QCOMPARE(received.size(), 0);
        return;
    }
    QCOMPARE(received.size(), int(count));
    for (quint32 n = 0; n < count; ++n)
        QCOMPARE(received[int(n)], numberedPacket(n));
    QCOMPARE(under.link.udpSocket()->state(), QAbstractSocket::BoundState);
    QCOMPARE(under.link.udpSocket()->localPort(), listenPort);
}

// Two displays on one PC listen to the same broadcast port, and each reads
// every packet.
void TestUdp::twoDisplaysShareABroadcastPort()
{
    if (!inPrivateNetwork()) {
        PrivateNetwork::run(this, "twoDisplaysShareABroadcastPort");
        return;
    }
    if (!PrivateNetwork::onlyLoopback())
        QSKIP("this network namespace has more than loopback; nothing is broadcast here");
    LinkUnderTest left(clientLink(QString::number(m_port)));
    LinkUnderTest right(clientLink(QString::number(m_port)));
    QCOMPARE(right.link.state(), LinkState::Silent);
    QUdpSocket server;
    QVERIFY(server.bind(kServerAddress, 0));
    constexpr quint32 count = 20;
    for (quint32 n = 0; n < count; ++n)
        QCOMPARE(server.writeDatagram(numberedPacket(n), QHostAddress::Broadcast, m_port), qint64(16));
    QTRY_COMPARE(left.link.packetsDecoded(), quint64(count));
    QTRY_COMPARE(right.link.packetsDecoded(), quint64(count));
}

LUMORA_TEST_MAIN(TestUdp)
#include "tst_udp.moc"
