#include <QtTest>

#include <cmath>
#include <map>
#include <memory>
#include <vector>

#include "framegrid.h"
#include "releaseclock.h"
#include "teskppmmeter.h"
#include "testsupport.h"

// The release applied on the display's frame beat, against the plain 10 ms
// tick: at every frame the six meters stand exactly where the plain tick,
// fed the same packets at the same moments, would have put them.

using Arrivals = QVector<QPair<int, double>>;  // ms, dB
Q_DECLARE_METATYPE(Arrivals)

namespace {

using Levels = MeterPacket::Levels;
constexpr qint64 kMs = 1000000;

Levels all(double db)
{
    Levels l;
    l.fill(db);
    return l;
}

struct Meters
{
    std::vector<std::unique_ptr<TeskPPMMeter>> owned;
    ReleaseClock::Meters meters{};
    Meters()
    {
        for (std::size_t i = 0; i < meters.size(); ++i) {
            owned.emplace_back(new TeskPPMMeter);
            owned.back()->resize(12, 415);
            owned.back()->setGradientForground(true);
            meters[i] = owned.back().get();
        }
    }
};

// The plain release: a 10 ms tick that rests when nothing moved and wakes
// with a tick at once when a packet arrives, stepped a millisecond at a time.
class PlainTick
{
public:
    std::map<qint64, Levels> arrivals;  // ms -> levels
    Meters m;

    void runTo(qint64 ms)
    {
        for (; m_now <= ms; ++m_now) {
            const auto a = arrivals.find(m_now);
            if (a != arrivals.end()) {
                m_targets = a->second;
                if (!m_running && tick()) {
                    m_running = true;
                    m_next = m_now + 10;
                }
            }
            if (m_running && m_now == m_next) {
                if (tick())
                    m_next += 10;
                else
                    m_running = false;
            }
        }
    }

private:
    bool tick()
    {
        bool moved = false;
        for (std::size_t i = 0; i < 6; ++i) {
            const auto step = MeterRelease::releaseStep(m.meters[i]->dBPosition(), m_targets[i]);
            if (step.write)
                moved |= m.meters[i]->placeLevel(step.value);
        }
        return moved;
    }

    Levels m_targets = all(MeterRelease::kFloorDb);
    qint64 m_now = 0;
    qint64 m_next = 0;
    bool m_running = false;
};

// A packet train: level at ms for ProgLeft, with the other meters a few dB
// apart so they move differently.
Levels packet(double db)
{
    Levels l;
    for (std::size_t i = 0; i < l.size(); ++i)
        l[i] = db - 3.0 * double(i);
    return l;
}

} // namespace

class TestRelease : public QObject
{
    Q_OBJECT

private slots:
    void frameInterval_data();
    void frameInterval();
    void nextFrame_data();
    void nextFrame();
    void framesShowThePlainTick_data();
    void framesShowThePlainTick();
    void pulledPacketsMeetTheirTicks();
    void eachFrameRepaintsWhatMoved();
    void fallAfterSilenceMovesEveryFrame_data();
    void fallAfterSilenceMovesEveryFrame();
};

void TestRelease::frameInterval_data()
{
    QTest::addColumn<qreal>("refresh");
    QTest::addColumn<qint64>("ns");
    QTest::newRow("60 Hz") << 60.0 << qint64(16666667);
    QTest::newRow("59.94 Hz") << 59.94 << qint64(16683350);
    QTest::newRow("50 Hz") << 50.0 << qint64(20000000);
    QTest::newRow("30 Hz") << 30.0 << qint64(33333333);
    QTest::newRow("75 Hz") << 75.0 << qint64(13333333);
    QTest::newRow("144 Hz: no faster than the tick") << 144.0 << qint64(10000000);
    QTest::newRow("unknown (0)") << 0.0 << qint64(16666667);
    QTest::newRow("implausible 5 Hz") << 5.0 << qint64(16666667);
    QTest::newRow("implausible 100 kHz") << 1e5 << qint64(16666667);
    QTest::newRow("NaN") << qreal(std::nan("")) << qint64(16666667);
}

void TestRelease::frameInterval()
{
    QFETCH(qreal, refresh);
    QFETCH(qint64, ns);
    QCOMPARE(FrameGrid::intervalNs(refresh), ns);
}

