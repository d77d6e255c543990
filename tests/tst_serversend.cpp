// The sending side of a UDP server and of the relay, where the building is
// not as tidy as the lab: an address that comes late, leaves and comes back,
// and a destination with no route. Addresses and routes change only inside
// a private network namespace that the test makes for itself.
#include <QNetworkDatagram>
#include <QSignalSpy>
#include <QUdpSocket>
#include <QtTest>

#include <array>

#include "addresswatch.h"
#include "linktestsupport.h"
#include "multicastsupport.h"
#include "privatenetwork.h"
#include "testsupport.h"

using namespace LinkTest;
using namespace MulticastTest;

namespace {

constexpr quint16 kPort = 47300;
constexpr int kCheckMs = 200;
const QString kAddress = QStringLiteral("10.10.1.10");
const QString kUnrouted = QStringLiteral("10.99.0.1");

bool ip(const QString &command)
{
    return QProcess::execute(QStringLiteral("ip"), command.split(QLatin1Char(' '))) == 0;
}

int count(const QStringList &lines, const QString &part)
{
    return int(std::count_if(lines.begin(), lines.end(), [&](const QString &l) { return l.contains(part); }));
}

} // namespace

class TestServerSend : public QObject
{
    Q_OBJECT

private slots:
    void addressWatch_data();
    void addressWatch();
    void addressLateGoneAndBack_data();
    void addressLateGoneAndBack();
    void sendsWithoutRoute_data();
    void sendsWithoutRoute();
};

void TestServerSend::addressWatch_data()
{
    // Checks as "time+" (present) or "time-" (missing); the notes as
    // . none, M missing, A appeared, W mistyped warning.
    QTest::addColumn<QString>("checks");
    QTest::addColumn<QString>("notes");
    QTest::newRow("missing at start, comes 3 s later, stays") << "0- 5000+ 10000+" << "MA.";
    QTest::newRow("leaves while running, comes back") << "0+ 5000- 10000- 15000+" << ".M.A";
    QTest::newRow("never comes: a minute, then every ten")
        << "0- 55000- 60000- 65000- 659000- 660000- 665000- 1260000-" << "M.W..W.W";
    QTest::newRow("a minute counts from each departure")
        << "0- 50000+ 55000- 100000- 115000-" << "MAM.W";
    QTest::newRow("a late check warns from its own time") << "0- 200000- 600000- 800000-" << "MW.W";
}

void TestServerSend::addressWatch()
{
    QFETCH(QString, checks);
    QFETCH(QString, notes);
    AddressWatch watch;
    QString got;
    for (const QString &c : checks.split(QLatin1Char(' ')))
        got += QLatin1Char(".MAW"[int(watch.check(c.endsWith(QLatin1Char('+')), c.chopped(1).toLongLong()))]);
    QCOMPARE(got, notes);
}

void TestServerSend::addressLateGoneAndBack_data()
{
    QTest::addColumn<bool>("viaRelay");
    QTest::addColumn<bool>("portShared");
    QTest::newRow("lumora-relay, checking every 5 s") << true << false;
    QTest::newRow("the display's UDP server") << false << false;
    QTest::newRow("lumora-relay, a client display on this PC listening") << true << true;
    QTest::newRow("the display's UDP server, a client display on this PC listening") << false << true;
}

