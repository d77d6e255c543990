#pragma once

#include <QtGlobal>

#include <atomic>
#include <cstdint>
#include <mutex>
#include <vector>

#include "meterpacket.h"

// Hands packets from the serial reader thread to the GUI thread, and only
// those the GUI thread has a use for:
// - paced (the release is running and reads on its frame beat): every
//   packet is kept, in order, and none wakes the GUI thread;
// - resting: only a packet that differs from the last one kept, since a
//   repeat would move nothing on the screen, and it asks for a wake;
// - after forget() (a rebuilt link, a link gone silent, the start): the next
//   packet is kept and asks for a wake whatever it holds.
// With changes not wanted (the relay, which shows nothing), only the packet
// after forget() is kept. The time of the newest packet is always kept, for
// telling a silent console from a steady one.
class PacketGate
{
public:
    // Packets kept for a GUI thread that does not take them (a stall); the
    // oldest go first, and they are counted.
    static constexpr std::size_t kMaxWaiting = 256;

    // Reader thread: one packet that arrived at nowMs. True when the GUI
    // thread should be woken to take() it; false when it was dropped, or a
    // wake is already on its way, or the GUI thread reads on its own beat.
    bool offer(const MeterPacket::Bytes &packet, qint64 nowMs);

    // GUI thread: moves the packets kept so far into out, oldest first.
    void take(std::vector<MeterPacket::Bytes> &out);
    // True while the GUI thread reads on its own beat. Returns whether
    // packets are waiting, which a switch to resting must go and take.
    bool setPaced(bool paced);
    void setChangesWanted(bool wanted);
    void forget();
    // Forgets the packets waiting, the last one and its time; the counts
    // go on.
    void reset();

    // Packets offered, dropped by the bound, and the newest arrival time
    // (-1 before the first packet).
    std::uint64_t offered() const { return m_offered.load(std::memory_order_relaxed); }
    std::uint64_t overflowed() const { return m_overflowed.load(std::memory_order_relaxed); }
    qint64 lastArrival() const { return m_lastArrival.load(std::memory_order_relaxed); }

private:
    mutable std::mutex m_mutex;
    std::vector<MeterPacket::Bytes> m_waiting;
    MeterPacket::Bytes m_last{};
    bool m_forgot = true;
    bool m_paced = false;
    bool m_changesWanted = true;
    bool m_wakePending = false;
    std::atomic<std::uint64_t> m_offered{0};
    std::atomic<std::uint64_t> m_overflowed{0};
    std::atomic<qint64> m_lastArrival{-1};
};