// A 60 Hz grid from origin; with newRate, re-based at rebaseAt (the last
// frame) before the wake at now.
void TestRelease::nextFrame_data()
{
    QTest::addColumn<qint64>("origin");
    QTest::addColumn<qreal>("newRate");
    QTest::addColumn<qint64>("rebaseAt");
    QTest::addColumn<qint64>("now");
    QTest::addColumn<qint64>("next");

    QTest::newRow("early, before the first point") << qint64(0) << 0.0 << qint64(0) << 5 * kMs << qint64(16666667);
    QTest::newRow("on a point: the next one") << qint64(0) << 0.0 << qint64(0) << qint64(16666667) << qint64(33333334);
    QTest::newRow("just after a point") << qint64(0) << 0.0 << qint64(0) << qint64(16700000) << qint64(33333334);
    QTest::newRow("late by 9 ms: still on the grid") << qint64(0) << 0.0 << qint64(0) << qint64(25666667)
                                                      << qint64(33333334);
    QTest::newRow("very late, 3.5 refreshes: skips") << qint64(0) << 0.0 << qint64(0) << qint64(58333334)
                                                      << qint64(66666668);
    QTest::newRow("an hour on: no drift") << 3 * kMs << 0.0 << qint64(0) << 3600000 * kMs
                                          << qint64(3600003072000);
    QTest::newRow("before the origin") << 100 * kMs << 0.0 << qint64(0) << 60 * kMs << qint64(66666666);
    QTest::newRow("75 Hz: one new interval after the last frame") << qint64(0) << 75.0 << 20 * kMs << 25 * kMs
                                                                   << qint64(33333333);
    QTest::newRow("75 Hz, a late wake") << qint64(0) << 75.0 << 20 * kMs << 48 * kMs << qint64(59999999);
    QTest::newRow("144 Hz: the tick's 10 ms") << qint64(0) << 144.0 << 20 * kMs << 20 * kMs << 30 * kMs;
}

void TestRelease::nextFrame()
{
    QFETCH(qint64, origin);
    QFETCH(qreal, newRate);
    QFETCH(qint64, rebaseAt);
    QFETCH(qint64, now);
    QFETCH(qint64, next);
    FrameGrid grid(origin, FrameGrid::intervalNs(60.0));
    if (newRate > 0)
        grid = grid.rebased(rebaseAt, FrameGrid::intervalNs(newRate));
    QCOMPARE(grid.nextFrame(now), next);
}

void TestRelease::framesShowThePlainTick_data()
{
    QTest::addColumn<Arrivals>("arrivals");
    QTest::addColumn<int>("frameMs");
    QTest::addColumn<int>("jitterMs");  // frames late by 0..jitter ms, in turn

    const Arrivals riseAndFall = {{3, -10.0}, {40, -40.0}, {1200, -20.0}};
    Arrivals programme;
    for (int t = 1, k = 0; t < 2500; t += 9 + (k * 7) % 5, ++k)
        programme << qMakePair(t, -30.0 + 20.0 * std::sin(k * 0.37) + ((k % 13) ? 0.0 : 14.0));
    const Arrivals overTheTop = {{5, 12.0}, {300, -50.0}, {311, 4.9}};
    const Arrivals restThenWake = {{2, -48.0}, {500, -47.9}, {2700, -5.0}};

    QTest::newRow("rise and fall, 60 Hz") << riseAndFall << 17 << 0;
    QTest::newRow("rise and fall, 50 Hz, late frames") << riseAndFall << 20 << 6;
    QTest::newRow("programme, 60 Hz") << programme << 17 << 0;
    QTest::newRow("programme, 60 Hz, late frames") << programme << 17 << 9;
    QTest::newRow("programme, at the tick's own rate") << programme << 10 << 0;
    QTest::newRow("above the scale, then the floor") << overTheTop << 17 << 3;
    QTest::newRow("rest, small change, wake") << restThenWake << 17 << 0;
}

void TestRelease::framesShowThePlainTick()
{
    QFETCH(Arrivals, arrivals);
    QFETCH(int, frameMs);
    QFETCH(int, jitterMs);

    PlainTick plain;
    for (const auto &a : arrivals)
        plain.arrivals[a.first] = packet(a.second);

    Meters m;
    qint64 now = 0;
    ReleaseClock release(m.meters);
    release.setClock([&now] { return now; });
    release.setFrameInterval(frameMs * kMs);
    release.start();
    release.frame();

    int next = 0;
    int frames = 0;
    for (qint64 ms = 0; ms <= 6000; ++ms) {
        now = ms * kMs;
        while (next < arrivals.size() && arrivals[next].first == ms)
            release.setTargets(packet(arrivals[next++].second));
        const qint64 frameAt = qint64(frames) * frameMs + (jitterMs ? frames % (jitterMs + 1) : 0);
        if (ms != frameAt)
            continue;
        ++frames;
        // Half a millisecond into the frame's millisecond: after the
        // packets and the plain tick of that millisecond.
        now += kMs / 2;
        release.frame();
        plain.runTo(ms);
        for (std::size_t i = 0; i < 6; ++i) {
            QVERIFY2(m.meters[i]->dBPosition() == plain.m.meters[i]->dBPosition(),
                     qPrintable(QStringLiteral("meter %1 at %2 ms: %3 dB, plain tick %4 dB")
                                    .arg(i).arg(ms)
                                    .arg(m.meters[i]->dBPosition(), 0, 'g', 17)
                                    .arg(plain.m.meters[i]->dBPosition(), 0, 'g', 17)));
            QCOMPARE(m.meters[i]->barHeight(), plain.m.meters[i]->barHeight());
        }
    }
    // Everything has landed and the release rests.
    QVERIFY(!release.isTicking());
}

