// The serial link end to end over a real pseudo-terminal: packets from the
// console's end move the meters, none is lost at the line's full rate, a
// pulled cable is noticed and picked up again (the link on its own), and the
// window's title, link-state mark and dialog follow the link.
#include <QAbstractButton>
#include <QApplication>
#include <QDialog>
#include <QEventLoop>
#include <QLineEdit>
#include <QSerialPort>
#include <QUdpSocket>
#include <QtTest>

#include <sys/resource.h>

#include "controlcenter.h"
#include "controlwiring.h"
#include "linklog.h"
#include "linktestsupport.h"
#include "serialfeed.h"
#include "tallylamp.h"
#include "tallyline.h"
#include "testsupport.h"

using namespace LinkTest;

namespace {

// The serial line carries at most 720 packets a second (115200 baud, 10 bits
// a byte, 16 bytes a packet).
constexpr int kLineRate = 720;
constexpr int kRateSeconds = 10;

qint64 cpuMicroseconds()
{
    rusage usage{};
    ::getrusage(RUSAGE_SELF, &usage);
    return qint64(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) * 1000000
        + usage.ru_utime.tv_usec + usage.ru_stime.tv_usec;
}

// Keeps a console talking: one packet every interval until stopped.
class Talker
{
public:
    Talker(ConsoleCable &cable, const QByteArray &bytes, int intervalMs = 20)
    {
        m_timer.setInterval(intervalMs);
        QObject::connect(&m_timer, &QTimer::timeout, [&cable, bytes] { cable.write(bytes); });
    }
    void start() { m_timer.start(); }
    void stop() { m_timer.stop(); }

private:
    QTimer m_timer;
};

} // namespace

class TestSerial : public QObject
{
    Q_OBJECT

private slots:
    void packetsMoveTargetsAndMeters_data();
    void packetsMoveTargetsAndMeters();
    void fullLineRateLosesNothing();
    void unplugAndReplug();
    void linkMarkFollowsTheLink();
    void silentLinkBringsMetersToFloor();
    void firstRunAsksForAPort();
    void tallyLineLightsTheLamp();
    void dialogRebuildsOnlyAChangedLink_data();
    void dialogRebuildsOnlyAChangedLink();
};

void TestSerial::packetsMoveTargetsAndMeters_data()
{
    QTest::addColumn<QList<QByteArray>>("writes");
    QTest::addColumn<int>("decodes");
    QTest::addColumn<QByteArray>("last");

    const QByteArray zeroDb = packetOf(0xC350);
    const QByteArray crlf = packet({0x0D0A, 0x0D0A, 0xC350, 0x0D0A, 0x1234, 0xFFFF});
    const QByteArray other = packet({0x0000, 0x4E20, 0x7530, 0x9C40, 0xC350, 0xD6D8});

    QTest::newRow("AA AA C3 50 .. 55 55 in one write") << QList<QByteArray>{zeroDb} << 1 << zeroDb;
    QTest::newRow("10 bytes then 6") << QList<QByteArray>{zeroDb.left(10), zeroDb.mid(10)} << 1 << zeroDb;
    QTest::newRow("two packets in one write") << QList<QByteArray>{zeroDb + other} << 2 << other;
    QTest::newRow("0D 0A among the levels") << QList<QByteArray>{crlf} << 1 << crlf;
    QTest::newRow("garbage, a lone AA, then a packet")
        << QList<QByteArray>{QByteArray::fromHex("0102AA55AA"), other} << 1 << other;
    QTest::newRow("wrong end mark, then a packet")
        << QList<QByteArray>{zeroDb.left(15) + '\x54', other} << 1 << other;
}

