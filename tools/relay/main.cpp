// lumora-relay: the console's serial port to the meter displays over UDP,
// with no window. See --help.

#include "linklogging.h"
#include "linkstate.h"
#include "linksummary.h"
#include "meterlink.h"
#include "packetframer.h"
#include "programlogging.h"
#include "relayoptions.h"
#include "serialfeed.h"
#include "servicenotify.h"
#include "signalquit.h"

#include <QCoreApplication>
#include <QTimer>

#include <array>
#include <cstdio>

namespace {

constexpr int kStatsIntervalMs = 60 * 1000;

// The minute line's interval; tests shorten it through the environment.
int statsInterval()
{
    bool ok = false;
    const int ms = qEnvironmentVariableIntValue("LUMORA_RELAY_STATS_MS", &ok);
    return ok && ms > 0 ? ms : kStatsIntervalMs;
}

} // namespace

int main(int argc, char *argv[])
{
    setTimedMessagePattern();
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("lumora-relay"));
    QCoreApplication::setApplicationVersion(QStringLiteral(LUMORA_VERSION));

    const RelayOptions options = parseRelayOptions(QCoreApplication::arguments());
    switch (options.status) {
    case RelayOptions::Status::Help:
        std::fputs(qPrintable(options.message), stdout);
        return 0;
    case RelayOptions::Status::Version:
        std::printf("lumora-relay %s\n", LUMORA_VERSION);
        return 0;
    case RelayOptions::Status::Error:
        std::fprintf(stderr, "lumora-relay: %s\n", qPrintable(options.message));
        return 2;
    case RelayOptions::Status::Run:
        break;
    }

    // A service stop or Ctrl+C ends the event loop in order: status 0.
    SignalQuit::install(&app);
    // Its remedies name the options; it has no gear icon.
    setLinkControls(LinkControls::CommandLine);

    MeterLink link;
    // The serial thread forwards each packet itself; the event loop here
    // hears only of a console coming back after a silence.
    link.setLevelsWanted(false);
    // The link logs its problems, its drop-outs and the data coming back itself.
    quint64 reopens = 0;
    QObject::connect(link.serialFeed(), &SerialFeed::openChanged, [&reopens](bool open) {
        if (open)
            ++reopens;
    });
    QTimer stats;
    stats.setInterval(statsInterval());
    // The totals since start, then the last minute's.
    std::array<quint64, 5> before{};
    QObject::connect(&stats, &QTimer::timeout, [&] {
        const std::array<quint64, 5> now{link.packetsDecoded(), link.packetsSent(), link.packetsUnsent(),
                                         link.serialFeed()->skippedBytes(), reopens};
        using ull = unsigned long long;
        qCInfo(lcLink,
               "since start: %llu packets read, %llu sent, %llu failed, %llu bytes skipped while resyncing, "
               "%llu reopens; in the last %d s: %llu read, %llu sent, %llu failed, %llu skipped, %llu reopens",
               ull(now[0]), ull(now[1]), ull(now[2]), ull(now[3]), ull(now[4]), stats.interval() / 1000,
               ull(now[0] - before[0]), ull(now[1] - before[1]), ull(now[2] - before[2]), ull(now[3] - before[3]),
               ull(now[4] - before[4]));
        before = now;
    });
    stats.start();

    const CommSettings &s = options.link;
    qCInfo(lcLink).noquote() << "lumora-relay" << LUMORA_VERSION << "starting:" << linkSummary(s);
    link.rebuild(s);
    // Under systemd: ready, then the watchdog from this event loop.
    ServiceNotify service;
    service.ready();
    return app.exec();
}
