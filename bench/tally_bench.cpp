// The ON AIR lamp, measured in one process with the whole main window.
//   lumora-tally-bench latency [SAMPLES]   (default 300)
//     The console's GPO line, read in the port's place on the serial reader
//     thread, flips at random moments; each sample is the time from the flip
//     to the lamp's first paint that shows it. Prints p50, p90, p99 and max.
//   lumora-tally-bench cpu [ROUNDS]        (default 10)
//     CPU of the window at rest (no meter data) with the lamp lit and dark,
//     in alternating 2 s slices; prints the median of each and their ratio.
//   lumora-tally-bench cpu-line [ROUNDS]   (default 10)
//     The same for the serial line watched (tally_source=cts, read every
//     10 ms on the reader thread) against not watched (control).
// Runs on whatever platform QT_QPA_PLATFORM names (offscreen, or xcb under
// Xvfb).

#include "controlcenter.h"
#include "controlwiring.h"
#include "mainwindow.h"
#include "meterlink.h"
#include "ptypair.h"
#include "settingsstore.h"
#include "tallylamp.h"
#include "tallyline.h"
#include "tallysource.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QHostAddress>
#include <QSettings>
#include <QTemporaryDir>
#include <QTimer>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <random>
#include <sys/resource.h>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

struct Exchange
{
    std::mutex mutex;
    std::condition_variable shown;
    bool waiting = false;
    bool wantOn = false;
    Clock::time_point flipped;
    std::vector<double> latenciesMs;
    int misses = 0;
    std::atomic<int> lines{0};
    std::atomic<bool> done{false};
};

class PaintWatch : public QObject
{
public:
    PaintWatch(TallyLamp *lamp, Exchange *x) : m_lamp(lamp), m_x(x) {}

protected:
    bool eventFilter(QObject *watched, QEvent *event) override
    {
        if (watched != m_lamp || event->type() != QEvent::Paint)
            return false;
        const Clock::time_point now = Clock::now();
        std::lock_guard<std::mutex> lock(m_x->mutex);
        if (m_x->waiting && m_lamp->on() == m_x->wantOn) {
            m_x->waiting = false;
            m_x->latenciesMs.push_back(std::chrono::duration<double, std::milli>(now - m_x->flipped).count());
            m_x->shown.notify_one();
        }
        return false;
    }

private:
    TallyLamp *m_lamp;
    Exchange *m_x;
};

void playGpo(int samples, Exchange *x)
{
    std::mt19937 rng(11);
    // Random pauses, so flips meet the line's 10 ms look at every phase.
    std::uniform_int_distribution<int> pause(15000, 45000);
    for (int i = 0; i < samples && !x->done; ++i) {
        std::this_thread::sleep_for(std::chrono::microseconds(pause(rng)));
        std::unique_lock<std::mutex> lock(x->mutex);
        x->wantOn = !x->wantOn;
        x->flipped = Clock::now();
        x->waiting = true;
        x->lines = x->wantOn ? TallySource::Cts : 0;
        if (!x->shown.wait_for(lock, std::chrono::seconds(1), [x] { return !x->waiting; })) {
            x->waiting = false;
            ++x->misses;
        }
    }
    x->done = true;
}

double percentile(std::vector<double> v, double p)
{
    if (v.empty())
        return NAN;
    std::sort(v.begin(), v.end());
    return v[std::min(v.size() - 1, std::size_t(std::ceil(p * double(v.size()))) - 1)];
}