void TestSerial::packetsMoveTargetsAndMeters()
{
    QFETCH(QList<QByteArray>, writes);
    QFETCH(int, decodes);
    QFETCH(QByteArray, last);

    ConsoleCable cable;
    QVERIFY(cable.plug());
    const auto window = windowWith(serialLink(cable.linkPath()));
    QVERIFY(window->link().serialPort());
    QVERIFY(window->link().serialPort()->isOpen());
    QCOMPARE(window->windowTitle(), QStringLiteral("Lumora Meters - (%1)").arg(cable.linkPath()));

    for (const QByteArray &bytes : writes)
        cable.write(bytes);
    const std::array<double, 6> expected = levelsOf(last);
    QTRY_COMPARE(window->release().targets(), expected);
    QCOMPARE(window->link().packetsDecoded(), quint64(decodes));

    // The release tick carries the targets onto the meters, each clamped to
    // its own scale.
    for (int i = 0; i < 6; ++i) {
        TeskPPMMeter *m = meter(*window, i);
        const double shown = qBound(m->MindBPosition(), expected[size_t(i)], m->MaxdBPosition());
        QTRY_COMPARE(m->dBPosition(), shown);
    }
}

// The console at the line's full rate for ten seconds, written in pieces of
// random size: every packet is decoded, and the last one is on the targets.
void TestSerial::fullLineRateLosesNothing()
{
    constexpr quint32 total = kLineRate * kRateSeconds;
    ConsoleCable cable;
    QVERIFY(cable.plug());
    LinkUnderTest under(serialLink(cable.linkPath()));
    const MeterLink &link = under.link;
    QVERIFY(link.serialPort()->isOpen());

    QRandomGenerator random(720);
    QElapsedTimer clock;
    quint32 sent = 0;
    QTimer pacer;
    pacer.setInterval(5);
    QObject::connect(&pacer, &QTimer::timeout, [&] {
        const auto due = quint32(qMin<qint64>(total, clock.elapsed() * kLineRate / 1000 + 1));
        QByteArray bytes;
        for (; sent < due; ++sent)
            bytes += numberedPacket(sent);
        while (!bytes.isEmpty()) {
            const int piece = qMin(bytes.size(), int(random.bounded(1, 48)));
            cable.write(bytes.left(piece));
            bytes.remove(0, piece);
        }
        cable.flush();
        if (sent == total && cable.pendingBytes() == 0)
            pacer.stop();
    });
    clock.start();
    pacer.start();

    QTRY_COMPARE_WITH_TIMEOUT(link.packetsDecoded(), quint64(total), (kRateSeconds + 10) * 1000);
    QCOMPARE(sent, total);
    QVERIFY(clock.elapsed() >= (kRateSeconds - 1) * 1000);  // really paced, not one burst
    // Counted as the reader thread frames it; the levels follow on the GUI thread.
    QTRY_COMPARE(under.last, levelsOf(numberedPacket(total - 1)));
    TestSupport::settle();
    QCOMPARE(link.packetsDecoded(), quint64(total));
}

// The cable is pulled and plugged in again under the same name.
void TestSerial::unplugAndReplug()
{
    ConsoleCable cable;
    QVERIFY(cable.plug());
    LinkUnderTest under(serialLink(cable.linkPath()));
    const MeterLink &link = under.link;
    const QSerialPort *port = link.serialPort();
    QVERIFY(port->isOpen());
    cable.write(packetOf(40000));
    QTRY_COMPARE(under.last[0], -10.0);

    // Gone: the port is closed within a second instead of spinning on the
    // read error with the port still open.
    cable.unplug();
    QTRY_VERIFY_WITH_TIMEOUT(!port->isOpen(), 1500);
    QCOMPARE(link.serialPort(), port);
    QCOMPARE(link.state(), LinkState::PortClosed);

    // While it is gone the link stays near idle: under 2% of a core over
    // a 3 second window (a measuring window, nothing waits on it).
    constexpr int windowMs = 3000;
    const qint64 before = cpuMicroseconds();
    QElapsedTimer wall;
    wall.start();
    QEventLoop loop;
    QTimer::singleShot(windowMs, Qt::PreciseTimer, &loop, &QEventLoop::quit);
    loop.exec();
    const qint64 usedUs = cpuMicroseconds() - before;
    const double share = double(usedUs) / double(wall.elapsed() * 1000);
    qInfo("CPU while the serial device is gone: %.2f%% of a core over %lld ms", share * 100.0,
          qint64(wall.elapsed()));
    QVERIFY2(share < 0.02, qPrintable(QStringLiteral("%1% of a core").arg(share * 100.0)));
    QVERIFY(!port->isOpen());

    // Back under the same name: reopened within two seconds, packets flow.
    QVERIFY(cable.plug());
    QTRY_VERIFY_WITH_TIMEOUT(port->isOpen(), 2000);
    QCOMPARE(link.serialPort(), port);
    cable.write(packetOf(45000));
    QTRY_COMPARE(under.last, levelsOf(packetOf(45000)));
}

