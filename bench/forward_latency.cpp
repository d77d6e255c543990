// How late a UDP server passes the console's packets on: from the write into
// the pseudo-terminal to the datagram's arrival on loopback, at 100 packets
// a second with levels that keep the meters moving (a peak every half
// second, falling targets in between), so the release runs throughout.
// Also counts packets lost, out of order or sent twice.
//   lumora-forward-latency PROGRAM [SECONDS]     (default 20)
// Run it on the Xvfb in $DISPLAY (scripts/bench-beat does). Prints sent,
// received, lost, out of order, p50, p99 and max in ms.

#include "meterpacket.h"
#include "programrun.h"

#include <QApplication>

#include <algorithm>
#include <arpa/inet.h>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <vector>

using namespace ProgramRun;

namespace {

constexpr std::int64_t kMs = 1000000;

struct Written
{
    MeterPacket::Bytes bytes;
    std::int64_t at;
};

MeterPacket::Bytes packetNumber(long k)
{
    // Channels 1-5: a peak every 50 packets, falling targets between; 6: a
    // count, so every packet differs.
    const double db = k % 50 == 0 ? -5.0 : -45.0 + double(k % 50) * 0.1;
    MeterPacket::Words words;
    words.fill(wordAt(db));
    words[5] = std::uint16_t(10000 + k % 40000);
    return MeterPacket::encode(words);
}

double percentile(std::vector<double> &sorted, double p)
{
    const std::size_t i = std::min(sorted.size() - 1, std::size_t(p * double(sorted.size())));
    return sorted[i];
}

} // namespace

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    if (argc < 2) {
        std::fprintf(stderr, "usage: lumora-forward-latency PROGRAM [SECONDS]\n");
        return 2;
    }
    const long packets = 100L * (argc > 2 ? std::max(1, std::atoi(argv[2])) : 20);

    const int listener = ::socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof local;
    if (listener < 0 || ::bind(listener, reinterpret_cast<sockaddr *>(&local), sizeof local) != 0
        || ::getsockname(listener, reinterpret_cast<sockaddr *>(&local), &length) != 0) {
        std::perror("listener");
        return 1;
    }
    Cable cable;
    QTemporaryDir config;
    CommSettings comm;
    comm.serialport = QString::fromLocal8Bit(cable.open() ? cable.path() : "");
    comm.use_udp = true;
    comm.is_server = true;
    comm.server_host = QStringLiteral("127.0.0.1");
    comm.server_destination = QStringLiteral("127.0.0.1");
    comm.server_port = QString::number(ntohs(local.sin_port));
    if (comm.serialport.isEmpty() || !writeSettings(config, comm, 986, 580)) {
        std::fprintf(stderr, "cannot set up the console cable or the settings\n");
        return 1;
    }
    const pid_t program = start(argv[1]);

    std::deque<Written> pending;
    std::vector<double> latencies;
    long received = 0;
    long disordered = 0;
    long early = 0;  // datagrams before the measurement
    bool measuring = false;
    // Waits until the given time, taking each datagram as it arrives.
    const auto receiveUntil = [&](std::int64_t until) {
        for (;;) {
            const std::int64_t left = until - nowNs();
            if (left <= 0)
                return;
            pollfd p{listener, POLLIN, 0};
            const timespec wait{time_t(left / 1000000000), long(left % 1000000000)};
            if (::ppoll(&p, 1, &wait, nullptr) <= 0)
                continue;
            MeterPacket::Bytes got{};
            ssize_t n;
            while ((n = ::recv(listener, got.data(), got.size(), 0)) > 0) {
                const std::int64_t now = nowNs();
                if (!measuring) {
                    ++early;
                    continue;
                }
                ++received;
                const auto match = std::find_if(pending.begin(), pending.end(),
                                                [&](const Written &w) { return w.bytes == got; });
                if (match == pending.end()) {
                    ++disordered;  // sent twice, or arrived after a later one
                    continue;
                }
                if (match != pending.begin())
                    ++disordered;
                latencies.push_back(double(now - match->at) / 1e6);
                pending.erase(match);
            }
        }
    };

    // Until the program forwards: it starts, opens the port, binds.
    std::int64_t at = nowNs();
    for (long k = 0; k < 2000 && early == 0; ++k, at += 10 * kMs) {
        const MeterPacket::Bytes floor = packetNumber(1);
        cable.write(floor.data(), floor.size());
        receiveUntil(at + 10 * kMs);
    }
    if (early == 0) {
        std::fprintf(stderr, "the program forwards nothing\n");
        stop(program);
        return 1;
    }
    receiveUntil(nowNs() + 1000 * kMs);  // a second to settle, unmeasured
    measuring = true;
    at = nowNs();
    for (long k = 0; k < packets; ++k, at += 10 * kMs) {
        receiveUntil(at);
        const MeterPacket::Bytes bytes = packetNumber(k + 2);
        pending.push_back({bytes, nowNs()});
        cable.write(bytes.data(), bytes.size());
    }
    receiveUntil(nowNs() + 500 * kMs);
    stop(program);
    if (latencies.empty()) {
        std::fprintf(stderr, "no datagram arrived\n");
        return 1;
    }
    std::sort(latencies.begin(), latencies.end());
    std::printf("sent %ld received %ld lost %zu disordered %ld p50 %.3f ms p99 %.3f ms max %.3f ms\n", packets,
                received, pending.size(), disordered, percentile(latencies, 0.5), percentile(latencies, 0.99),
                latencies.back());
    return 0;
}
