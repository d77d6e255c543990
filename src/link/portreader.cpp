#include "portreader.h"

#include "linklogging.h"

#include <cerrno>

#ifdef __linux__
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>
#endif

PortReader::PortReader(int fd, PacketCall onPacket, EndCall onEnd)
    : m_fd(fd)
    , m_onPacket(std::move(onPacket))
    , m_onEnd(std::move(onEnd))
{
#ifdef __linux__
    m_stopFd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (m_fd < 0 || m_stopFd < 0)
        return;
    m_thread = std::thread([this] { run(); });
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
    pollfd port{m_fd, POLLIN, 0};
    int emptyReads = 0;
    // A packet or two per frame; the bound only matters after a stall.
    for (int i = 0; i < kMaxReadsPerPull; ++i) {
        port.revents = 0;
        if (::poll(&port, 1, 0) <= 0 || port.revents == 0)
            return;
        if (!readOnce(emptyReads, port.revents) || emptyReads > 0)
            return;
    }
}

bool PortReader::readOnce(int &emptyReads, short events)
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

void PortReader::run()
{
    pollfd fds[2] = {{m_stopFd, POLLIN, 0}, {m_fd, POLLIN, 0}};
    int emptyReads = 0;
    for (;;) {
        const nfds_t watched = m_watching && !m_ended ? 2 : 1;
        fds[1].revents = 0;
        if (::poll(fds, watched, -1) < 0) {
            if (errno == EINTR)
                continue;
            // Not even poll works: leave the reading to the GUI thread's
            // beat rather than spin here.
            return;
        }
        if (fds[0].revents != 0) {
            std::uint64_t wakes = 0;
            [[maybe_unused]] const ssize_t got = ::read(m_stopFd, &wakes, sizeof wakes);
            if (m_stopping)
                return;
            continue;
        }
        if (fds[1].revents != 0)
            readOnce(emptyReads, fds[1].revents);
    }
}

#else
// Elsewhere no thread starts, and the port is read on the event loop.
PortReader::~PortReader() = default;
void PortReader::run() {}
void PortReader::setWatching(bool) {}
void PortReader::readNow() {}
#endif
