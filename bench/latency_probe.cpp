// Packet-to-repaint latency, measured in one process: the whole main window
// reads a real pseudo-terminal, and a writer thread plays the console on the
// master side. Each sample lets the meters fall a little (a packet at the
// floor), then sends a packet that lifts them back to a fixed level and
// times from the moment write() returned to the Paint event of ProgLeft that
// first shows that level.
//   lumora-latency-probe [SAMPLES]     (default 600)
// Runs on whatever platform QT_QPA_PLATFORM names (xcb under Xvfb, or
// offscreen). Prints one line: samples, misses, p50, p90, p99, max in ms.

#include "mainwindow.h"
#include "meterpacket.h"
#include "ptypair.h"
#include "settingsstore.h"
#include "teskppmmeter.h"

#include <QApplication>
#include <QSettings>
#include <QTemporaryDir>
#include <QTimer>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <random>
#include <termios.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

constexpr double kHighDb = -10.0;
constexpr double kLowDb = -50.0;
constexpr auto kAckTimeout = std::chrono::seconds(1);

MeterPacket::Bytes packetAt(double db)
{
    MeterPacket::Words words;
    words.fill(std::uint16_t(std::lround((db + 50.0) * 1000.0)));
    return MeterPacket::encode(words);
}

bool writeAll(int fd, const MeterPacket::Bytes &bytes)
{
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (n <= 0)
            return false;
        done += std::size_t(n);
    }
    return true;
}

// Shared between the writer thread and the GUI thread.
struct Exchange
{
    std::mutex mutex;
    std::condition_variable shown;
    bool waiting = false;          // a high packet was written, no paint yet
    Clock::time_point written;
    std::vector<double> latenciesMs;
    int misses = 0;
    std::atomic<bool> done{false};
};

// Times the first paint of the meter that shows the high level.
class PaintWatch : public QObject
{
public:
    PaintWatch(TeskPPMMeter *meter, Exchange *x) : m_meter(meter), m_x(x) {}

protected:
    bool eventFilter(QObject *watched, QEvent *event) override
    {
        if (watched != m_meter || event->type() != QEvent::Paint)
            return false;
        const Clock::time_point now = Clock::now();
        if (std::fabs(m_meter->dBPosition() - kHighDb) > 0.01)
            return false;
        std::lock_guard<std::mutex> lock(m_x->mutex);
        if (m_x->waiting) {
            m_x->waiting = false;
            m_x->latenciesMs.push_back(std::chrono::duration<double, std::milli>(now - m_x->written).count());
            m_x->shown.notify_one();
        }
        return false;
    }

private:
    TeskPPMMeter *m_meter;
    Exchange *m_x;
};

void playConsole(int master, int samples, Exchange *x)
{
    std::mt19937 rng(7);
    // Random pauses, so packets meet the 10 ms release tick at every phase.
    std::uniform_int_distribution<int> settle(5000, 15000);
    std::uniform_int_distribution<int> fall(20000, 40000);
    const MeterPacket::Bytes low = packetAt(kLowDb);
    const MeterPacket::Bytes high = packetAt(kHighDb);
    for (int i = 0; i < samples && !x->done; ++i) {
        std::this_thread::sleep_for(std::chrono::microseconds(settle(rng)));
        if (!writeAll(master, low))
            break;
        std::this_thread::sleep_for(std::chrono::microseconds(fall(rng)));
        std::unique_lock<std::mutex> lock(x->mutex);
        if (!writeAll(master, high))
            break;
        x->written = Clock::now();
        x->waiting = true;
        if (!x->shown.wait_for(lock, kAckTimeout, [x] { return !x->waiting; })) {
            x->waiting = false;
            ++x->misses;
        }
    }
    x->done = true;
}

double percentile(std::vector<double> sorted, double p)
{
    if (sorted.empty())
        return NAN;
    std::sort(sorted.begin(), sorted.end());
    const std::size_t i = std::min(sorted.size() - 1, std::size_t(std::ceil(p * double(sorted.size()))) - 1);
    return sorted[i];
}

} // namespace

int main(int argc, char *argv[])
{
    QTemporaryDir configHome;
    qputenv("XDG_CONFIG_HOME", configHome.path().toLocal8Bit());
    QApplication app(argc, argv);
    const int samples = argc > 1 ? std::max(1, std::atoi(argv[1])) : 600;

    PtyPair cable;
    if (!cable.open(false)) {
        std::perror("openpty");
        return 1;
    }
    const int master = cable.master();

    {
        StoredSettings stored;
        stored.comm.serialport = QString::fromStdString(cable.slavePath());
        const std::unique_ptr<QSettings> settings = openUserSettings();
        writeStored(*settings, stored);
    }

    Exchange x;
    x.latenciesMs.reserve(std::size_t(samples));
    int status = 0;
    {
        MainWindow window;
        auto *meter = window.findChild<TeskPPMMeter *>(QStringLiteral("ProgLeft"));
        PaintWatch watch(meter, &x);
        meter->installEventFilter(&watch);
        window.show();

        std::thread console;
        // Start once the event loop runs, so the first samples see a shown window.
        QTimer::singleShot(0, [&] { console = std::thread(playConsole, master, samples, &x); });
        QTimer poll;
        QObject::connect(&poll, &QTimer::timeout, [&] {
            if (x.done)
                app.quit();
        });
        poll.start(50);
        app.exec();
        if (console.joinable())
            console.join();
    }

    std::lock_guard<std::mutex> lock(x.mutex);
    const std::vector<double> &l = x.latenciesMs;
    std::printf("samples=%zu misses=%d p50_ms=%.2f p90_ms=%.2f p99_ms=%.2f max_ms=%.2f platform=%s\n", l.size(),
                x.misses, percentile(l, 0.50), percentile(l, 0.90), percentile(l, 0.99),
                l.empty() ? NAN : *std::max_element(l.begin(), l.end()),
                qPrintable(QGuiApplication::platformName()));
    if (l.empty() || x.misses * 100 > samples)
        status = 1;
    return status;
}
