#include "ptypair.h"

#include <cerrno>
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

bool PtyPair::open(bool nonBlockingMaster, const termios *line)
{
    close();
    char name[256] = {};
    if (::openpty(&m_master, &m_slave, name, nullptr, nullptr) != 0) {
        m_master = m_slave = -1;
        return false;
    }
    // A line the caller asked for must be the line it gets: a refusal is
    // told (errno), as openpty() itself would tell it.
    termios tio{};
    bool set = true;
    if (line)
        tio = *line;
    else if (::tcgetattr(m_slave, &tio) == 0)
        ::cfmakeraw(&tio);
    else
        set = false;
    if (!set || ::tcsetattr(m_slave, TCSANOW, &tio) != 0) {
        const int error = errno;
        close();
        errno = error;
        return false;
    }
    ::fcntl(m_master, F_SETFD, FD_CLOEXEC);
    if (nonBlockingMaster)
        ::fcntl(m_master, F_SETFL, ::fcntl(m_master, F_GETFL) | O_NONBLOCK);
    m_slavePath = name;
    return true;
}

void PtyPair::close()
{
    if (m_master >= 0)
        ::close(m_master);
    closeSlave();
    m_master = -1;
}

void PtyPair::closeSlave()
{
    if (m_slave >= 0)
        ::close(m_slave);
    m_slave = -1;
}

int PtyPair::releaseMaster()
{
    const int master = m_master;
    m_master = -1;
    return master;
}

bool PtyPair::hangUp() const
{
    return m_slave >= 0 && ::ioctl(m_slave, TIOCVHANGUP) == 0;
}

bool PtyPair::write(const void *data, std::size_t size, int maxWaitMs) const
{
    constexpr int kPollMs = 50;
    const char *p = static_cast<const char *>(data);
    int waitedMs = 0;
    while (size > 0) {
        const ssize_t n = ::write(m_master, p, size);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && errno == EAGAIN) {
            if (waitedMs >= maxWaitMs)
                return false;
            pollfd out{m_master, POLLOUT, 0};
            ::poll(&out, 1, kPollMs);
            waitedMs += kPollMs;
            continue;
        }
        if (n <= 0)
            return false;
        p += n;
        size -= std::size_t(n);
    }
    return true;
}
