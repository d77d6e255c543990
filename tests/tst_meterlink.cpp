// The link on its own: settings in, levels and state out, no window.
#include <QHostAddress>
#include <QNetworkDatagram>
#include <QElapsedTimer>
#include <QSignalSpy>
#include <QUdpSocket>
#include <QtTest>

#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>

#include <linux/capability.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include "linktestsupport.h"
#include "meterlink.h"
#include "packetgate.h"
#include "privatenetwork.h"
#include "serialfeed.h"
#include "threadwake.h"

#include <thread>

using namespace LinkTest;

Q_DECLARE_METATYPE(LinkState)
Q_DECLARE_METATYPE(MeterPacket::Levels)

namespace {

// Takes away, for its lifetime and on this thread, the root's right to open
// any file whatever its mode, so a device file's own permissions count as
// they do for a studio user. Nothing changes for a user who is not root.
class FileModesCount
{
public:
    FileModesCount()
    {
        if (::syscall(SYS_capget, &m_header, m_saved) != 0)
            return;
        __user_cap_data_struct lowered[2] = {m_saved[0], m_saved[1]};
        lowered[0].effective &= ~((1u << CAP_DAC_OVERRIDE) | (1u << CAP_DAC_READ_SEARCH));
        m_changed = ::syscall(SYS_capset, &m_header, lowered) == 0;
    }
    ~FileModesCount()
    {
        if (m_changed)
            ::syscall(SYS_capset, &m_header, m_saved);
    }

private:
    __user_cap_header_struct m_header{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct m_saved[2]{};
    bool m_changed = false;
};

// The link's state has settled on a problem: it is that problem, the reason
// names it, exactly one warning says so, and a retry of the serial port
// (every second) adds none.
void checkToldOnce(MeterLink &link, const LinkLog &log, LinkState state, const QString &reasonPart)
{
    QTRY_COMPARE(link.state(), state);
    QVERIFY2(link.reason().contains(reasonPart), qPrintable(link.reason()));
    if (link.settings().serialport.size() > 0 && !link.serialFeed()->isOpen()) {
        QSignalSpy retried(link.serialFeed(), &SerialFeed::openChanged);
        QVERIFY(retried.wait(3000));
    }
    const QStringList warnings = log.texts(QtWarningMsg);
    QCOMPARE(warnings.size(), 1);
    QVERIFY2(warnings.first().contains(reasonPart), qPrintable(warnings.first()));
}

} // namespace

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
    void silenceIsReported();
    void pacedLinkWaitsForThePull_data();
    void pacedLinkWaitsForThePull();
    void gateKeepsWhatTheScreenNeeds_data();
    void gateKeepsWhatTheScreenNeeds();
    void steadyPacketsStayWithTheReader();
    void unplugNoticedPacedOrNot_data();
    void unplugNoticedPacedOrNot();
    void wakesFromAnotherThreadFold();

