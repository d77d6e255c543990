// One relay feeding a building: the console at 100 packets a second through
// lumora-relay to 20 displays in one multicast group, for 30 seconds (10 in
// the sanitizer build), with no packet lost, late or out of order anywhere.
// The group only exists inside the test's own network namespace.
#include <QtTest>

#include <memory>
#include <vector>

#include "linktestsupport.h"
#include "multicastsupport.h"
#include "privatenetwork.h"
#include "reliabilitysupport.h"
#include "testsupport.h"

using namespace LinkTest;
using namespace MulticastTest;

namespace {

constexpr quint16 kPort = 47210;
constexpr int kMembers = 20;
constexpr int kRate = 100;
constexpr int kSeconds = Reliability::kSanitized ? 10 : 30;

qint64 peakResidentKb(qint64 pid)
{
    QFile status(QStringLiteral("/proc/%1/status").arg(pid));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray &line : status.readAll().split('\n'))
        if (line.startsWith("VmHWM:"))
            return line.mid(6).trimmed().split(' ').first().toLongLong();
    return -1;
}

} // namespace

class TestFanout : public QObject
{
    Q_OBJECT

private slots:
    void relayFeedsTwentyDisplays();
};

void TestFanout::relayFeedsTwentyDisplays()
{
    if (!PrivateNetwork::inside()) {
        PrivateNetwork::run(this, "relayFeedsTwentyDisplays");
        return;
    }
    QVERIFY(PrivateNetwork::onlyLoopback());

    std::vector<std::unique_ptr<GroupMember>> members;
    for (int i = 0; i < kMembers; ++i) {
        members.push_back(std::make_unique<GroupMember>(kPort));
        QVERIFY(members.back()->isListening());
    }
    ConsoleCable cable;
    QVERIFY(cable.plug());
    Relay relay({"--serial", cable.linkPath(), "--interface", "127.0.0.1", "--port", QString::number(kPort),
                 "--destination", kGroup});
    QVERIFY2(relay.waitUntilReady(), qPrintable(relay.log()));

    // Packet n is due n / rate seconds after the start, whatever the timer's
    // lateness, so the rate holds over the whole run.
    constexpr quint32 total = kRate * kSeconds;
    quint32 sent = 0;
    QElapsedTimer clock;
    QTimer pacer;
    pacer.setTimerType(Qt::PreciseTimer);
    QObject::connect(&pacer, &QTimer::timeout, [&] {
        const auto due = quint32(qMin<qint64>(total, clock.elapsed() * kRate / 1000 + 1));
        for (; sent < due; ++sent)
            cable.write(numberedPacket(sent));
        if (sent == total)
            pacer.stop();
    });
    clock.start();
    pacer.start(1000 / kRate);

    const auto everyoneHasAll = [&] {
        for (const auto &m : members)
            if (m->received().size() < int(total))
                return false;
        return true;
    };
    QTRY_VERIFY_WITH_TIMEOUT(everyoneHasAll(), (kSeconds + 15) * 1000);
    QVERIFY(clock.elapsed() >= (kSeconds - 1) * 1000);  // paced, not one burst
    TestSupport::settle();

    for (int i = 0; i < kMembers; ++i) {
        const QList<QByteArray> &got = members[size_t(i)]->received();
        QCOMPARE(got.size(), int(total));
        for (quint32 n = 0; n < total; ++n)
            if (got.at(int(n)) != numberedPacket(n))
                QFAIL(qPrintable(QStringLiteral("member %1: packet %2 differs").arg(i).arg(n)));
    }
    qInfo("fan-out: %u packets in %lld ms to each of %d members, none lost; relay peak resident %lld kB",
          total, clock.elapsed(), kMembers, peakResidentKb(relay.process().processId()));
    relay.process().terminate();
    QVERIFY(relay.process().waitForFinished(5000));
    QCOMPARE(relay.process().exitCode(), 0);
    // Told once, by the link alone, after the start line.
    QVERIFY2(relay.log().count(QLatin1String("Meter data arrives from")) == 1
                 && relay.log().contains(QLatin1String(" starting: serial port ")),
             qPrintable(relay.log()));
}

LUMORA_TEST_MAIN(TestFanout)
#include "tst_fanout.moc"