// While the meters move the link is read on the frame: a console sending one
// packet per tick is shown as if each packet had met its own tick, so no
// peak is lost to the slower frame.
void TestRelease::pulledPacketsMeetTheirTicks()
{
    Meters m;
    qint64 now = 0;
    ReleaseClock release(m.meters);
    release.setClock([&now] { return now; });
    release.setFrameInterval(17 * kMs);
    release.start();
    release.frame();

    // One packet for each tick from 10 ms on; every 7th a peak.
    auto levelAt = [](int k) { return packet(k % 7 ? -30.0 - (k % 5) : -2.0); };
    PlainTick plain;
    for (int k = 0; k < 200; ++k)
        plain.arrivals[10 + 10 * k] = levelAt(k);

    bool paced = false;
    int sent = 0;
    connect(&release, &ReleaseClock::pacedChanged, [&paced](bool p) { paced = p; });
    connect(&release, &ReleaseClock::pullRequested, [&] {
        // Every packet whose tick has come by now.
        while (sent < 200 && 10 + 10 * sent <= now / kMs)
            release.pulledPacket(levelAt(sent++));
    });

    // The first packet wakes the resting release on arrival.
    now = 10 * kMs;
    release.setTargets(levelAt(sent++));
    int peaksSeen = 0;
    for (int f = 1; f * 17 <= 2000; ++f) {
        now = qint64(f) * 17 * kMs;
        release.frame();
        QVERIFY(paced);
        plain.runTo(f * 17);
        for (std::size_t i = 0; i < 6; ++i)
            QCOMPARE(m.meters[i]->dBPosition(), plain.m.meters[i]->dBPosition());
        peaksSeen += m.meters[0]->dBPosition() > -3.0 ? 1 : 0;
    }
    QVERIFY(peaksSeen > 0);
}

// On a shown window each frame repaints every meter that moved once, over at
// least the rows between its height before the frame and after it.
void TestRelease::eachFrameRepaintsWhatMoved()
{
    TestSupport::PaintCounter painted[6];
    QWidget window;
    window.resize(200, 430);
    Meters m;
    for (std::size_t i = 0; i < 6; ++i) {
        m.meters[i]->setParent(&window);
        m.meters[i]->move(int(i) * 20, 0);
        m.meters[i]->installEventFilter(&painted[i]);
    }
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));

    qint64 now = 0;
    ReleaseClock release(m.meters);
    release.setClock([&now] { return now; });
    release.start();
    release.setTargets(packet(-5.0));
    int moved = 0;
    for (int ms = 0; ms <= 1500; ms += 17, now = ms * kMs) {
        if (ms == 34)
            release.setTargets(packet(-45.0));
        int shown[6];
        for (std::size_t i = 0; i < 6; ++i) {
            shown[i] = m.meters[i]->barHeight();
            painted[i].paints = 0;
            painted[i].painted = QRegion();
        }
        release.frame();
        QCoreApplication::sendPostedEvents(nullptr, QEvent::UpdateRequest);
        for (std::size_t i = 0; i < 6; ++i) {
            const int a = shown[i], b = m.meters[i]->barHeight();
            if (a == b)
                continue;
            ++moved;
            QCOMPARE(painted[i].paints, 1);
            QVERIFY((QRegion(0, 415 - std::max(a, b), 12, std::abs(a - b)) - painted[i].painted).isEmpty());
        }
    }
    QVERIFY(moved > 6 * 50);
}

