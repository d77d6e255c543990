#include "portreader.h"

#include "linklogging.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <system_error>

#ifdef __linux__
#include <poll.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <unistd.h>
#endif

PortReader::PortReader(int fd, PacketCall onPacket, EndCall onEnd)
    : PortReader(fd, std::move(onPacket), std::move(onEnd), LineWatch())
{
}

PortReader::PortReader(int fd, PacketCall onPacket, EndCall onEnd, LineWatch lines)
    : m_fd(fd)
    , m_onPacket(std::move(onPacket))
    , m_onEnd(std::move(onEnd))
    , m_lines(std::move(lines))
    , m_lineEdges(m_lines.mask)
{
    if (!m_lines.read)
        m_lines.read = readModemLines;
#ifdef __linux__
    // Everything the thread waits on exists before it starts, so a reader
    // that runs holds its descriptors from the first moment on.
    m_stopFd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    m_epollFd = ::epoll_create1(EPOLL_CLOEXEC);
    epoll_event stop{};
    stop.events = EPOLLIN;
    stop.data.fd = m_stopFd;
    if (m_fd < 0 || m_stopFd < 0 || m_epollFd < 0 || ::epoll_ctl(m_epollFd, EPOLL_CTL_ADD, m_stopFd, &stop) != 0) {
        m_startError = m_fd < 0 ? QStringLiteral("no open descriptor") : qt_error_string(errno);
        return;
    }
    try {
        m_thread = std::thread([this] { run(); });
    } catch (const std::system_error &error) {
        // isRunning() stays false, and the owner reads on its event loop.
        m_startError = QString::fromLocal8Bit(error.what());
    }
#else
    m_startError = QStringLiteral("no reader thread on this system");
#endif
}

#ifdef __linux__
PortReader::~PortReader()
{
    if (m_thread.joinable()) {
        m_stopping = true;
        wakeThread();
        m_thread.join();
    }
    if (m_epollFd >= 0)
        ::close(m_epollFd);
    if (m_stopFd >= 0)
        ::close(m_stopFd);
}

void PortReader::wakeThread()
{
    const std::uint64_t one = 1;
    // An eventfd write of 8 bytes cannot be partial; it only fails when the
    // counter would overflow, which the thread's reads never let it.
    [[maybe_unused]] const ssize_t written = ::write(m_stopFd, &one, sizeof one);
}

void PortReader::setWatching(bool watching)
{
    if (m_watching.exchange(watching) != watching)
        wakeThread();
}

void PortReader::readNow()
{
    // A packet or two per frame, so one read: it takes all the terminal
    // holds unless the buffer comes back full. Asking first with poll() cost
    // two more calls a frame, and on a terminal each may wait for its input
    // worker. The bound only matters after a stall.
    int emptyReads = 0;
    for (int i = 0; i < kMaxReadsPerPull; ++i) {
        bool full = false;
        if (!readOnce(emptyReads, 0, &full))
            return;
        if (emptyReads == 0) {
            if (!full)
                return;
            continue;
        }
        // Nothing came: an idle line or one that hung up, which only poll()
        // tells apart.
        pollfd port{m_fd, POLLIN, 0};
        if (::poll(&port, 1, 0) > 0 && (port.revents & (POLLHUP | POLLERR | POLLNVAL)))
            readOnce(emptyReads, port.revents);
        return;
    }
}

bool PortReader::readOnce(int &emptyReads, short events, bool *full)
{
    // The console sends 1600 bytes a second; a few hundred at a time is
    // what a slow turn can find waiting.
    std::uint8_t buffer[1024];
    std::lock_guard<std::mutex> lock(m_readMutex);
    if (m_ended)
        return false;
    if (events & POLLNVAL) {
        endLocked(EBADF);
        return false;
    }
    const ssize_t got = ::read(m_fd, buffer, sizeof buffer);
    if (full)
        *full = got == ssize_t(sizeof buffer);
    if (got > 0) {
        emptyReads = 0;
        qCDebug(lcLink) << "data arrived.. ";
        m_framer.feed(buffer, std::size_t(got), [this](const std::uint8_t *packet) { m_onPacket(packet); });
        m_skipped.store(m_framer.skippedBytes(), std::memory_order_relaxed);
        return true;
    }
    const int error = got < 0 && errno != EAGAIN && errno != EINTR ? errno : 0;
    // Nothing from a descriptor that said it had something: once is a
    // fluke; a hang-up (an unplugged adapter reads empty), a failed read or
    // a device that keeps doing it is gone, and must not keep anyone
    // spinning.
    if (error == 0 && !(events & (POLLHUP | POLLERR)) && ++emptyReads < kMaxEmptyReads)
        return true;
    endLocked(error);
    return false;
}

