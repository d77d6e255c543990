// A UDP client under a junk flood: how many of the server's packets does it
// read? A sender on 127.0.0.1 plays the server at 50 packets/s, numbered; a
// second one on 127.0.0.2 sends 16-byte datagrams at the junk rate. The link
// is read as while the meters move: paced, one pull per 17 ms frame (or, with
// --resting, on each readyRead). Loopback only.
//   lumora-flood-bench [--junk N] [--seconds S] [--marked] [--resting] [--no-kernel-filter]
//                      [--rcvbuf BYTES]
// --marked: the junk carries both packet marks (a wrong server, or a forger).
// --no-kernel-filter: the socket filter is taken off after the link is set
// up, as the client was before it had one. --rcvbuf: a larger receive buffer
// (up to the system's rmem_max).
// Prints one line: junk rate and sent, real sent and read, longest gap
// between two real packets read, and silences the link reported.

#include "meterlink.h"
#include "meterpacket.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QTimer>
#include <QUdpSocket>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdio>
#include <functional>
#include <thread>
#include <vector>

namespace {

constexpr int kRealRate = 50;
constexpr int kFrameMs = 17;

int udpSocketFrom(const char *address)
{
    const int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in from{};
    from.sin_family = AF_INET;
    ::inet_pton(AF_INET, address, &from.sin_addr);
    if (fd < 0 || ::bind(fd, reinterpret_cast<const sockaddr *>(&from), sizeof from) != 0)
        return -1;
    return fd;
}

void addNs(timespec &t, long ns)
{
    t.tv_nsec += ns;
    while (t.tv_nsec >= 1000000000L) {
        t.tv_nsec -= 1000000000L;
        ++t.tv_sec;
    }
}

// Sends `perTick` datagrams every `tickNs` until `ticks` ticks have passed.
long sendPaced(int fd, quint16 port, long tickNs, long ticks, int perTick,
               const std::function<MeterPacket::Bytes(long)> &make)
{
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(port);
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    timespec next{};
    ::clock_gettime(CLOCK_MONOTONIC, &next);
    long sent = 0;
    for (long tick = 0; tick < ticks; ++tick) {
        for (int i = 0; i < perTick; ++i) {
            const MeterPacket::Bytes bytes = make(sent);
            if (::sendto(fd, bytes.data(), bytes.size(), 0, reinterpret_cast<const sockaddr *>(&to), sizeof to) > 0)
                ++sent;
        }
        addNs(next, tickNs);
        ::clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &next, nullptr);
    }
    return sent;
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    int junkRate = 50000;
    int seconds = 15;
    bool marked = false;
    bool resting = false;
    bool kernelFilter = true;
    int receiveBuffer = 0;
    const QStringList args = app.arguments();
    for (int i = 1; i < args.size(); ++i) {
        if (args[i] == QLatin1String("--junk") && i + 1 < args.size())
            junkRate = args[++i].toInt();
        else if (args[i] == QLatin1String("--seconds") && i + 1 < args.size())
            seconds = args[++i].toInt();
        else if (args[i] == QLatin1String("--marked"))
            marked = true;
        else if (args[i] == QLatin1String("--resting"))
            resting = true;
        else if (args[i] == QLatin1String("--no-kernel-filter"))
            kernelFilter = false;
        else if (args[i] == QLatin1String("--rcvbuf") && i + 1 < args.size())
            receiveBuffer = args[++i].toInt();
        else {
            std::fprintf(stderr,
                         "usage: %s [--junk N] [--seconds S] [--marked] [--resting] [--no-kernel-filter] "
                         "[--rcvbuf BYTES]\n",
                         argv[0]);
            return 2;
        }
    }

    quint16 port = 0;
    {
        QUdpSocket probe;
        probe.bind(QHostAddress(QHostAddress::AnyIPv4), 0);
        port = probe.localPort();
    }
    CommSettings settings;
    settings.use_udp = true;
    settings.client_host = QStringLiteral("127.0.0.1");
    settings.client_port = QString::number(port);
    MeterLink link;
    link.rebuild(settings);
    if (link.udpSocket()->state() != QAbstractSocket::BoundState) {
        std::fprintf(stderr, "cannot listen on port %u\n", unsigned(port));
        return 1;
    }
    if (!kernelFilter) {
        int none = 0;
        ::setsockopt(int(link.udpSocket()->socketDescriptor()), SOL_SOCKET, SO_DETACH_FILTER, &none, sizeof none);
    }

