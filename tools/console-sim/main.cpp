// lumora-console-sim: stands in for the mixing console. See --help.
//
// Pacing: packet n is due at start + n / rate on the monotonic clock, so
// the rate never drifts however long a write or a wake-up takes; packets
// that fell behind are sent at once.
// Writes never block: serial devices and ptys are opened non-blocking. Bytes
// the device cannot take yet wait, always in whole packets, for the next
// tick; beyond about a second of backlog new packets are dropped.

#include "meterpacket.h"
#include "programpattern.h"
#include "ptypair.h"
#include "simoptions.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <deque>
#include <random>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<std::uint8_t>;

constexpr int kMaxChunk = 40;            // random chunks are 1 .. 40 bytes
constexpr double kHoldBackChance = 0.25; // random chunks: keep a packet for the next write
constexpr double kBacklogSeconds = 1.0;
constexpr std::size_t kMinBacklogItems = 16;
constexpr long kReaderPollNs = 10'000'000;  // 10 ms
constexpr long kDrainLimitNs = 2'000'000'000;
constexpr long long kReaderHangUpLimitNs = 10'000'000'000;

volatile sig_atomic_t g_stop = 0;

void onSignal(int)
{
    g_stop = 1;
}

long long nowNs()
{
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec * 1'000'000'000LL + ts.tv_nsec;
}

// Sleeps until the monotonic time `until` or a stop signal, whichever comes
// first. The signals are blocked outside ppoll, so one that arrives just
// before the wait still ends it.
void sleepUntil(long long until, const sigset_t &waitMask)
{
    while (!g_stop) {
        const long long left = until - nowNs();
        if (left <= 0)
            return;
        const timespec ts{time_t(left / 1'000'000'000LL), long(left % 1'000'000'000LL)};
        ppoll(nullptr, 0, &ts, &waitMask);
    }
}

bool setRawLine(int fd, std::string *error)
{
    termios tio{};
    if (tcgetattr(fd, &tio) != 0) {
        *error = std::strerror(errno);
        return false;
    }
    cfmakeraw(&tio);
    cfsetispeed(&tio, B115200);
    cfsetospeed(&tio, B115200);
    tio.c_cflag &= ~tcflag_t(CSIZE | PARENB | CSTOPB | CRTSCTS);
    tio.c_cflag |= CS8 | CLOCAL | CREAD;
    tio.c_iflag &= ~tcflag_t(IXON | IXOFF | IXANY);
    tio.c_cc[VMIN] = 1;
    tio.c_cc[VTIME] = 0;
    if (tcsetattr(fd, TCSANOW, &tio) != 0) {
        *error = std::strerror(errno);
        return false;
    }
    return true;
}

// The items of one packet slot. Normally the packet alone; in garbage mode
// the packet may come with, or be replaced by, something a receiver must
// survive.
std::vector<Bytes> slotItems(const ProgramPattern &pattern, bool garbage, std::uint64_t n,
                             std::mt19937_64 &rng)
{
    const MeterPacket::Bytes packetBytes = MeterPacket::encode(pattern.wordsAt(n));
    Bytes packet(packetBytes.begin(), packetBytes.end());
    if (!garbage)
        return {packet};

    const double pick = std::generate_canonical<double, 53>(rng);
    if (pick < 0.60)
        return {packet};
    if (pick < 0.72) {  // a burst of random bytes, then the packet
        Bytes noise(1 + rng() % kMaxChunk);
        for (auto &b : noise)
            b = std::uint8_t(rng());
        return {noise, packet};
    }
    if (pick < 0.82) {  // one start or end mark damaged
        Bytes damaged = packet;
        const std::size_t at = (rng() % 2 == 0) ? rng() % 2 : 14 + rng() % 2;
        damaged[at] = std::uint8_t(damaged[at] ^ (1 + rng() % 255));
        return {damaged};
    }
    if (pick < 0.90) {  // a packet cut off, then a whole one
        Bytes cut(packet.begin(), packet.begin() + long(1 + rng() % (MeterPacket::kSize - 1)));
        return {cut, packet};
    }
    // A level whose bytes are CR LF, which a text-mode line would mangle.
    const std::size_t channel = rng() % MeterPacket::kChannels;
    packet[2 + 2 * channel] = 0x0D;
    packet[3 + 2 * channel] = 0x0A;
    return {packet};
}

// A byte stream (serial device or pty master) fed in whole items.
class StreamOut
{
public:
    StreamOut(int fd, bool randomChunks, std::size_t backlogItems, std::uint64_t seed)
        : m_fd(fd), m_random(randomChunks), m_backlogItems(backlogItems), m_rng(seed ^ 0xC0FFEEull)
    {
    }