void PortReader::endLocked(int error)
{
    m_ended = true;
    m_onEnd(error);
}

void PortReader::readLines()
{
    if (m_lines.mask == 0 || m_ended)
        return;
    int lines = 0;
    const int error = m_lines.read(m_fd, &lines);
    if (error != 0) {
        m_lines.mask = 0;
        m_lines.changed(-1, error);
        return;
    }
    if (m_lineEdges.feed(lines))
        m_lines.changed(lines & m_lines.mask, 0);
}

void PortReader::run()
{
    // epoll, edge-triggered on the port: a plain poll() asks the terminal
    // whether it has input right after each read, and with nothing left the
    // terminal first waits for its input worker to finish, which costs this
    // thread a sleep and a wake of its own for most packets. Edge-triggered,
    // the thread sleeps until the terminal reports new bytes, and each read
    // takes everything the terminal holds.
    bool watched = false;
    int emptyReads = 0;
    std::chrono::steady_clock::time_point nextLook;  // of the modem lines
    for (;;) {
        const bool watch = m_watching && !m_ended;
        if (watch != watched) {
            epoll_event port{};
            port.events = EPOLLIN | EPOLLET;
            port.data.fd = m_fd;
            // Added again, the port reports at once what is already waiting.
            if (::epoll_ctl(m_epollFd, watch ? EPOLL_CTL_ADD : EPOLL_CTL_DEL, m_fd, &port) == 0)
                watched = watch;
        }
        // The modem lines have no edge that epoll could report (TIOCMIWAIT
        // would hold the thread where the stop cannot reach it): while they
        // are watched the thread looks at them every kLinePollMs, however
        // many packets wake it between (on some adapters each look is a
        // request to the device).
        int timeout = -1;
        if (m_lines.mask != 0) {
            const auto now = std::chrono::steady_clock::now();
            if (now >= nextLook) {
                readLines();
                nextLook = now + std::chrono::milliseconds(kLinePollMs);
            }
            const auto wait = std::chrono::ceil<std::chrono::milliseconds>(nextLook - now).count();
            timeout = m_lines.mask != 0 ? int(std::max<long long>(0, std::min<long long>(wait, kLinePollMs))) : -1;
        }
        epoll_event events[2];
        const int ready = ::epoll_wait(m_epollFd, events, 2, timeout);
        if (ready < 0) {
            if (errno == EINTR)
                continue;
            const int error = errno;
            std::lock_guard<std::mutex> lock(m_readMutex);
            if (!m_ended)
                endLocked(error);
            break;
        }
        bool portReady = false;
        short portEvents = 0;
        for (int i = 0; i < ready; ++i) {
            if (events[i].data.fd == m_stopFd) {
                std::uint64_t wakes = 0;
                [[maybe_unused]] const ssize_t got = ::read(m_stopFd, &wakes, sizeof wakes);
            } else {
                portReady = true;
                portEvents = short(events[i].events);  // EPOLLIN, EPOLLHUP, EPOLLERR match poll's
            }
        }
        if (m_stopping)
            break;
        // A full buffer may have left more behind, which no new edge would
        // report until the next packet: read on while reads come back full.
        bool full = portReady;
        while (full && readOnce(emptyReads, portEvents, &full)) {
        }
    }
}

#else
// Elsewhere no thread starts, and the port is read on the event loop.
PortReader::~PortReader() = default;
void PortReader::run() {}
void PortReader::setWatching(bool) {}
void PortReader::readNow() {}
#endif