// A server started before its address exists, fed by the console all along:
// it sends once the address comes 3 s later, stops when it leaves, and
// sends again when it returns, always from that address. The serial thread
// sends throughout, while the socket is rebound. A client display on this
// PC, listening on any address and the same port, is not in its way.
void TestServerSend::addressLateGoneAndBack()
{
    QFETCH(bool, viaRelay);
    QFETCH(bool, portShared);
    if (!PrivateNetwork::inside()) {
        PrivateNetwork::run(this, "addressLateGoneAndBack");
        return;
    }
    QVERIFY(PrivateNetwork::onlyLoopback());
    ConsoleCable cable;
    QVERIFY(cable.plug());
    QUdpSocket listener;
    if (portShared)
        QVERIFY(listener.bind(QHostAddress::AnyIPv4, kPort, QUdpSocket::ShareAddress | QUdpSocket::ReuseAddressHint));
    else
        QVERIFY(listener.bind(QHostAddress::Broadcast, kPort));
    QSet<QString> senders;
    int received = 0;
    const auto receive = [&] {
        while (listener.hasPendingDatagrams()) {
            senders.insert(listener.receiveDatagram().senderAddress().toString());
            ++received;
        }
        return received;
    };

    qputenv("LUMORA_RELAY_STATS_MS", "200");
    auto log = std::make_unique<LinkLog>();
    std::unique_ptr<Relay> relay;
    MeterLink server;
    if (viaRelay) {
        relay = std::make_unique<Relay>(
            QStringList{"--serial", cable.linkPath(), "--interface", kAddress, "--port", QString::number(kPort)});
    } else {
        server.setAddressCheckInterval(kCheckMs);
        server.rebuild(serverLink(cable.linkPath(), kAddress, QString::number(kPort)));
        QCOMPARE(server.state(), LinkState::AddressNotLocal);
        QCOMPARE(server.where(), kAddress);
    }
    const auto told = [&](const QString &part) {
        return relay ? relay->log().count(part) : count(log->texts(QtWarningMsg) + log->texts(QtInfoMsg), part);
    };
    const auto counts = [&] {  // read, sent, not sent
        if (!relay)
            return std::array<quint64, 3>{server.packetsDecoded(), server.packetsSent(), server.packetsUnsent()};
        std::array<quint64, 3> last{};
        QRegularExpressionMatchIterator lines =
            QRegularExpression(QStringLiteral("(\\d+) packets read, (\\d+) sent, (\\d+) failed")).globalMatch(relay->log());
        while (lines.hasNext()) {
            const QRegularExpressionMatch m = lines.next();
            last = {m.captured(1).toULongLong(), m.captured(2).toULongLong(), m.captured(3).toULongLong()};
        }
        return last;
    };
    const QString waiting = QStringLiteral("Waiting for address 10.10.1.10 to appear on this PC");
    QTRY_COMPARE(told(waiting), 1);

    quint32 written = 0;
    QTimer console;
    QObject::connect(&console, &QTimer::timeout, [&] { cable.write(numberedPacket(written++)); });
    console.start(10);
    QElapsedTimer clock;
    clock.start();
    QTimer::singleShot(3000, Qt::PreciseTimer, [] { ip(QStringLiteral("addr add 10.10.1.10/32 dev lo")); });

    QTRY_VERIFY_WITH_TIMEOUT(receive() > 0, 12000);
    QVERIFY(clock.elapsed() >= 3000);
    QTRY_VERIFY(counts()[2] > 0);
    QCOMPARE(told(waiting), 1);
    if (!relay)
        QTRY_COMPARE(server.state(), LinkState::Live);

    QVERIFY(ip(QStringLiteral("addr del 10.10.1.10/32 dev lo")));
    QTRY_COMPARE(told(waiting), 2);
    if (!relay)
        QCOMPARE(server.state(), LinkState::AddressNotLocal);
    const int whileGone = receive();
    const quint64 unsent = counts()[2];
    QTRY_VERIFY(counts()[2] > unsent + 20);
    QCOMPARE(receive(), whileGone);

    QVERIFY(ip(QStringLiteral("addr add 10.10.1.10/32 dev lo")));
    QTRY_VERIFY_WITH_TIMEOUT(receive() > whileGone + 20, 10000);
    if (!relay)
        QTRY_COMPARE(server.state(), LinkState::Live);
    console.stop();
    // Every packet read either went out or was counted as not sent.
    QTRY_COMPARE(counts()[0], quint64(written));
    const std::array<quint64, 3> figures = counts();
    QCOMPARE(figures[1] + figures[2], quint64(written));
    QTRY_COMPARE(receive(), int(figures[1]));
    QCOMPARE(senders, QSet<QString>{kAddress});
    QCOMPARE(told(QStringLiteral("Address 10.10.1.10 is on this PC again")), 2);
    // The sends that failed as the address left are put down to it.
    QCOMPARE(told(QStringLiteral("fails")), 0);
    log.reset();
    qInfo("address late, gone, back: %u packets, %llu sent, %llu not sent", written, figures[1], figures[2]);
}

void TestServerSend::sendsWithoutRoute_data()
{
    QTest::addColumn<bool>("viaRelay");
    QTest::newRow("lumora-relay") << true;
    QTest::newRow("the display's UDP server") << false;
}

// Every send fails: each is counted as failed, not as forwarded, the
// failure is logged once with the system's reason and shown, and a route
// that appears brings the sends and a line saying so.
void TestServerSend::sendsWithoutRoute()
{
    QFETCH(bool, viaRelay);
    if (!PrivateNetwork::inside()) {
        PrivateNetwork::run(this, "sendsWithoutRoute");
        return;
    }
    QVERIFY(PrivateNetwork::onlyLoopback());
    ConsoleCable cable;
    QVERIFY(cable.plug());
    qputenv("LUMORA_RELAY_STATS_MS", "200");
    std::unique_ptr<Relay> relay;
    LinkLog log;
    MeterLink server;
    if (viaRelay) {
        relay = std::make_unique<Relay>(QStringList{"--serial", cable.linkPath(), "--port", QString::number(kPort),
                                                    "--destination", kUnrouted});
        QVERIFY2(relay->waitUntilReady(), qPrintable(relay->log()));
    } else {
        CommSettings s = serverLink(cable.linkPath(), QString(), QString::number(kPort));
        s.server_destination = kUnrouted;
        server.rebuild(s);
    }

    for (quint32 n = 0; n < 50; ++n)
        cable.write(numberedPacket(n));
    if (viaRelay) {
        QTRY_VERIFY2(relay->log().contains(QLatin1String("50 packets read, 0 sent, 50 failed")),
                     qPrintable(relay->log()));
        QCOMPARE(relay->log().count(QLatin1String("Network is unreachable")), 1);
    } else {
        QTRY_COMPARE(server.packetsUnsent(), quint64(50));
        // The reader thread counts at once; the GUI thread hears of the
        // change through a queued call.
        QTRY_COMPARE(server.state(), LinkState::SendFailed);
        QCOMPARE(server.reason(), QStringLiteral("Network is unreachable"));
        QCOMPARE(count(log.texts(QtWarningMsg), QStringLiteral("Network is unreachable")), 1);
    }

    QVERIFY(ip(QStringLiteral("route add 10.99.0.0/16 dev lo")));
    for (quint32 n = 50; n < 60; ++n)
        cable.write(numberedPacket(n));
    if (viaRelay) {
        QTRY_VERIFY2(relay->log().contains(QLatin1String("60 packets read, 10 sent, 50 failed")),
                     qPrintable(relay->log()));
        QCOMPARE(relay->log().count(QLatin1String("works again")), 1);
    } else {
        QTRY_COMPARE(server.packetsSent(), quint64(10));
        QTRY_COMPARE(server.state(), LinkState::Live);
        QCOMPARE(count(log.texts(QtInfoMsg), QStringLiteral("works again")), 1);
    }
}

LUMORA_TEST_MAIN(TestServerSend)
#include "tst_serversend.moc"