double cpuMs()
{
    rusage u{};
    ::getrusage(RUSAGE_SELF, &u);
    return (u.ru_utime.tv_sec + u.ru_stime.tv_sec) * 1000.0 + (u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1000.0;
}

void runFor(int ms)
{
    QEventLoop loop;
    QTimer::singleShot(ms, Qt::PreciseTimer, &loop, &QEventLoop::quit);
    loop.exec();
}

int latency(QApplication &app, int samples, const std::string &port)
{
    {
        StoredSettings stored;
        stored.comm.serialport = QString::fromStdString(port);
        stored.comm.tally_source = QStringLiteral("cts");
        writeStored(*openUserSettings(), stored);
    }
    Exchange x;
    {
        MainWindow window;
        window.link().setLineReader([&x](int, int *lines) {
            *lines = x.lines.load();
            return 0;
        });
        window.setupLink();
        auto *lamp = window.findChild<TallyLamp *>(QStringLiteral("tallyLamp"));
        PaintWatch watch(lamp, &x);
        lamp->installEventFilter(&watch);
        window.show();
        std::thread gpo;
        QTimer::singleShot(200, [&] { gpo = std::thread(playGpo, samples, &x); });
        QTimer poll;
        QObject::connect(&poll, &QTimer::timeout, [&] {
            if (x.done)
                app.quit();
        });
        poll.start(50);
        app.exec();
        if (gpo.joinable())
            gpo.join();
    }
    const std::vector<double> &l = x.latenciesMs;
    std::printf("samples=%zu misses=%d p50_ms=%.2f p90_ms=%.2f p99_ms=%.2f max_ms=%.2f platform=%s\n", l.size(),
                x.misses, percentile(l, 0.5), percentile(l, 0.9), percentile(l, 0.99),
                l.empty() ? NAN : *std::max_element(l.begin(), l.end()), qPrintable(QGuiApplication::platformName()));
    return l.empty() || x.misses * 100 > samples ? 1 : 0;
}

// Alternating 2 s slices of CPU in two states; `lineWatched` compares the
// serial line watched with not, otherwise the lamp lit with dark.
int cpu(int rounds, bool lineWatched, const std::string &port)
{
    {
        StoredSettings stored;
        stored.comm.tally_source = QStringLiteral("control");
        stored.comm.serialport = QString::fromStdString(port);
        stored.control.port = 0;
        writeStored(*openUserSettings(), stored);
    }
    MainWindow window;
    window.link().setLineReader([](int, int *lines) {
        *lines = 0;
        return 0;
    });
    window.setupLink();
    window.show();
    ControlCenter &center = window.control().center();
    const QHostAddress here(QHostAddress::LocalHost);
    runFor(1000);
    std::vector<double> lit, dark;
    for (int round = 0; round < rounds; ++round) {
        for (const bool on : {round % 2 == 0, round % 2 != 0}) {
            if (lineWatched)
                window.control().setTallySource(on ? QStringLiteral("cts") : QStringLiteral("control"));
            else
                center.run(on ? "tally on" : "tally off", here);
            runFor(200);
            QElapsedTimer wall;
            wall.start();
            const double before = cpuMs();
            runFor(2000);
            const double share = (cpuMs() - before) / double(wall.elapsed());
            (on ? lit : dark).push_back(share * 1000.0);
        }
    }
    const double l = percentile(lit, 0.5), d = percentile(dark, 0.5);
    std::printf(lineWatched ? "rounds=%d watched_ms_per_s=%.2f unwatched_ms_per_s=%.2f ratio=%.3f "
                              "watched_range=%.2f..%.2f unwatched_range=%.2f..%.2f platform=%s\n"
                            : "rounds=%d lit_ms_per_s=%.2f dark_ms_per_s=%.2f lit_over_dark=%.3f lit_range=%.2f..%.2f "
                              "dark_range=%.2f..%.2f platform=%s\n",
                rounds, l, d, l / d, *std::min_element(lit.begin(), lit.end()), *std::max_element(lit.begin(), lit.end()),
                *std::min_element(dark.begin(), dark.end()), *std::max_element(dark.begin(), dark.end()),
                qPrintable(QGuiApplication::platformName()));
    return 0;
}

} // namespace

int main(int argc, char *argv[])
{
    QTemporaryDir configHome;
    qputenv("XDG_CONFIG_HOME", configHome.path().toLocal8Bit());
    QApplication app(argc, argv);
    const bool cpuMode = argc > 1 && std::strcmp(argv[1], "cpu") == 0;
    const bool lineMode = argc > 1 && std::strcmp(argv[1], "cpu-line") == 0;
    if (argc < 2 || (!cpuMode && !lineMode && std::strcmp(argv[1], "latency") != 0)) {
        std::fprintf(stderr, "usage: lumora-tally-bench latency [SAMPLES] | cpu [ROUNDS] | cpu-line [ROUNDS]\n");
        return 2;
    }
    const int count = argc > 2 ? std::max(1, std::atoi(argv[2])) : (cpuMode || lineMode ? 10 : 300);
    PtyPair cable;
    if (!cable.open(false)) {
        std::perror("openpty");
        return 1;
    }
    if (cpuMode || lineMode)
        return cpu(count, lineMode, cable.slavePath());
    return latency(app, count, cable.slavePath());
}
