// Frames per second of a falling bar, counted from outside the program: the
// X server's DAMAGE extension reports every rectangle the program draws into
// its window, and the rectangles on ProgLeft's meter are grouped into frames
// by the time they arrive here (and, for the intervals, by the X server's own
// millisecond timestamps too). The tool plays the console on a
// pseudo-terminal, as LUMORA_FRAME_FALL says:
//   floor    (the default) a peak at 0 dB for 0.1 s, then the floor for
//            2.4 s, so the bar falls at the release's pace; each fall is
//            measured from 0.25 s to 1.55 s after it began (0 to -20 dB);
//   silence  a peak at +5 dB (the top of the scale) for 0.1 s, then nothing:
//            a second later the link counts as silent and the bar falls.
//            Each fall is measured from its first frame to 1.55 s later
//            (+5 to -15.6 dB).
// In both parts every tick moves the bar by a pixel or more at the design
// size, so every frame draws; lower down the scale is compressed, and a
// frame of one tick that would show the same height is rightly not drawn.
// The program flushes one rectangle over all six meters, so a frame counts
// here when any meter moved in it.
//   lumora-frame-damage PROGRAM [FALLS]     (default 10)
// LUMORA_FRAME_LOG=1 lists each interval over 1.5 refreshes on stderr.
// Run it on the Xvfb in $DISPLAY (scripts/bench-beat does). Prints frames,
// seconds, frames per second, p50 and max interval, and the intervals longer
// than 1.5 refreshes at 60 Hz, by this tool's clock and by the server's.

#include "designscreen.h"
#include "meterpacket.h"
#include "programrun.h"

#include <QApplication>

#include <xcb/damage.h>
#include <xcb/xcb.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <poll.h>
#include <thread>
#include <vector>

using namespace ProgramRun;

