// The link on its own: settings in, levels and state out, no window.
#include <QHostAddress>
#include <QSignalSpy>
#include <QUdpSocket>
#include <QtTest>

#include "linktestsupport.h"
#include "meterlink.h"

using namespace LinkTest;

Q_DECLARE_METATYPE(LinkState)
Q_DECLARE_METATYPE(MeterPacket::Levels)

class TestMeterLink : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        qRegisterMetaType<LinkState>();
        qRegisterMetaType<MeterPacket::Levels>();
    }
    void serialPacketsComeOutAsLevels();
    void clientAcceptance_data();
    void clientAcceptance();
    void silenceIsReported();
    void pacedLinkWaitsForThePull_data();
    void pacedLinkWaitsForThePull();
};

void TestMeterLink::serialPacketsComeOutAsLevels()
{
    Pty console;
    QVERIFY(console.open());
    MeterLink link;
    QSignalSpy levels(&link, &MeterLink::levelsDecoded);
    QSignalSpy state(&link, &MeterLink::stateChanged);
    link.rebuild(serialLink(console.slavePath()));
    QCOMPARE(link.name(), console.slavePath());
    QCOMPARE(link.state(), LinkState::Silent);

    QVERIFY(console.writePacket({40000, 50000, 0, 1, 2, 3}));
    QVERIFY(levels.wait());
    QCOMPARE(levels.last().at(0).value<MeterPacket::Levels>(),
             (MeterPacket::Levels{-10.0, 0.0, -50.0, -49.999, -49.998, -49.997}));
    QCOMPARE(link.state(), LinkState::Live);
    QCOMPARE(state.last().at(0).value<LinkState>(), LinkState::Live);
    QCOMPARE(link.packetsDecoded(), quint64(1));
}

void TestMeterLink::clientAcceptance_data()
{
    QTest::addColumn<QString>("from");
    QTest::addColumn<int>("size");
    QTest::addColumn<bool>("accepted");

    QTest::newRow("packet from the server") << "127.0.0.1" << 16 << true;
    QTest::newRow("packet from another host") << "127.0.0.2" << 16 << false;
    QTest::newRow("17 bytes from the server") << "127.0.0.1" << 17 << false;
}

void TestMeterLink::clientAcceptance()
{
    QFETCH(QString, from);
    QFETCH(int, size);
    QFETCH(bool, accepted);

    MeterLink link;
    link.rebuild(clientLink(freeUdpPort()));  // any free port
    const quint16 port = link.udpSocket()->localPort();
    QVERIFY(port != 0);
    QSignalSpy levels(&link, &MeterLink::levelsDecoded);

    QUdpSocket sender;
    QVERIFY(sender.bind(QHostAddress(from), 0));
    const QByteArray datagram = packetOf(45000).leftJustified(size, '\0');
    QCOMPARE(sender.writeDatagram(datagram, QHostAddress(QHostAddress::LocalHost), port), qint64(size));
    // A valid packet afterwards shows the first one has been dealt with.
    QUdpSocket server;
    QVERIFY(server.bind(QHostAddress(QStringLiteral("127.0.0.1")), 0));
    server.writeDatagram(packetOf(50000), QHostAddress(QHostAddress::LocalHost), port);
    QTRY_VERIFY(!levels.isEmpty());
    QTRY_COMPARE(levels.last().at(0).value<MeterPacket::Levels>(), levelsOf(packetOf(50000)));
    QCOMPARE(link.packetsDecoded(), quint64(accepted ? 2 : 1));
}

void TestMeterLink::silenceIsReported()
{
    Pty console;
    QVERIFY(console.open());
    MeterLink link;
    link.setSilenceTimeout(50);
    link.rebuild(serialLink(console.slavePath()));
    QSignalSpy silence(&link, &MeterLink::silenceBegan);
    QVERIFY(console.writePacket({40000, 40000, 40000, 40000, 40000, 40000}));
    QTRY_COMPARE(link.state(), LinkState::Live);
    QVERIFY(silence.wait());
    QCOMPARE(silence.count(), 1);
    QCOMPARE(link.state(), LinkState::Silent);
    QCOMPARE(link.where(), console.slavePath());
}

void TestMeterLink::pacedLinkWaitsForThePull_data()
{
    QTest::addColumn<bool>("udp");
    QTest::newRow("serial") << false;
    QTest::newRow("UDP client") << true;
}

// While the meters move the link is read on the frame: arrivals wake
// nothing, a pull reads every one of them, and unpaced the link reads on
// arrival again.
void TestMeterLink::pacedLinkWaitsForThePull()
{
    QFETCH(bool, udp);
    Pty console;
    QVERIFY(console.open());
    MeterLink link;
    link.rebuild(udp ? clientLink(freeUdpPort()) : serialLink(console.slavePath()));
    QUdpSocket sender;
    QVERIFY(sender.bind(QHostAddress(QStringLiteral("127.0.0.1")), 0));
    quint16 word = 1000;
    auto send = [&] {
        const quint16 w = word++;
        if (udp)
            return sender.writeDatagram(packetOf(w), QHostAddress(QHostAddress::LocalHost),
                                        link.udpSocket()->localPort()) == 16;
        return console.writePacket({w, w, w, w, w, w});
    };
    QSignalSpy packets(&link, &MeterLink::packetDecoded);

    QVERIFY(send());
    QVERIFY(packets.wait());

    link.setPaced(true);
    constexpr int kBurst = 40;
    for (int i = 0; i < kBurst; ++i)
        QVERIFY(send());
    QVERIFY(!packets.wait(200));
    QCOMPARE(packets.count(), 1);
    link.pull();
    QCOMPARE(packets.count(), 1 + kBurst);
    QCOMPARE(packets.last().at(0).value<MeterPacket::Levels>()[0], (word - 1) / 1000.0 - 50.0);

    // The pull's own reads re-arm the transport; it stays quiet all the same.
    QVERIFY(send());
    QVERIFY(!packets.wait(150));
    link.pull();
    QCOMPARE(packets.count(), 2 + kBurst);

    link.setPaced(false);
    QVERIFY(send());
    QVERIFY(packets.wait());
    QCOMPARE(packets.count(), 3 + kBurst);
}

QTEST_GUILESS_MAIN(TestMeterLink)
#include "tst_meterlink.moc"
