// The control channel under a flood: how late do the GUI thread's own
// timers run while a sender on 127.0.0.2 sends "ping" as fast as it can?
// The channel listens on 127.0.0.1 in this process, with the centre, on the
// event loop that also runs a 10 ms timer, the release tick's beat. Each
// timeout's lateness against its due time is kept. Loopback only.
//   lumora-control-flood [--seconds S] [--quiet]
// --quiet: no flood, for the timer's lateness on its own.
// Prints one line: datagrams sent, replies seen, and the timer's lateness
// (p50, p99, max) over the run.

#include "controlcenter.h"
#include "controllistener.h"

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
#include <cstdio>
#include <cstring>
#include <thread>
#include <vector>

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    int seconds = 10;
    bool quiet = false;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--seconds") == 0 && i + 1 < argc)
            seconds = std::max(1, std::atoi(argv[++i]));
        else if (std::strcmp(argv[i], "--quiet") == 0)
            quiet = true;
    }

    ControlCenter center;
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

    const int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in from{};
    from.sin_family = AF_INET;
    ::inet_pton(AF_INET, "127.0.0.2", &from.sin_addr);
    if (fd < 0 || ::bind(fd, reinterpret_cast<const sockaddr *>(&from), sizeof from) != 0) {
        std::fprintf(stderr, "cannot bind the sender to 127.0.0.2\n");
        return 1;
    }
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(settings.port);
    ::inet_pton(AF_INET, "127.0.0.1", &to.sin_addr);

    std::atomic<bool> stop{false};
    std::atomic<long> sent{0};
    long replies = 0;
    std::thread sender([&] {
        char reply[2048];
        while (!quiet && !stop.load(std::memory_order_relaxed)) {
            for (int i = 0; i < 256; ++i)
                if (::sendto(fd, "ping", 4, 0, reinterpret_cast<const sockaddr *>(&to), sizeof to) == 4)
                    sent.fetch_add(1, std::memory_order_relaxed);
            while (::recv(fd, reply, sizeof reply, MSG_DONTWAIT) > 0)
                ++replies;  // read by this thread only, until it is joined
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
    ::close(fd);

    std::sort(lateUs.begin(), lateUs.end());
    const auto at = [&](double q) { return lateUs.empty() ? 0.0 : lateUs[std::size_t(q * double(lateUs.size() - 1))] / 1000.0; };
    std::printf("%d s: %ld pings sent, %ld replies; 10 ms timer late by p50 %.2f ms, p99 %.2f ms, max %.2f ms "
                "(%zu timeouts)\n",
                seconds, sent.load(), replies, at(0.5), at(0.99), at(1.0), lateUs.size());
    return 0;
}