// Shown, hidden and shown again: silence, packets, a pulled cable.
void TestSerial::linkMarkFollowsTheLink()
{
    ConsoleCable cable;
    QVERIFY(cable.plug());
    const auto window = windowWith(serialLink(cable.linkPath()));
    window->link().setSilenceTimeout(150);
    Talker talker(cable, packetOf(30000));

    // Open, but nothing has come yet.
    QVERIFY(markShown(*window));
    QCOMPARE(window->link().state(), LinkState::Silent);

    talker.start();
    QTRY_COMPARE(window->link().state(), LinkState::Live);
    QVERIFY(!markShown(*window));

    talker.stop();
    QTRY_COMPARE(window->link().state(), LinkState::Silent);
    QVERIFY(markShown(*window));
    QVERIFY(linkMark(*window)->toolTip().contains(cable.linkPath()));

    talker.start();
    QTRY_COMPARE(window->link().state(), LinkState::Live);
    QVERIFY(!markShown(*window));

    talker.stop();
    cable.unplug();
    QTRY_COMPARE_WITH_TIMEOUT(window->link().state(), LinkState::PortClosed, 1500);
    QVERIFY(markShown(*window));
    QVERIFY(linkMark(*window)->toolTip().contains(cable.linkPath()));

    QVERIFY(cable.plug());
    QTRY_VERIFY_WITH_TIMEOUT(window->link().serialPort()->isOpen(), 2000);
    QTRY_VERIFY(markShown(*window));  // open again, but still silent
    talker.start();
    QTRY_COMPARE(window->link().state(), LinkState::Live);
    QVERIFY(!markShown(*window));
}

// A 0 dB tone, then the console falls silent: the targets drop to the floor
// after the silence time, and the meters come down to exactly -50.0 at the
// release speed.
void TestSerial::silentLinkBringsMetersToFloor()
{
    ConsoleCable cable;
    QVERIFY(cable.plug());
    const auto window = windowWith(serialLink(cable.linkPath()));
    window->link().setSilenceTimeout(100);
    Talker talker(cable, packetOf(50000));
    talker.start();
    for (int i = 0; i < 6; ++i)
        QTRY_COMPARE(meter(*window, i)->dBPosition(), 0.0);

    talker.stop();
    QTRY_COMPARE(window->release().targets(), levelsOf(packetOf(0)));
    // Coming down at 13.3 dB a second, so far from the floor yet.
    QVERIFY(meter(*window, 0)->dBPosition() > -45.0);

    // 376 release ticks (3.76 s) bring a meter from 0 dB to the floor.
    for (int i = 0; i < 6; ++i)
        QTRY_COMPARE_WITH_TIMEOUT(meter(*window, i)->dBPosition(), -50.0, 10000);
}