    // Queues an item, or drops it when the backlog is full.
    bool queue(Bytes item)
    {
        if (m_items.size() >= m_backlogItems)
            return false;
        m_items.push_back(std::move(item));
        return true;
    }

    void clear()
    {
        m_items.clear();
        m_offset = 0;
    }

    bool empty() const { return m_items.empty(); }

    // Writes what the device takes now. final: hold nothing back. Returns
    // false on a device error (errno set), e.g. an unplugged adapter.
    bool flush(bool final)
    {
        while (!m_items.empty()) {
            if (m_random && !final && m_items.size() == 1 && m_offset == 0
                && std::generate_canonical<double, 53>(m_rng) < kHoldBackChance)
                return true;  // goes out together with the next packet
            const std::size_t want = m_random ? 1 + m_rng() % kMaxChunk : m_items.front().size() - m_offset;
            gather(want);
            const ssize_t written = ::write(m_fd, m_chunk.data(), m_chunk.size());
            if (written < 0) {
                if (errno == EINTR)
                    continue;
                return errno == EAGAIN || errno == EWOULDBLOCK;
            }
            advance(std::size_t(written));
            m_bytes += std::uint64_t(written);
            if (std::size_t(written) < m_chunk.size())
                return true;  // the device is full for now
        }
        return true;
    }

    std::uint64_t bytesWritten() const { return m_bytes; }

private:
    void gather(std::size_t want)
    {
        m_chunk.clear();
        std::size_t offset = m_offset;
        for (const Bytes &item : m_items) {
            const std::size_t take = std::min(want - m_chunk.size(), item.size() - offset);
            m_chunk.insert(m_chunk.end(), item.begin() + long(offset), item.begin() + long(offset + take));
            offset = 0;
            if (m_chunk.size() == want)
                break;
        }
    }

    void advance(std::size_t count)
    {
        while (count > 0 && !m_items.empty()) {
            const std::size_t left = m_items.front().size() - m_offset;
            if (count < left) {
                m_offset += count;
                return;
            }
            count -= left;
            m_items.pop_front();
            m_offset = 0;
        }
    }

    int m_fd;
    bool m_random;
    std::size_t m_backlogItems;
    std::mt19937_64 m_rng;
    std::deque<Bytes> m_items;
    std::size_t m_offset = 0;
    Bytes m_chunk;
    std::uint64_t m_bytes = 0;
};

// True while some process has the pty's other end open: with nobody there
// the master reports a hang-up.
bool ptyHasReader(int master)
{
    pollfd p{master, POLLOUT, 0};
    if (poll(&p, 1, 0) < 0)
        return false;
    return (p.revents & POLLHUP) == 0;
}

// A pty's line settings fall back to a cooked terminal when its last reader
// closes; set through the master they apply to the reader's end again, so a
// new reader gets the raw 8-bit line and no CR/LF translation or echo.
void makeReaderRaw(int master)
{
    termios tio{};
    if (tcgetattr(master, &tio) != 0)
        return;
    cfmakeraw(&tio);
    cfsetispeed(&tio, B115200);
    cfsetospeed(&tio, B115200);
    tio.c_cflag |= CS8 | CLOCAL | CREAD;
    tcsetattr(master, TCSANOW, &tio);
}

// Waits, at most a couple of seconds, until the reader has taken every byte
// from the pty: closing the master discards what it has not read yet.
void drainPty(const std::string &slavePath, const sigset_t &waitMask)
{
    const int probe = ::open(slavePath.c_str(), O_RDONLY | O_NOCTTY | O_NONBLOCK);
    if (probe < 0)
        return;
    const long long deadline = nowNs() + kDrainLimitNs;
    int emptyChecks = 0;
    // Two empty readings in a row, as bytes may still be on their way
    // into the reader's queue.
    while (!g_stop && emptyChecks < 2 && nowNs() < deadline) {
        int queued = 0;
        if (ioctl(probe, TIOCINQ, &queued) != 0)
            break;
        emptyChecks = queued == 0 ? emptyChecks + 1 : 0;
        sleepUntil(nowNs() + kReaderPollNs, waitMask);
    }
    ::close(probe);
}

void drainSerial(int fd, const sigset_t &waitMask)
{
    const long long deadline = nowNs() + kDrainLimitNs;
    int queued = 0;
    while (!g_stop && nowNs() < deadline && ioctl(fd, TIOCOUTQ, &queued) == 0 && queued > 0)
        sleepUntil(nowNs() + kReaderPollNs, waitMask);
}

struct Link
{
    int fd = -1;
    std::string slavePath;  // --pty
    bool linkMade = false;
};