    void clientHostByName_data();
    void clientHostByName();
    void movedServerIsFoundAgain();
    void olderAnswerLandingLate();
    void wrongSenderIsTold();
    void missingPort();
    void portRefusedToUser();
    void portHeldByAnotherProgram();
    void udpPortTaken_data();
    void udpPortTaken();
    void addressNotOnThisPc();
    void serverForwardsWhileMetersMove();
    void problemsLoggedOncePerChange();
    void dropOutTold();
    void firstPortChosenQuietly();
    void longPortNameCut();
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
    link.rebuild(udp ? clientLink(freeUdpPortText()) : serialLink(console.slavePath()));
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

void TestMeterLink::gateKeepsWhatTheScreenNeeds_data()
{
    // A script for the gate: a letter offers that packet; T takes what is
    // kept; P paced, R resting; F forget; N no changes wanted (the relay).
    QTest::addColumn<QString>("script");
    QTest::addColumn<QString>("taken");
    QTest::addColumn<int>("wakes");
    QTest::newRow("resting: repeats dropped") << "AAAT" << "A" << 1;
    QTest::newRow("resting: one wake until taken") << "ABCTCCDT" << "ABCD" << 2;
    QTest::newRow("paced: every packet, no wake") << "PAAABT" << "AAAB" << 0;
    QTest::newRow("paced then resting: no repeat") << "PATRAB" << "A" << 1;
    QTest::newRow("forget: a repeat is news") << "ATFAT" << "AA" << 2;
    QTest::newRow("relay: only after forget") << "NABCTFDT" << "AD" << 2;
}

void TestMeterLink::gateKeepsWhatTheScreenNeeds()
{
    QFETCH(QString, script);
    QFETCH(QString, taken);
    QFETCH(int, wakes);
    PacketGate gate;
    QString got;
    int woken = 0;
    std::vector<MeterPacket::Bytes> out;
    for (const QChar c : script) {
        if (c == QLatin1Char('T')) {
            out.clear();
            gate.take(out);
            for (const MeterPacket::Bytes &p : out)
                got += QChar(p[2]);
        } else if (c == QLatin1Char('P') || c == QLatin1Char('R')) {
            gate.setPaced(c == QLatin1Char('P'));
        } else if (c == QLatin1Char('F')) {
            gate.forget();
        } else if (c == QLatin1Char('N')) {
            gate.setChangesWanted(false);
        } else {
            MeterPacket::Bytes p{};
            p[2] = std::uint8_t(c.toLatin1());
            woken += gate.offer(p, 0) ? 1 : 0;
        }
    }
    QCOMPARE(got, taken);
    QCOMPARE(woken, wakes);

    // A GUI thread that stops taking loses the oldest, never more memory.
    gate.take(out);
    gate.setPaced(true);
    for (std::size_t i = 0; i < PacketGate::kMaxWaiting + 5; ++i)
        gate.offer(MeterPacket::Bytes{}, 0);
    out.clear();
    gate.take(out);
    QCOMPARE(out.size(), PacketGate::kMaxWaiting);
    QCOMPARE(gate.overflowed(), std::uint64_t(5));
}

// A console holding steady sends the same packet over and over: the reader
// thread counts it and it keeps the link live, but only the first one, and
// the first after a silence, reach the GUI thread.
void TestMeterLink::steadyPacketsStayWithTheReader()
{
    Pty console;
    QVERIFY(console.open());
    MeterLink link;
    link.rebuild(serialLink(console.slavePath()));
    QSignalSpy levels(&link, &MeterLink::levelsDecoded);
    QSignalSpy silence(&link, &MeterLink::silenceBegan);
    QTimer steady;
    steady.setInterval(10);
    connect(&steady, &QTimer::timeout, [&] { console.writePacket({30000, 30000, 30000, 30000, 30000, 30000}); });
    steady.start();
    // Well past the silence timeout.
    QTRY_VERIFY_WITH_TIMEOUT(link.packetsDecoded() >= 150, 10000);
    QCOMPARE(levels.count(), 1);
    QCOMPARE(silence.count(), 0);
    QCOMPARE(link.state(), LinkState::Live);

    steady.stop();
    QVERIFY(silence.wait(3000));
    steady.start();
    QTRY_COMPARE(levels.count(), 2);
    QCOMPARE(link.state(), LinkState::Live);
}

void TestMeterLink::unplugNoticedPacedOrNot_data()
{
    QTest::addColumn<bool>("paced");
    QTest::addColumn<bool>("hangUp");
    QTest::newRow("resting: the reader thread watches") << false << false;
    QTest::newRow("moving: the frame reads") << true << false;
    QTest::newRow("moving, the line hung up: reads come back empty") << true << true;
}

// The adapter is pulled whether the reader thread or the frame's pull reads
// the port: the port is closed and the link says so, once.
void TestMeterLink::unplugNoticedPacedOrNot()
{
    QFETCH(bool, paced);
    QFETCH(bool, hangUp);
    Pty console;
    QVERIFY(console.open());
    MeterLink link;
    link.rebuild(serialLink(console.slavePath()));
    QVERIFY(link.serialFeed()->isThreaded());
    QSignalSpy levels(&link, &MeterLink::levelsDecoded);
    QVERIFY(console.writePacket({30000, 30000, 30000, 30000, 30000, 30000}));
    QVERIFY(levels.wait());
    link.setPaced(paced);
    QTimer frame;  // the release's frame beat, while the meters move
    connect(&frame, &QTimer::timeout, &link, &MeterLink::pull);
    if (paced)
        frame.start(17);
    QVERIFY(console.writePacket({40000, 40000, 40000, 40000, 40000, 40000}));
    QTRY_COMPARE(levels.count(), 2);
    if (hangUp) {
        if (!console.hangUp())
            QSKIP("this system does not let a test hang up a terminal");
    } else {
        console.close();
    }
    QTRY_COMPARE(link.state(), LinkState::PortClosed);
    QVERIFY2(link.reason().contains(QStringLiteral("stopped answering")), qPrintable(link.reason()));
}

// Many wakes from another thread before the owner's loop turns come out as
// at least one woken(), and never more than were asked for.
void TestMeterLink::wakesFromAnotherThreadFold()
{
    ThreadWake wake;
    QSignalSpy woken(&wake, &ThreadWake::woken);
    std::thread waker([&wake] {
        for (int i = 0; i < 1000; ++i)
            wake.wake();
    });
    waker.join();
    QTRY_VERIFY(woken.count() >= 1);
    QVERIFY(woken.count() < 1000);
    const int seen = woken.count();
    wake.wake();
    QTRY_COMPARE(woken.count(), seen + 1);
}

void TestMeterLink::clientHostByName_data()
{
    QTest::addColumn<QString>("host");
    QTest::addColumn<bool>("resolves");

    QTest::newRow("localhost, from /etc/hosts") << "localhost" << true;
    QTest::newRow("a name no resolver knows") << "no-such-host.invalid" << false;
}

// A host name is looked up without blocking; datagrams from any of its IPv4
// addresses count. One that does not resolve is a problem told once.
void TestMeterLink::clientHostByName()
{
    QFETCH(QString, host);
    QFETCH(bool, resolves);

    LinkLog log;
    MeterLink link;
    const quint16 port = freeUdpPort();
    link.rebuild(clientLink(QString::number(port), host));
    QCOMPARE(link.udpSocket()->localPort(), port);
    if (!resolves) {
        QTRY_COMPARE_WITH_TIMEOUT(link.state(), LinkState::HostUnresolved, 20000);
        QCOMPARE(link.where(), host);
        QCOMPARE(log.texts(QtWarningMsg).size(), 1);
        return;
    }
    QUdpSocket server;
    QVERIFY(server.bind(QHostAddress(QStringLiteral("127.0.0.1")), 0));
    // Sent until the name has been looked up and the packet is taken.
    QTimer resend;
    QObject::connect(&resend, &QTimer::timeout, [&] {
        server.writeDatagram(packetOf(45000), QHostAddress(QHostAddress::LocalHost), port);
    });
    resend.start(20);
    QTRY_COMPARE(link.state(), LinkState::Live);
    QVERIFY(log.texts(QtWarningMsg).isEmpty());
}

// A studio PC that moved to a new address is found again while the link is
// silent, and the kernel's filter follows: a burst from the new address
// arrives whole.
void TestMeterLink::movedServerIsFoundAgain()
{
    LinkLog log;
    MeterLink link;
    link.setSilenceTimeout(100);
    link.setHostRecheckInterval(100);
    // Shared: a look-up on its worker thread may outlive the test.
    const auto address = std::make_shared<std::atomic<quint32>>(QHostAddress(QStringLiteral("127.0.0.3")).toIPv4Address());
    link.setHostResolver([address](const QString &name) {
        QHostInfo info;
        info.setHostName(name);
        info.setAddresses({QHostAddress(address->load())});
        return info;
    });
    const quint16 port = freeUdpPort();
    link.rebuild(clientLink(QString::number(port), QStringLiteral("studio-pc")));
    QUdpSocket oldPc;
    QUdpSocket newPc;
    QVERIFY(oldPc.bind(QHostAddress(QStringLiteral("127.0.0.3")), 0));
    QVERIFY(newPc.bind(QHostAddress(QStringLiteral("127.0.0.1")), 0));
    QUdpSocket *sender = &oldPc;
    QTimer resend;
    QObject::connect(&resend, &QTimer::timeout, [&] {
        sender->writeDatagram(packetOf(45000), QHostAddress(QHostAddress::LocalHost), port);
    });
    resend.start(10);
    QTRY_COMPARE(link.state(), LinkState::Live);

    *address = QHostAddress(QStringLiteral("127.0.0.1")).toIPv4Address();
    sender = &newPc;
    QTRY_COMPARE(link.state(), LinkState::Silent);
    QTRY_COMPARE_WITH_TIMEOUT(link.state(), LinkState::Live, 3000);
    resend.stop();
    QVERIFY(log.texts(QtInfoMsg).contains(QStringLiteral("accepting meter data from studio-pc = 127.0.0.1")));
    const quint64 before = link.packetsDecoded();
    for (int i = 0; i < 64; ++i)
        QCOMPARE(newPc.writeDatagram(packetOf(30000), QHostAddress(QHostAddress::LocalHost), port), qint64(16));
    QTRY_COMPARE(link.packetsDecoded(), before + 64);
}

// A look-up started again (the recheck of a silent link, a rebuild) while
// the one before still waits on the name server: the older answer, landing
// after the newer one but before the owner has read it, takes nothing away.
void TestMeterLink::olderAnswerLandingLate()
{
    struct Gates
    {
        std::mutex mutex;
        std::condition_variable opened;
        QStringList open;
    };
    const auto gates = std::make_shared<Gates>();
    const auto openGate = [&gates](const QString &name) {
        {
            const std::lock_guard<std::mutex> lock(gates->mutex);
            gates->open << name;
        }
        gates->opened.notify_all();
    };
    HostLookup lookup;
    lookup.setResolver([gates](const QString &name) {
        std::unique_lock<std::mutex> lock(gates->mutex);
        gates->opened.wait(lock, [&] { return gates->open.contains(name); });
        QHostInfo info;
        info.setHostName(name);
        return info;
    });
    QStringList answers;
    QObject::connect(&lookup, &HostLookup::finished, [&](const QHostInfo &info) { answers << info.hostName(); });
    // Each look-up's thread holds a copy of the resolver, and so of the
    // gates, until it has left its answer: the count tells when it has,
    // without running the event loop that would read the answer early.
    const long idle = gates.use_count();
    const auto threadsLeft = [&](long running) {
        QDeadlineTimer deadline(5000);
        while (gates.use_count() > idle + running && !deadline.hasExpired())
            std::this_thread::yield();
        return gates.use_count() == idle + running;
    };
    lookup.start(QStringLiteral("old"));
    lookup.start(QStringLiteral("new"));
    openGate(QStringLiteral("new"));
    QVERIFY(threadsLeft(1));
    openGate(QStringLiteral("old"));
    QVERIFY(threadsLeft(0));
    QTRY_COMPARE(answers, QStringList{QStringLiteral("new")});
    QVERIFY(!lookup.isRunning());
}

// Meter packets from a sender that is not client_host are told of once a
// minute, and the tooltip of the silent link says why.
void TestMeterLink::wrongSenderIsTold()
{
    LinkLog log;
    MeterLink link;
    const quint16 port = freeUdpPort();
    link.rebuild(clientLink(QString::number(port), QStringLiteral("127.0.0.1")));
    QUdpSocket stranger;
    QVERIFY(stranger.bind(QHostAddress(QStringLiteral("127.0.0.2")), 0));
    // Only a sample of them passes the kernel's filter.
    QTimer resend;
    QObject::connect(&resend, &QTimer::timeout, [&] {
        for (int i = 0; i < 8; ++i)
            stranger.writeDatagram(packetOf(45000), QHostAddress(QHostAddress::LocalHost), port);
    });
    resend.start(5);
    const QString told = QStringLiteral("ignoring meter data from 127.0.0.2: this display listens to 127.0.0.1 (client_host)");
    QTRY_COMPARE(log.texts(QtWarningMsg), QStringList{told});
    QCOMPARE(link.state(), LinkState::Silent);
    QVERIFY2(link.reason().contains(QStringLiteral("Ignoring meter data from 127.0.0.2")), qPrintable(link.reason()));
    const quint64 seen = link.packetsDecoded();
    QSignalSpy more(link.udpSocket(), &QUdpSocket::readyRead);
    QTRY_VERIFY(more.count() > 20);
    QCOMPARE(log.texts(QtWarningMsg), QStringList{told});
    QCOMPARE(link.packetsDecoded(), seen);
}

void TestMeterLink::missingPort()
{
    LinkLog log;
    MeterLink link;
    QTemporaryDir dir;
    link.rebuild(serialLink(dir.filePath(QStringLiteral("ttyUSB9"))));
    checkToldOnce(link, log, LinkState::PortClosed, QStringLiteral("No such file or directory"));
}

void TestMeterLink::portRefusedToUser()
{
    Pty console;
    QVERIFY(console.open());
    QVERIFY(::chmod(console.slavePath().toLocal8Bit().constData(), 0) == 0);
    FileModesCount modes;
    LinkLog log;
    MeterLink link;
    link.rebuild(serialLink(console.slavePath()));
    checkToldOnce(link, log, LinkState::PortClosed, QStringLiteral("dialout"));
    QVERIFY(link.reason().contains(QStringLiteral("Permission denied")));
}

void TestMeterLink::portHeldByAnotherProgram()
{
    Pty console;
    QVERIFY(console.open());
    QSerialPort holder(console.slavePath());
    QVERIFY(holder.open(QIODevice::ReadWrite));
    LinkLog log;
    MeterLink link;
    link.rebuild(serialLink(console.slavePath()));
    checkToldOnce(link, log, LinkState::PortClosed, QStringLiteral("in use by another program"));
}

void TestMeterLink::udpPortTaken_data()
{
    QTest::addColumn<bool>("server");
    QTest::addColumn<QString>("serverHost");  // empty: any address
    QTest::newRow("a client's port") << false << QString();
    QTest::newRow("a server's port, at start and on every retry") << true << QString();
    QTest::newRow("a server's port, when its address comes") << true << QStringLiteral("10.10.1.10");
}

// Another program holds the port without sharing it: told once, in the
// system's words. A server names the port, and retries without a word more;
// an address that comes while the port is held is told of as it is.
void TestMeterLink::udpPortTaken()
{
    QFETCH(bool, server);
    QFETCH(QString, serverHost);
    if (!serverHost.isEmpty() && !PrivateNetwork::inside()) {
        PrivateNetwork::run(this, "udpPortTaken");
        return;
    }
    QUdpSocket holder;
    QVERIFY(holder.bind(QHostAddress(QHostAddress::AnyIPv4), 0));
    const QString port = QString::number(holder.localPort());
    Pty console;  // nothing is written: nothing is sent
    QVERIFY(console.open());
    LinkLog log;
    MeterLink link;
    link.setAddressCheckInterval(20);
    link.rebuild(server ? serverLink(console.slavePath(), serverHost, port) : clientLink(port));
    if (!serverHost.isEmpty()) {
        QVERIFY(PrivateNetwork::onlyLoopback());
        checkToldOnce(link, log, LinkState::AddressNotLocal, QStringLiteral("not available"));
        log.clear();
        QCOMPARE(QProcess::execute(QStringLiteral("ip"), {"addr", "add", serverHost + "/32", "dev", "lo"}), 0);
    }
    checkToldOnce(link, log, server ? LinkState::SendBindFailed : LinkState::BindFailed, QStringLiteral("in use"));
    // A server says that sending is what failed, not listening.
    QVERIFY(log.texts(QtWarningMsg).first().contains(
        server ? QStringLiteral("the socket that sends meter data from") : QStringLiteral("Could not listen")));
    QCOMPARE(log.texts(QtInfoMsg).filter(QStringLiteral("is on this PC again")).size(), serverHost.isEmpty() ? 0 : 1);
    if (!server)
        return;
    QVERIFY2(link.reason().contains(QStringLiteral(":%1: ").arg(port)), qPrintable(link.reason()));
    const int tries = log.texts(QtDebugMsg).filter(QStringLiteral("server bind to")).size();
    QTRY_VERIFY(log.texts(QtDebugMsg).filter(QStringLiteral("server bind to")).size() > tries + 2);
    QCOMPARE(log.texts(QtWarningMsg).size(), 1);
}

// 192.0.2.1 is set aside for documentation: no PC has it.
void TestMeterLink::addressNotOnThisPc()
{
    Pty console;
    QVERIFY(console.open());
    LinkLog log;
    MeterLink link;
    link.rebuild(serverLink(console.slavePath(), QStringLiteral("192.0.2.1"), QStringLiteral("47120")));
    checkToldOnce(link, log, LinkState::AddressNotLocal, QStringLiteral("not available"));
    QCOMPARE(link.where(), QStringLiteral("192.0.2.1"));
}

// While the meters move the window reads the link on its frame beat only;
// a server still sends every packet as it comes, each once and in order,
// and the frame's read still hands every one to the meters.
void TestMeterLink::serverForwardsWhileMetersMove()
{
    constexpr int kPackets = 200;
    Pty console;
    QVERIFY(console.open());
    QUdpSocket listener;
    QVERIFY(listener.bind(QHostAddress(QStringLiteral("127.0.0.1")), 0));
    listener.setSocketOption(QAbstractSocket::ReceiveBufferSizeSocketOption, 1 << 20);
    QList<QByteArray> received;
    connect(&listener, &QUdpSocket::readyRead, [&] {
        while (listener.hasPendingDatagrams())
            received << listener.receiveDatagram().data();
    });
    MeterLink link;
    CommSettings settings = serverLink(console.slavePath(), QStringLiteral("127.0.0.1"),
                                       QString::number(listener.localPort()));
    settings.server_destination = QStringLiteral("127.0.0.1");
    link.rebuild(settings);
    QVERIFY(link.serialFeed()->isThreaded());
    QSignalSpy decoded(&link, &MeterLink::packetDecoded);
    link.setPaced(true);
    QList<QByteArray> sent;
    for (int n = 0; n < kPackets; ++n) {
        sent << numberedPacket(quint32(n));
        QVERIFY(console.write(sent.last().constData(), size_t(sent.last().size())));
        // Frames read now and then, as the release does; none after the last
        // packets, which must go out all the same.
        if (n % 10 == 5 && n < kPackets - 20)
            link.pull();
    }
    QTRY_COMPARE(received.size(), kPackets);
    link.pull();
    QCOMPARE(decoded.size(), kPackets);
    // Nothing went twice: the next datagram is the next packet.
    sent << numberedPacket(quint32(kPackets));
    QVERIFY(console.write(sent.last().constData(), size_t(sent.last().size())));
    QTRY_COMPARE(received.size(), kPackets + 1);
    QCOMPARE(received, sent);
    QCOMPARE(link.packetsSent(), quint64(kPackets + 1));
}

// Pulled, gone, back: a warning for each change, nothing for the retries in
// between, and a line when it is back.
// An unplug is told once, with its first reason for as long as it lasts;
// after the replug the log ends with the data that came back.
void TestMeterLink::problemsLoggedOncePerChange()
{
    ConsoleCable cable;
    QVERIFY(cable.plug());
    LinkLog log;
    MeterLink link;
    link.setSilenceTimeout(100);
    link.rebuild(serialLink(cable.linkPath()));
    cable.write(packetOf(40000));
    QTRY_COMPARE(link.state(), LinkState::Live);
    cable.unplug();
    QTRY_COMPARE(link.state(), LinkState::PortClosed);
    const QString first = link.reason();
    QVERIFY2(first.contains(QStringLiteral("stopped answering")), qPrintable(first));
    QSignalSpy retried(link.serialFeed(), &SerialFeed::openChanged);
    QVERIFY(retried.wait(3000));
    QCOMPARE(link.reason(), first);
    QCOMPARE(log.texts(QtWarningMsg).size(), 1);
    QVERIFY(cable.plug());
    QTRY_VERIFY_WITH_TIMEOUT(link.serialFeed()->isOpen(), 3000);
    cable.write(packetOf(40000));
    QTRY_COMPARE(link.state(), LinkState::Live);
    QCOMPARE(log.texts(QtWarningMsg).size(), 1);
    QVERIFY(link.reason().isEmpty());
    QVERIFY2(log.told().last().startsWith(QStringLiteral("meter data arrives again (after")),
             qPrintable(log.told().join(QLatin1Char('\n'))));
}

// A console that says nothing at first, then stops and comes back: one
// line each way, with how long. Its first silence is told only once it has
// lasted the silence timeout, not as the port opens.
void TestMeterLink::dropOutTold()
{
    Pty console;
    QVERIFY(console.open());
    LinkLog log;
    MeterLink link;
    link.setSilenceTimeout(1500);
    QElapsedTimer sinceOpen;
    sinceOpen.start();
    link.rebuild(serialLink(console.slavePath()));
    QCOMPARE(log.told(), QStringList());
    QTRY_COMPARE_WITH_TIMEOUT(log.told().size(), 1, 5000);
    QVERIFY2(sinceOpen.elapsed() >= 1400, qPrintable(QString::number(sinceOpen.elapsed())));
    QSignalSpy silence(&link, &MeterLink::silenceBegan);
    QVERIFY(console.writePacket({40000, 40000, 40000, 40000, 40000, 40000}));
    QVERIFY(silence.wait(3000));
    QVERIFY(console.writePacket({40000, 40000, 40000, 40000, 40000, 40000}));
    QTRY_COMPARE(link.state(), LinkState::Live);
    QCOMPARE(log.told(), (QStringList{QStringLiteral("No meter data from %1 for more than a second.").arg(console.slavePath()),
                                      QStringLiteral("Meter data arrives from %1.").arg(console.slavePath()),
                                      QStringLiteral("meter data stopped"),
                                      QStringLiteral("meter data arrives again (after 2 s)")}));
}

// Choosing the first port: it opens at once, and no "not open" is told.
void TestMeterLink::firstPortChosenQuietly()
{
    Pty console;
    QVERIFY(console.open());
    LinkLog log;
    MeterLink link;
    link.rebuild(CommSettings());
    log.clear();
    link.rebuild(serialLink(console.slavePath()));
    QCOMPARE(link.state(), LinkState::Silent);
    QCOMPARE(log.texts(QtWarningMsg), QStringList());
}

// A name of a megabyte reaches the log and the tooltip cut short, retries too.
void TestMeterLink::longPortNameCut()
{
    LinkLog log;
    MeterLink link;
    link.rebuild(serialLink(QString(1 << 20, QLatin1Char('x'))));
    QTRY_COMPARE(link.state(), LinkState::PortClosed);
    QSignalSpy retried(link.serialFeed(), &SerialFeed::openChanged);
    QVERIFY(retried.wait(3000));
    const QString all = log.told().join(QString()) + link.where() + link.reason();
    QVERIFY2(all.size() < 2000, qPrintable(QString::number(all.size())));
}

QTEST_GUILESS_MAIN(TestMeterLink)
#include "tst_meterlink.moc"