// The meters stand at the top of the scale when the link goes silent, and
// all fall at once. The frames come when the frame timer fires, late by
// 0..late µs in turn. Down to where one tick is worth a pixel of the meter
// (below it a frame of one tick may rightly show nothing), every frame moves
// every bar: none is lost to a frame without a tick.
void TestRelease::fallAfterSilenceMovesEveryFrame_data()
{
    QTest::addColumn<int>("progHeight");  // ProgLeft to SubRight
    QTest::addColumn<double>("progDownTo");
    QTest::addColumn<int>("crmHeight");   // CrmLeft, CrmRight
    QTest::addColumn<double>("crmDownTo");
    QTest::addColumn<qreal>("refresh");
    QTest::addColumn<int>("dropUs");      // the link's second of silence ends
    // (the frames of the rise stood on a grid from 0)
    QTest::addColumn<int>("lateUs");

    QTest::newRow("design size, 60 Hz") << 415 << -18.5 << 291 << -6.2 << 60.0 << 1100123 << 0;
    QTest::newRow("design size, 60 Hz, drop just before a refresh") << 415 << -18.5 << 291 << -6.2 << 60.0
                                                                    << 1115200 << 0;
    QTest::newRow("design size, 60 Hz, late by up to 1 ms") << 415 << -18.5 << 291 << -6.2 << 60.0 << 1108000
                                                            << 1000;
    QTest::newRow("design size, 60 Hz, late by up to 6 ms") << 415 << -18.5 << 291 << -6.2 << 60.0 << 1112500
                                                            << 6000;
    QTest::newRow("design size, 59.94 Hz") << 415 << -18.5 << 291 << -6.2 << 59.94 << 1100123 << 700;
    QTest::newRow("design size, 50 Hz") << 415 << -18.5 << 291 << -6.2 << 50.0 << 1100123 << 300;
    QTest::newRow("design size, 75 Hz") << 415 << -18.5 << 291 << -6.2 << 75.0 << 1100123 << 300;
    QTest::newRow("full HD, 60 Hz") << 772 << -40.0 << 541 << -27.7 << 60.0 << 1116000 << 1000;
}

void TestRelease::fallAfterSilenceMovesEveryFrame()
{
    QFETCH(int, progHeight);
    QFETCH(double, progDownTo);
    QFETCH(int, crmHeight);
    QFETCH(double, crmDownTo);
    QFETCH(qreal, refresh);
    QFETCH(int, dropUs);
    QFETCH(int, lateUs);

    Meters m;
    for (std::size_t i = 0; i < 6; ++i)
        m.meters[i]->resize(12, i < 4 ? progHeight : crmHeight);
    qint64 now = 0;
    ReleaseClock release(m.meters);
    release.setClock([&now] { return now; });
    release.setRefreshRate(refresh);
    QTimer *timer = release.findChild<QTimer *>();
    QVERIFY(timer);
    // What the event loop does: the single shot fires its whole
    // milliseconds after it was started, and a little late.
    qint64 armedAt = 0;
    const auto fire = [&](qint64 late) {
        now = armedAt + qint64(timer->interval()) * kMs + late;
        timer->stop();
        release.frame();
        armedAt = now;
    };
    release.start();
    fire(0);
    now = armedAt = 3 * kMs;
    release.setTargets(all(12.0));
    for (int k = 0; k < 10 && timer->isActive(); ++k)
        fire(0);
    QVERIFY(!timer->isActive());
    QCOMPARE(m.meters[0]->dBPosition(), 5.0);

    now = armedAt = qint64(dropUs) * 1000;
    release.dropToFloor();
    int frames = 0, moving = 0;
    for (int k = 0; timer->isActive() && k < 1000; ++k) {
        int before[6];
        double level[6];
        for (std::size_t i = 0; i < 6; ++i) {
            before[i] = m.meters[i]->barHeight();
            level[i] = m.meters[i]->dBPosition();
        }
        fire(lateUs ? (k * 389) % (lateUs + 1) * 1000 : 0);
        ++frames;
        for (std::size_t i = 0; i < 6; ++i) {
            if (m.meters[i]->dBPosition() < (i < 4 ? progDownTo : crmDownTo))
                continue;
            ++moving;
            QVERIFY2(m.meters[i]->barHeight() < before[i],
                     qPrintable(QStringLiteral("meter %1, frame %2, %3 ms into the fall at %4 dB: still %5 px")
                                    .arg(i).arg(k).arg(double(now) / 1e6 - dropUs / 1e3, 0, 'f', 2)
                                    .arg(level[i], 0, 'f', 3).arg(before[i])));
        }
    }
    // The whole fall, 55 dB at 13.3 dB/s, and the rest on the floor.
    QCOMPARE(m.meters[0]->dBPosition(), MeterRelease::kFloorDb);
    QVERIFY(frames >= int(4.1 * refresh));
    QVERIFY(moving > 4 * 60);
}

QTEST_MAIN(TestRelease)
#include "tst_release.moc"