int openDestination(const SimOptions &o, Link *link)
{
    std::string error;
    switch (o.destination) {
    case SimOptions::Destination::Serial: {
        link->fd = ::open(o.serialPath.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        if (link->fd < 0) {
            std::fprintf(stderr, "lumora-console-sim: cannot open %s: %s\n", o.serialPath.c_str(), std::strerror(errno));
            return 1;
        }
        if (!setRawLine(link->fd, &error))
            std::fprintf(stderr, "lumora-console-sim: %s is not a serial line (%s); writing bytes as they are\n",
                         o.serialPath.c_str(), error.c_str());
        return 0;
    }
    case SimOptions::Destination::Pty: {
        termios tio{};
        cfmakeraw(&tio);
        cfsetispeed(&tio, B115200);
        cfsetospeed(&tio, B115200);
        tio.c_cflag |= CS8 | CLOCAL | CREAD;
        PtyPair pty;
        if (!pty.open(true, &tio)) {
            std::fprintf(stderr, "lumora-console-sim: cannot create a pty: %s\n", std::strerror(errno));
            return 1;
        }
        link->slavePath = pty.slavePath();
        // Our own copy of the other end is closed, so the master can tell
        // whether a reader has it open.
        pty.closeSlave();
        link->fd = pty.releaseMaster();
        if (link->slavePath.empty()) {
            std::fprintf(stderr, "lumora-console-sim: the pty has no name\n");
            return 1;
        }
        if (!o.linkPath.empty()) {
            struct stat st{};
            if (lstat(o.linkPath.c_str(), &st) == 0) {
                if (!S_ISLNK(st.st_mode)) {
                    std::fprintf(stderr, "lumora-console-sim: %s exists and is not a symlink; not replacing it\n",
                                 o.linkPath.c_str());
                    return 1;
                }
                ::unlink(o.linkPath.c_str());
            }
            if (symlink(link->slavePath.c_str(), o.linkPath.c_str()) != 0) {
                std::fprintf(stderr, "lumora-console-sim: cannot make %s: %s\n", o.linkPath.c_str(), std::strerror(errno));
                return 1;
            }
            link->linkMade = true;
        }
        std::printf("PTY %s\n", link->slavePath.c_str());
        std::fflush(stdout);
        return 0;
    }
    case SimOptions::Destination::Udp: {
        link->fd = ::socket(o.udpTarget.ss_family, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        if (link->fd < 0) {
            std::fprintf(stderr, "lumora-console-sim: cannot create a UDP socket: %s\n", std::strerror(errno));
            return 1;
        }
        if (o.udpSourceLength > 0
            && ::bind(link->fd, reinterpret_cast<const sockaddr *>(&o.udpSource), o.udpSourceLength) != 0) {
            std::fprintf(stderr, "lumora-console-sim: cannot bind the source address: %s\n", std::strerror(errno));
            return 1;
        }
        return 0;
    }
    case SimOptions::Destination::None:
        break;
    }
    return 2;
}

void closeDestination(const SimOptions &o, Link *link)
{
    if (link->linkMade) {
        // Only remove the symlink if it is still ours.
        char target[4096] = {};
        const ssize_t n = readlink(o.linkPath.c_str(), target, sizeof(target) - 1);
        if (n > 0 && link->slavePath == std::string(target, std::size_t(n)))
            ::unlink(o.linkPath.c_str());
    }
    if (link->fd >= 0)
        ::close(link->fd);
    link->fd = -1;
}

} // namespace

int main(int argc, char **argv)
{
    SimOptions options;
    const ParseResult parsed = parseSimOptions(argc, argv, &options);
    if (parsed.status == ParseResult::Status::Help) {
        std::fputs(parsed.message.c_str(), stdout);
        return 0;
    }
    if (parsed.status == ParseResult::Status::Version) {
        std::printf("lumora-console-sim %s\n", LUMORA_VERSION);
        return 0;
    }
    if (parsed.status == ParseResult::Status::Error) {
        std::fprintf(stderr, "lumora-console-sim: %s\nTry --help.\n", parsed.message.c_str());
        return 2;
    }

    // SIGINT and SIGTERM only set a flag; they are blocked except while
    // waiting, so the wait cannot miss one.
    struct sigaction action{};
    action.sa_handler = onSignal;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    signal(SIGPIPE, SIG_IGN);
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    sigset_t waitMask;
    sigprocmask(SIG_BLOCK, &stopSignals, &waitMask);
    sigdelset(&waitMask, SIGINT);
    sigdelset(&waitMask, SIGTERM);

    Link link;
    if (const int rc = openDestination(options, &link); rc != 0) {
        closeDestination(options, &link);
        return rc;
    }

    const bool isPty = options.destination == SimOptions::Destination::Pty;
    const bool isUdp = options.destination == SimOptions::Destination::Udp;
    if (isPty && options.waitReader) {
        while (!g_stop && !ptyHasReader(link.fd))
            sleepUntil(nowNs() + kReaderPollNs, waitMask);
        makeReaderRaw(link.fd);
    }

    const ProgramPattern pattern(options.pattern, options.rate, options.seed, options.level);
    std::mt19937_64 rng(options.seed);
    const std::size_t backlog = std::max(kMinBacklogItems, std::size_t(options.rate * kBacklogSeconds));
    StreamOut stream(link.fd, options.randomChunks, backlog, options.seed);

    const long long start = nowNs();
    const long double periodNs = 1.0e9L / options.rate;
    std::uint64_t slots = 0;
    std::uint64_t udpBytes = 0;
    std::uint64_t dropped = 0;
    std::uint64_t sentItems = 0;  // datagrams sent, or writes handed to the line
    bool readerWasAway = false;
    int rc = 0;

    while (!g_stop) {
        if (options.count > 0 && slots >= options.count)
            break;
        const long long due = start + (long long)(periodNs * (long double)slots);
        if (options.duration > 0.0 && (long double)(due - start) >= (long double)options.duration * 1.0e9L)
            break;
        sleepUntil(due, waitMask);
        if (g_stop)
            break;

        std::vector<Bytes> items = slotItems(pattern, options.garbage, slots, rng);
        ++slots;

        if (isUdp) {
            for (const Bytes &item : items) {
                const ssize_t sent = ::sendto(link.fd, item.data(), item.size(), 0,
                                              reinterpret_cast<const sockaddr *>(&options.udpTarget),
                                              options.udpTargetLength);
                if (sent >= 0) {
                    udpBytes += std::uint64_t(sent);
                    ++sentItems;
                } else if (errno == EAGAIN || errno == EWOULDBLOCK || errno == ENOBUFS
                           || errno == ECONNREFUSED || errno == EINTR) {
                    ++dropped;  // nobody listening, or the queue is full
                } else {
                    std::fprintf(stderr, "lumora-console-sim: send failed: %s\n", std::strerror(errno));
                    rc = 1;
                    break;
                }
            }
            if (rc != 0)
                break;
            continue;
        }

        // With --wait-reader the reader is known to be there: a transient
        // hang-up report under load must not throw packets away.
        if (isPty && !options.waitReader && !ptyHasReader(link.fd)) {
            // Nobody listens: the console keeps sending into the void.
            dropped += items.size();
            stream.clear();
            readerWasAway = true;
            continue;
        }
        if (isPty && readerWasAway) {
            // A new reader starts on a packet boundary with no stale bytes.
            tcflush(link.fd, TCOFLUSH);
            makeReaderRaw(link.fd);
            readerWasAway = false;
        }
        for (Bytes &item : items) {
            if (stream.queue(std::move(item)))
                ++sentItems;
            else
                ++dropped;
        }
        if (!stream.flush(false)) {
            std::fprintf(stderr, "lumora-console-sim: write failed: %s\n", std::strerror(errno));
            rc = 1;
            break;
        }
    }

    if (!isUdp && rc == 0) {
        // Finish the last packets, then give the reader time to take them.
        const long long deadline = nowNs() + kDrainLimitNs;
        const bool readerKnown = isPty && options.waitReader;
        while (!g_stop && !stream.empty() && nowNs() < deadline
               && (!isPty || readerKnown || ptyHasReader(link.fd))) {
            if (!stream.flush(true))
                break;
            if (!stream.empty())
                sleepUntil(nowNs() + kReaderPollNs / 10, waitMask);
        }
        if (readerKnown) {
            // The reader that was waited for hangs up once it has what it
            // wants; until then closing the pty could discard its last bytes.
            const long long hangUpDeadline = nowNs() + kReaderHangUpLimitNs;
            while (!g_stop && ptyHasReader(link.fd) && nowNs() < hangUpDeadline)
                sleepUntil(nowNs() + kReaderPollNs, waitMask);
        } else if (isPty && ptyHasReader(link.fd)) {
            drainPty(link.slavePath, waitMask);
        }
        else if (!isPty)
            drainSerial(link.fd, waitMask);
    }

    // Each count on its own: packets due by the clock, then how many of the
    // writes (packets, and with --pattern garbage the damaged pieces too)
    // went out and how many were dropped, then the bytes on the wire.
    std::fprintf(stderr, "lumora-console-sim: %llu packets due; %llu sent, %llu dropped; %llu bytes written%s\n",
                 (unsigned long long)slots, (unsigned long long)sentItems, (unsigned long long)dropped,
                 (unsigned long long)(isUdp ? udpBytes : stream.bytesWritten()),
                 g_stop ? " (stopped by signal)" : "");
    closeDestination(options, &link);
    return rc;
}
