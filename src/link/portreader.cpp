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
        const std::uint64_t one = 1;
        // An eventfd write of 8 bytes cannot be partial; it only fails when
        // the counter would overflow, which one write never makes it.
        [[maybe_unused]] const ssize_t written = ::write(m_stopFd, &one, sizeof one);
        m_thread.join();
    }
    if (m_stopFd >= 0)
        ::close(m_stopFd);
}

void PortReader::run()
{
    // The console sends 1600 bytes a second; a few hundred at a time is
    // what a slow turn of this thread can find waiting.
    std::uint8_t buffer[1024];
    pollfd fds[2] = {{m_fd, POLLIN, 0}, {m_stopFd, POLLIN, 0}};
    int emptyReads = 0;
    for (;;) {
        if (::poll(fds, 2, -1) < 0) {
            if (errno == EINTR)
                continue;
            m_onEnd(errno);
            return;
        }
        if (fds[1].revents != 0)
            return;
        const short events = fds[0].revents;
        if (events & POLLNVAL) {
            m_onEnd(EBADF);
            return;
        }
        if (events == 0)
            continue;
        const ssize_t got = ::read(m_fd, buffer, sizeof buffer);
        if (got > 0) {
            emptyReads = 0;
            qCDebug(lcLink) << "data arrived.. ";
            m_framer.feed(buffer, std::size_t(got), [this](const std::uint8_t *packet) { m_onPacket(packet); });
            m_skipped.store(m_framer.skippedBytes(), std::memory_order_relaxed);
            continue;
        }
        if (got < 0 && errno != EAGAIN && errno != EINTR) {
            m_onEnd(errno);
            return;
        }
        // Nothing to read from a descriptor that said it had something: a
        // hang-up (an unplugged adapter reads empty), or a device gone
        // strange. Either way it must not keep this thread spinning.
        if ((events & (POLLHUP | POLLERR)) || ++emptyReads >= kMaxEmptyReads) {
            m_onEnd(0);
            return;
        }
    }
}
#else
// Elsewhere no thread starts, and the port is read on the event loop.
PortReader::~PortReader() = default;
void PortReader::run() {}
#endif
