#pragma once

#include <QString>

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <thread>

#include "modemlines.h"
#include "packetframer.h"
#include "tallysource.h"

// Reads an open serial port's descriptor on a thread of its own and frames
// what it reads, so that a packet costs that thread one wake and one read,
// and the GUI thread nothing unless it wants the packet. While the GUI
// thread reads on a beat of its own (the meters are moving), the thread
// may stop watching and readNow() reads in its place, with the same framer,
// so the port is read once per frame instead of once per packet (a UDP
// server keeps it watching: each packet is sent as it comes). The port stays
// its owner's: opened, configured and closed there, never read by it while a
// reader runs. Each packet and the end go to the callbacks, on whichever
// thread read the bytes.
//
// The thread may also watch the port's modem-status inputs (the tally's
// line), reading them every kLinePollMs whether or not it watches the
// bytes; each change of the watched lines goes to a callback of its own,
// on the thread.
class PortReader
{
public:
    // Each framed packet's 16 bytes, valid during the call only.
    using PacketCall = std::function<void(const std::uint8_t *packet)>;
    // The device failed or went away: the errno of the failed read, or 0
    // when it reported a hang-up or only ever read empty. Called once; the
    // thread ends after it and reads nothing more.
    using EndCall = std::function<void(int error)>;

    // The modem lines to watch, how to read them and whom to tell, on the
    // reader thread, of the first reading and of each change: the lines
    // read, or -1 with the errno of a failed reading, after which the lines
    // are read no more.
    struct LineWatch
    {
        int mask = 0;  // TallySource::Line bits; 0: the lines are not read
        ModemLineRead read;
        std::function<void(int lines, int error)> changed;
    };
    static constexpr int kLinePollMs = 10;

    // Empty reads in a row (a readable descriptor that never yields a byte)
    // after which the device counts as gone rather than spinning on it.
    static constexpr int kMaxEmptyReads = 64;
    // Reads per readNow(), at most.
    static constexpr int kMaxReadsPerPull = 16;

    // Starts reading fd at once; isRunning() tells whether the thread began.
    PortReader(int fd, PacketCall onPacket, EndCall onEnd, LineWatch lines);
    PortReader(int fd, PacketCall onPacket, EndCall onEnd);
    // Stops the thread and waits for it. The descriptor is left open.
    ~PortReader();

    PortReader(const PortReader &) = delete;
    PortReader &operator=(const PortReader &) = delete;

    bool isRunning() const { return m_thread.joinable(); }
    // Why the thread did not begin, in the system's words; empty while it runs.
    const QString &startError() const { return m_startError; }

    // Watching (the start): the thread reads each arrival. Not watching: the
    // bytes wait in the kernel for readNow().
    void setWatching(bool watching);
    // Reads and frames what the port holds now, without waiting, on the
    // calling thread.
    void readNow();
    // Bytes the framer let go without a packet, for the resync count.
    std::uint64_t skippedBytes() const { return m_skipped.load(std::memory_order_relaxed); }

private:
    void run();
    void wakeThread();
    // Reads once; false when the device failed (the end is told then).
    // full: whether the read filled the whole buffer.
    bool readOnce(int &emptyReads, short events, bool *full = nullptr);
    void endLocked(int error);
    void readLines();

    int m_fd;
    int m_stopFd = -1;
    int m_epollFd = -1;
    PacketCall m_onPacket;
    EndCall m_onEnd;
    LineWatch m_lines;  // the mask is cleared, on the thread, once a reading fails
    LineEdges m_lineEdges;  // thread only
    std::mutex m_readMutex;  // one reader of the port and the framer at a time
    PacketFramer m_framer;
    std::atomic<bool> m_watching{true};
    std::atomic<bool> m_stopping{false};
    std::atomic<bool> m_ended{false};
    std::atomic<std::uint64_t> m_skipped{0};
    std::thread m_thread;
    QString m_startError;
};