// No port chosen yet: the mark says what to do, not "Serial port  is not open".
// The console's GPO on a handshake input: a pseudo-terminal has none, which
// is told once however often the port opens; with lines read in the port's
// place on the reader thread, each edge of the watched line reaches the lamp
// through the thread's hand-off.
void TestSerial::tallyLineLightsTheLamp()
{
    // The lines read in the port's place; made first, as the reader thread
    // reads them until the window has gone.
    std::atomic<int> lines{TallySource::Dsr};
    ConsoleCable cable;
    QVERIFY(cable.plug());
    CommSettings settings = serialLink(cable.linkPath());
    settings.tally_source = QStringLiteral("cts");
    LinkLog log;
    const auto window = windowWith(settings);
    const TallyLamp *lamp = window->findChild<TallyLamp *>(QStringLiteral("tallyLamp"));
    QVERIFY(lamp->isVisibleTo(window.get()));
    const auto told = [&log] {
        return log.texts(QtWarningMsg).filter(QStringLiteral("cannot read the modem lines of")).size();
    };
    QTRY_COMPARE(told(), 1);
    QVERIFY2(log.texts(QtWarningMsg).filter(QStringLiteral("cannot read the modem lines of")).first().contains(cable.linkPath()),
             qPrintable(log.told().join('\n')));
    window->setupLink();
    QTRY_VERIFY(!window->link().serialFeed()->linesProblem().isEmpty());
    QCOMPARE(told(), 1);
    QVERIFY(!lamp->on());
    // The state says so too, for the page and the monitoring.
    QVERIFY(window->control().center().statusJson().contains("\"problem\":\"tally_source=cts: cannot read the modem lines of"));

    window->link().setLineReader([&lines](int, int *read) {
        *read = lines.load();
        return 0;
    });
    window->setupLink();
    QTRY_VERIFY(window->link().tallyLine().isKnown());
    QVERIFY(!lamp->on());
    QVERIFY(window->control().center().statusJson().contains("\"problem\":\"\""));
    lines = TallySource::Cts | TallySource::Dsr;
    QTRY_VERIFY(lamp->on());
    lines = TallySource::Dsr;
    QTRY_VERIFY(!lamp->on());
    // Inverted, the same line lights it while it is off.
    settings.tally_source = QStringLiteral("!cts");
    window->setLinkSettings(settings);
    QTRY_VERIFY(lamp->on());
}

void TestSerial::firstRunAsksForAPort()
{
    const auto window = windowWith(CommSettings());
    QVERIFY(markShown(*window));
    QCOMPARE(linkMark(*window)->toolTip(),
             QStringLiteral("No serial port is chosen yet: choose the console's port with the gear icon."));
}

void TestSerial::dialogRebuildsOnlyAChangedLink_data()
{
    QTest::addColumn<bool>("editPort");
    QTest::addColumn<bool>("ok");
    QTest::addColumn<bool>("rebuilt");

    QTest::newRow("Cancel after editing the port") << true << false << false;
    QTest::newRow("OK with nothing changed") << false << true << false;
    QTest::newRow("OK with another port") << true << true << true;
}

// Through the real dialog, opened from the settings icon: a link that did
// not change keeps its socket and its meters.
void TestSerial::dialogRebuildsOnlyAChangedLink()
{
    QFETCH(bool, editPort);
    QFETCH(bool, ok);
    QFETCH(bool, rebuilt);

    const quint16 port = freeUdpPort();
    const auto window = windowWith(clientLink(QString::number(port)));
    window->link().setSilenceTimeout(600000);
    QUdpSocket server;
    QVERIFY(server.bind(QHostAddress(QStringLiteral("127.0.0.1")), 0));
    server.writeDatagram(packetOf(45000), QHostAddress(QHostAddress::LocalHost), port);
    QTRY_COMPARE(window->release().targets(), levelsOf(packetOf(45000)));

    bool answered = false;
    QTimer answer;
    QObject::connect(&answer, &QTimer::timeout, [&] {
        auto *dialog = qobject_cast<QDialog *>(QApplication::activeModalWidget());
        if (!dialog)
            return;
        answer.stop();
        if (editPort)
            dialog->findChild<QLineEdit *>(QStringLiteral("lineEdit_client_port"))->setText(QString::number(port + 1));
        dialog->findChild<QAbstractButton *>(QLatin1String(ok ? "pushButton_ok" : "pushButton_cancel"))->click();
        answered = true;
    });
    answer.start(0);
    QVERIFY(QMetaObject::invokeMethod(window.get(), "openSettings"));
    QVERIFY(answered);

    QCOMPARE(window->link().udpSocket()->localPort(), rebuilt ? quint16(port + 1) : port);
    QCOMPARE(window->release().targets(), rebuilt ? levelsOf(packetOf(0)) : levelsOf(packetOf(45000)));
}

LUMORA_TEST_MAIN(TestSerial)
#include "tst_serial.moc"
