// The control channel under a flood: how late do the GUI thread's own
// timers run while senders on 127.0.0.0/8 send as fast as they can? The
// channel listens on 127.0.0.1 in this process, with the centre, on the
// event loop that also runs a 10 ms timer, the release tick's beat. Each
// timeout's lateness against its due time is kept. A probe thread, five
// times a second, sends "dots normal" from an address of control_allow that
// has sent nothing before, and counts the answers that say OK. Loopback only.
//   lumora-control-flood [--seconds S] [--quiet] [--senders N] [--lines L] [--allow LIST]
// --quiet: no flood, for the timer's lateness on its own.
// --senders: flood from N distinct addresses, 127.1.0.0 onwards, in turn
//   (default 1: 127.0.0.2); --lines: "ping" lines per datagram (default 1);
// --allow: control_allow (default 127.0.0.0/8).
// Prints one line: datagrams sent, replies seen, the timer's lateness (p50,
// p99, max) over the run, and the probes answered.

#include "controlcenter.h"
#include "controllistener.h"
#include "controlaccess.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QTimer>
#include <QUdpSocket>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <thread>
#include <vector>

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    int seconds = 10;
    bool quiet = false;
    int senderCount = 1;
    int lines = 1;
    QString allow = QString::fromLatin1(AllowList::kDefault);
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--seconds") == 0 && i + 1 < argc)
            seconds = std::max(1, std::atoi(argv[++i]));
        else if (std::strcmp(argv[i], "--quiet") == 0)
            quiet = true;
        else if (std::strcmp(argv[i], "--senders") == 0 && i + 1 < argc)
            senderCount = std::max(1, std::atoi(argv[++i]));
        else if (std::strcmp(argv[i], "--lines") == 0 && i + 1 < argc)
            lines = std::max(1, std::min(300, std::atoi(argv[++i])));
        else if (std::strcmp(argv[i], "--allow") == 0 && i + 1 < argc)
            allow = QString::fromLatin1(argv[++i]);
    }

    ControlCenter center;
    center.setAllowList(allow);
    ControlListener listener(&center);
    QUdpSocket probe;
    probe.bind(QHostAddress(QHostAddress::LocalHost), 0);
    ControlSettings settings;
    settings.port = probe.localPort();  // free a moment ago
    probe.close();
    if (!listener.listen(settings)) {
        std::fprintf(stderr, "cannot listen on 127.0.0.1 port %u\n", unsigned(settings.port));
        return 1;
    }

    // The flood's sockets, one per source address.
    std::vector<int> fds;
    for (int n = 0; n < (quiet ? 0 : senderCount); ++n) {
        const int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
        sockaddr_in from{};
        from.sin_family = AF_INET;
        from.sin_addr.s_addr = senderCount == 1 ? htonl(0x7f000002) : htonl(0x7f010000u + quint32(n));
        if (fd < 0 || ::bind(fd, reinterpret_cast<const sockaddr *>(&from), sizeof from) != 0) {
            std::fprintf(stderr, "cannot bind sender %d of %d (raise ulimit -n?)\n", n + 1, senderCount);
            return 1;
        }
        fds.push_back(fd);
    }
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(settings.port);
    ::inet_pton(AF_INET, "127.0.0.1", &to.sin_addr);
    QByteArray datagram;
    for (int l = 0; l < lines; ++l)
        datagram += "ping\n";

    std::atomic<bool> stop{false};
    std::atomic<long> sent{0};
    long replies = 0;
    std::thread sender([&] {
        char reply[65536];
        std::size_t next = 0;
        while (!stop.load(std::memory_order_relaxed) && !fds.empty()) {
            for (int i = 0; i < 256; ++i) {
                const int fd = fds[next++ % fds.size()];
                if (::sendto(fd, datagram.constData(), std::size_t(datagram.size()), 0,
                             reinterpret_cast<const sockaddr *>(&to), sizeof to) == datagram.size())
                    sent.fetch_add(1, std::memory_order_relaxed);
                while (::recv(fd, reply, sizeof reply, MSG_DONTWAIT) > 0)
                    ++replies;  // read by this thread only, until it is joined
            }
        }
    });

    // A new sender five times a second, from 127.2.0.1 onwards: give
    // --allow a list that holds 127.2.0.0/16.
    std::atomic<int> probes{0}, answered{0};
    std::atomic<long> slowestProbeUs{0};
    std::thread prober([&] {
        quint32 n = 0;
        while (!stop.load(std::memory_order_relaxed)) {
            std::this_thread::sleep_for(std::chrono::milliseconds(200));
            const int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
            sockaddr_in from{};
            from.sin_family = AF_INET;
            from.sin_addr.s_addr = htonl(0x7f020000u + ++n);
            timeval wait{2, 0};
            ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
            if (::bind(fd, reinterpret_cast<const sockaddr *>(&from), sizeof from) != 0) {
                ::close(fd);
                continue;
            }
            QElapsedTimer waited;
            waited.start();
            ::sendto(fd, "dots normal", 11, 0, reinterpret_cast<const sockaddr *>(&to), sizeof to);
            char reply[64] = {};
            const ssize_t got = ::recv(fd, reply, sizeof reply - 1, 0);
            ++probes;
            if (got >= 2 && std::strncmp(reply, "OK", 2) == 0) {
                ++answered;
                slowestProbeUs = std::max<long>(slowestProbeUs, long(waited.nsecsElapsed() / 1000));
            }
            ::close(fd);
        }
    });

    std::vector<qint64> lateUs;
    QElapsedTimer clock;
    clock.start();
    qint64 due = 10;
    QTimer tick;
    tick.setTimerType(Qt::PreciseTimer);
    tick.setInterval(10);
    QObject::connect(&tick, &QTimer::timeout, [&] {
        const qint64 now = clock.nsecsElapsed() / 1000;
        lateUs.push_back(std::max<qint64>(0, now - due * 1000));
        due = now / 1000 + 10;
        if (now >= qint64(seconds) * 1000000)
            app.quit();
    });
    tick.start();
    app.exec();
    stop = true;
    sender.join();
    prober.join();
    for (const int fd : fds)
        ::close(fd);

    std::sort(lateUs.begin(), lateUs.end());
    const auto at = [&](double q) { return lateUs.empty() ? 0.0 : lateUs[std::size_t(q * double(lateUs.size() - 1))] / 1000.0; };
    std::printf("%d s, %d sender(s), %d line(s): %ld datagrams sent, %ld replies; 10 ms timer late by p50 %.2f ms, "
                "p99 %.2f ms, max %.2f ms (%zu timeouts); new allowed senders answered OK %d of %d (slowest %.1f ms)\n",
                seconds, senderCount, lines, sent.load(), replies, at(0.5), at(0.99), at(1.0), lateUs.size(),
                answered.load(), probes.load(), slowestProbeUs.load() / 1000.0);
    return 0;
}