namespace {

constexpr std::int64_t kMs = 1000000;
constexpr std::int64_t kFrameGapNs = 4 * kMs;   // damage closer than this is one frame
constexpr std::int64_t kPeakNs = 100 * kMs;
constexpr std::int64_t kFallNs = 2400 * kMs;
constexpr std::int64_t kToNs = 1550 * kMs;      // end of the measured part of each fall
// floor: the measured part begins this long after the fall began.
constexpr std::int64_t kFromNs = 250 * kMs;
// silence: the console's silence before the next peak (the link's second,
// then the measured part and some more), and how long after the last packet
// the first frame of a fall is looked for: the bar stands still until then.
constexpr std::int64_t kSilenceNs = 3500 * kMs;
constexpr std::int64_t kDropAfterNs = 500 * kMs;
constexpr double kRefreshMs = 1000.0 / 60.0;

struct Damage
{
    std::int64_t at;      // arrival here, monotonic ns
    std::uint32_t server; // the X server's timestamp, ms
};

// The program's window: the largest viewable child of the root.
xcb_window_t findWindow(xcb_connection_t *c, xcb_window_t root, int minWidth)
{
    std::unique_ptr<xcb_query_tree_reply_t, decltype(&std::free)> tree(
        xcb_query_tree_reply(c, xcb_query_tree(c, root), nullptr), &std::free);
    if (!tree)
        return XCB_NONE;
    const xcb_window_t *children = xcb_query_tree_children(tree.get());
    xcb_window_t best = XCB_NONE;
    int bestArea = 0;
    for (int i = 0; i < xcb_query_tree_children_length(tree.get()); ++i) {
        std::unique_ptr<xcb_get_window_attributes_reply_t, decltype(&std::free)> attributes(
            xcb_get_window_attributes_reply(c, xcb_get_window_attributes(c, children[i]), nullptr), &std::free);
        std::unique_ptr<xcb_get_geometry_reply_t, decltype(&std::free)> geometry(
            xcb_get_geometry_reply(c, xcb_get_geometry(c, children[i]), nullptr), &std::free);
        if (!attributes || !geometry || attributes->map_state != XCB_MAP_STATE_VIEWABLE)
            continue;
        const int area = geometry->width * geometry->height;
        if (geometry->width >= minWidth && area > bestArea) {
            best = children[i];
            bestArea = area;
        }
    }
    return best;
}

MeterPacket::Bytes packetAt(double db)
{
    MeterPacket::Words words;
    words.fill(wordAt(db));
    return MeterPacket::encode(words);
}

} // namespace

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    const char *fall = std::getenv("LUMORA_FRAME_FALL");
    const bool silence = fall && std::strcmp(fall, "silence") == 0;
    if (argc < 2 || (fall && !silence && std::strcmp(fall, "floor") != 0)) {
        std::fprintf(stderr, "usage: [LUMORA_FRAME_FALL=floor|silence] lumora-frame-damage PROGRAM [FALLS]\n");
        return 2;
    }
    const int falls = argc > 2 ? std::max(1, std::atoi(argv[2])) : 10;
    Cable cable;
    QTemporaryDir config;
    CommSettings comm;
    comm.serialport = QString::fromLocal8Bit(cable.open() ? cable.path() : "");
    if (comm.serialport.isEmpty() || !writeSettings(config, comm, DesignScreen::kWidth, DesignScreen::kHeight)) {
        std::fprintf(stderr, "cannot set up the console cable or the settings\n");
        return 1;
    }

    xcb_connection_t *c = xcb_connect(nullptr, nullptr);
    if (xcb_connection_has_error(c)) {
        std::fprintf(stderr, "cannot open the display\n");
        return 1;
    }
    const xcb_query_extension_reply_t *damageExt = xcb_get_extension_data(c, &xcb_damage_id);
    if (!damageExt || !damageExt->present) {
        std::fprintf(stderr, "the X server has no DAMAGE extension\n");
        return 1;
    }
    free(xcb_damage_query_version_reply(c, xcb_damage_query_version(c, 1, 1), nullptr));
    const xcb_window_t root = xcb_setup_roots_iterator(xcb_get_setup(c)).data->root;

    const pid_t program = start(argv[1]);
    xcb_window_t window = XCB_NONE;
    for (int i = 0; i < 200 && window == XCB_NONE; ++i) {
        sleepUntilNs(nowNs() + 100 * kMs);
        window = findWindow(c, root, DesignScreen::kWidth / 2);
    }
    if (window == XCB_NONE) {
        std::fprintf(stderr, "the program's window did not appear\n");
        stop(program);
        return 1;
    }
    const xcb_damage_damage_t damage = xcb_generate_id(c);
    xcb_damage_create(c, damage, window, XCB_DAMAGE_REPORT_LEVEL_RAW_RECTANGLES);
    xcb_flush(c);
    const QRect meter = DesignScreen::kRects[DesignScreen::ProgLeft];

    // floor: when each fall began; silence: when the last packet before each
    // silence was written.
    std::vector<std::int64_t> fallMarks;
    std::atomic<bool> done{false};
    std::thread console([&] {
        const MeterPacket::Bytes peak = packetAt(silence ? 5.0 : 0.0);
        const MeterPacket::Bytes floor = packetAt(-50.0);
        std::int64_t at = nowNs();
        // A second at the floor: the window settles after its start.
        for (int i = 0; i < 100; ++i, at += 10 * kMs) {
            sleepUntilNs(at);
            cable.write(floor.data(), floor.size());
        }
        for (int f = 0; f < falls; ++f) {
            for (std::int64_t t = 0; t < kPeakNs; t += 10 * kMs, at += 10 * kMs) {
                sleepUntilNs(at);
                cable.write(peak.data(), peak.size());
            }
            if (silence) {
                fallMarks.push_back(at - 10 * kMs);
                at += kSilenceNs;
                continue;
            }
            fallMarks.push_back(at);
            for (std::int64_t t = 0; t < kFallNs; t += 10 * kMs, at += 10 * kMs) {
                sleepUntilNs(at);
                cable.write(floor.data(), floor.size());
            }
        }
        sleepUntilNs(at);
        done = true;
    });

    std::vector<Damage> damaged;
    const int fd = xcb_get_file_descriptor(c);
    while (!done) {
        pollfd p{fd, POLLIN, 0};
        ::poll(&p, 1, 100);
        while (xcb_generic_event_t *event = xcb_poll_for_event(c)) {
            const std::int64_t now = nowNs();
            if ((event->response_type & 0x7f) == damageExt->first_event + XCB_DAMAGE_NOTIFY) {
                const auto *notify = reinterpret_cast<xcb_damage_notify_event_t *>(event);
                const QRect area(notify->area.x, notify->area.y, notify->area.width, notify->area.height);
                if (area.intersects(meter))
                    damaged.push_back({now, notify->timestamp});
            }
            free(event);
        }
        if (xcb_connection_has_error(c))
            break;
    }
    console.join();
    stop(program);
    xcb_disconnect(c);

    // Frames in each fall's measured part: their count, span and intervals,
    // by our clock and by the server's.
    std::vector<double> intervals;
    long serverOver = 0;
    double serverMax = 0.0;
    long frames = 0;
    double spanMs = 0.0;
    const bool log = std::getenv("LUMORA_FRAME_LOG") != nullptr;
    for (const std::int64_t mark : fallMarks) {
        // When the fall began, and the part of it that is measured.
        std::int64_t began = mark;
        if (silence) {
            const auto first = std::find_if(damaged.begin(), damaged.end(),
                                            [&](const Damage &d) { return d.at >= mark + kDropAfterNs; });
            if (first == damaged.end())
                continue;
            began = first->at;
        }
        const std::int64_t from = began + (silence ? 0 : kFromNs);
        std::vector<Damage> starts;
        for (const Damage &d : damaged) {
            if (d.at < from || d.at > began + kToNs)
                continue;
            if (starts.empty() || d.at - starts.back().at > kFrameGapNs)
                starts.push_back(d);
        }
        if (starts.size() < 2)
            continue;
        frames += long(starts.size()) - 1;
        spanMs += double(starts.back().at - starts.front().at) / 1e6;
        for (std::size_t i = 1; i < starts.size(); ++i) {
            intervals.push_back(double(starts[i].at - starts[i - 1].at) / 1e6);
            const double server = double(std::uint32_t(starts[i].server - starts[i - 1].server));
            serverMax = std::max(serverMax, server);
            serverOver += server > 1.5 * kRefreshMs ? 1 : 0;
            if (log && (intervals.back() > 1.5 * kRefreshMs || server > 1.5 * kRefreshMs))
                std::fprintf(stderr, "long interval %.2f ms (server %.0f ms) at %.1f ms into a fall\n",
                             intervals.back(), server, double(starts[i].at - began) / 1e6);
        }
    }
    if (intervals.empty()) {
        std::fprintf(stderr, "no frames seen on the meter\n");
        return 1;
    }
    std::sort(intervals.begin(), intervals.end());
    const long over = long(std::count_if(intervals.begin(), intervals.end(),
                                         [](double ms) { return ms > 1.5 * kRefreshMs; }));
    std::printf("falls %zu frames %ld seconds %.2f fps %.2f p50 %.2f ms max %.2f ms over-1.5-refresh %ld"
                " server-max %.0f ms server-over %ld\n",
                fallMarks.size(), frames, spanMs / 1000.0, frames / (spanMs / 1000.0),
                intervals[intervals.size() / 2], intervals.back(), over, serverMax, serverOver);
    return 0;
}
