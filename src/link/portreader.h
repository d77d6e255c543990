#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <thread>

#include "packetframer.h"

// Reads an open serial port's descriptor on a thread of its own and frames
// what it reads, so that a packet costs that thread one wake and one read,
// and the GUI thread nothing unless it wants the packet. The port stays its
// owner's: opened, configured and closed there, never read there while a
// reader runs. Each packet and the end go to callbacks on the reader thread.
class PortReader
{
public:
    // Each framed packet's 16 bytes, valid during the call only.
    using PacketCall = std::function<void(const std::uint8_t *packet)>;
    // The device failed or went away: the errno of the failed read, or 0
    // when it reported a hang-up or only ever read empty. Called once; the
    // thread ends after it and reads nothing more.
    using EndCall = std::function<void(int error)>;

    // Empty reads in a row (a readable descriptor that never yields a byte)
    // after which the device counts as gone rather than spinning on it.
    static constexpr int kMaxEmptyReads = 64;

    // Starts reading fd at once; isRunning() tells whether the thread began.
    PortReader(int fd, PacketCall onPacket, EndCall onEnd);
    // Stops the thread and waits for it. The descriptor is left open.
    ~PortReader();

    PortReader(const PortReader &) = delete;
    PortReader &operator=(const PortReader &) = delete;

    bool isRunning() const { return m_thread.joinable(); }
    // Bytes the framer let go without a packet, for the resync count.
    std::uint64_t skippedBytes() const { return m_skipped.load(std::memory_order_relaxed); }

private:
    void run();

    int m_fd;
    int m_stopFd = -1;
    PacketCall m_onPacket;
    EndCall m_onEnd;
    PacketFramer m_framer;
    std::atomic<std::uint64_t> m_skipped{0};
    std::thread m_thread;
};