    if (receiveBuffer > 0)
        ::setsockopt(int(link.udpSocket()->socketDescriptor()), SOL_SOCKET, SO_RCVBUF, &receiveBuffer,
                     sizeof receiveBuffer);

    const long realTotal = long(seconds) * kRealRate;
    std::vector<bool> read(std::size_t(realTotal), false);
    long readCount = 0;
    int silences = 0;
    qint64 lastRead = -1;
    qint64 longestGap = 0;
    QElapsedTimer clock;
    QObject::connect(&link, &MeterLink::packetDecoded, [&](const MeterPacket::Levels &levels) {
        const long n = std::lround((levels[0] + 50.0) * 1000.0);
        if (n >= 0 && n < realTotal && !read[std::size_t(n)]) {
            read[std::size_t(n)] = true;
            ++readCount;
        }
        const qint64 now = clock.elapsed();
        if (lastRead >= 0)
            longestGap = std::max(longestGap, now - lastRead);
        lastRead = now;
    });
    QObject::connect(&link, &MeterLink::silenceBegan, [&] { ++silences; });
    QTimer frame;
    frame.setTimerType(Qt::PreciseTimer);
    QObject::connect(&frame, &QTimer::timeout, &link, &MeterLink::pull);
    if (!resting) {
        link.setPaced(true);
        frame.start(kFrameMs);
    }

    const int realFd = udpSocketFrom("127.0.0.1");
    const int junkFd = udpSocketFrom("127.0.0.2");
    if (realFd < 0 || junkFd < 0) {
        std::fprintf(stderr, "cannot bind the senders to 127.0.0.1 and 127.0.0.2\n");
        return 1;
    }
    std::atomic<long> realSent{0};
    std::atomic<long> junkSent{0};
    std::atomic<int> running{2};
    clock.start();
    std::thread real([&] {
        realSent = sendPaced(realFd, port, 1000000000L / kRealRate, realTotal, 1, [](long n) {
            const auto w = quint16(n);
            return MeterPacket::encode({w, w, w, w, w, w});
        });
        --running;
    });
    std::thread junk([&] {
        // 1 ms ticks; the rate is rounded to whole datagrams per tick.
        const int perTick = std::max(1, junkRate / 1000);
        const MeterPacket::Bytes poison = MeterPacket::encode({64000, 64000, 64000, 64000, 64000, 64000});
        junkSent = sendPaced(junkFd, port, 1000000L, long(seconds) * 1000, junkRate > 0 ? perTick : 0,
                             [&](long n) {
                                 MeterPacket::Bytes bytes = poison;
                                 if (!marked)
                                     bytes[0] = std::uint8_t(n % 0xAA);  // 16 bytes, no start mark
                                 return bytes;
                             });
        --running;
    });
    QTimer done;
    QObject::connect(&done, &QTimer::timeout, [&] {
        if (running == 0)
            QTimer::singleShot(300, &app, &QCoreApplication::quit);
        else
            done.start(50);
    });
    done.setSingleShot(true);
    done.start(50);
    app.exec();
    real.join();
    junk.join();
    link.pull();
    int buffer = 0;
    socklen_t bufferSize = sizeof buffer;
    ::getsockopt(int(link.udpSocket()->socketDescriptor()), SOL_SOCKET, SO_RCVBUF, &buffer, &bufferSize);
    std::printf("receive buffer %d bytes; junk %d/s%s%s (%ld sent), %s: real %ld sent, %ld read (%.1f%%), longest gap %lld ms, "
                "silences %d\n",
                buffer, junkRate, marked ? " marked" : "", kernelFilter ? "" : ", no kernel filter", junkSent.load(),
                resting ? "resting" : "paced", realSent.load(), readCount,
                realSent > 0 ? 100.0 * double(readCount) / double(realSent.load()) : 0.0, longestGap, silences);
    ::close(realFd);
    ::close(junkFd);
    return 0;
}
