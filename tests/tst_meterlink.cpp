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

QTEST_GUILESS_MAIN(TestMeterLink)
#include "tst_meterlink.moc"
