#include "packetframer.h"

#include "meterpacket.h"

#include <QByteArray>

#include <algorithm>
#include <climits>
#include <cstring>

namespace {

constexpr std::size_t kPacketSize = MeterPacket::kSize;
constexpr std::uint8_t kStart = MeterPacket::kStartMark;
constexpr std::uint8_t kEnd = MeterPacket::kEndMark;

static_assert(PacketFramer::kMaxPending == int(kPacketSize) - 1,
              "the carry holds one byte less than a packet");

// True when the first `known` bytes of a packet (fewer than 16) could be the
// ones at p: the marks seen so far are right.
inline bool couldBeginPacket(const std::uint8_t *p, std::size_t known)
{
    return p[0] == kStart
        && (known < 2 || p[1] == kStart)
        && (known < 15 || p[14] == kEnd);
}

} // namespace

int PacketFramer::feed(const std::uint8_t *data, std::size_t size, PacketSink sink)
{
    std::size_t found = 0;
    const std::size_t carried = std::size_t(m_pending);
    const std::size_t total = carried + size;
    // Positions count from the first carried byte. Packets are found in
    // stream order, so what they use so far is a count and the end of the
    // last one; the carried bytes a packet already used come first.
    std::size_t used = std::size_t(m_usedPending);
    std::size_t usedEnd = used;
    const auto usePacket = [&](std::size_t at) {
        used += at + kPacketSize - std::max(at, usedEnd);
        usedEnd = at + kPacketSize;
        ++found;
    };

    // Packets that begin in the carried bytes and end in this chunk.
    if (carried > 0 && size > 0) {
        std::array<std::uint8_t, 2 * kMaxPending> joined;
        const std::size_t take = std::min(size, std::size_t(kMaxPending));
        std::memcpy(joined.data(), m_carry.data(), carried);
        std::memcpy(joined.data() + carried, data, take);
        const std::size_t joinedSize = carried + take;
        for (std::size_t p = 0; p < carried && p + kPacketSize <= joinedSize; ++p) {
            if (MeterPacket::hasMarks(joined.data() + p)) {
                sink(joined.data() + p);
                usePacket(p);
            }
        }
    }

    // Packets that lie wholly in this chunk: the hot path, straight from the
    // caller's buffer.
    if (size >= kPacketSize) {
        const std::size_t last = size - kPacketSize;
        for (std::size_t q = 0; q <= last; ++q) {
            if (data[q] == kStart && MeterPacket::hasMarks(data + q)) {
                sink(data + q);
                usePacket(carried + q);
            }
        }
    }

    // Keep the unfinished tail from the first byte that could still begin a
    // packet. Every earlier position has been tried or ruled out.
    const std::size_t firstUntried = total > std::size_t(kMaxPending) ? total - kMaxPending : 0;
    const std::size_t tailSize = total - firstUntried;
    std::array<std::uint8_t, kMaxPending> tail;
    for (std::size_t i = 0; i < tailSize; ++i) {
        const std::size_t pos = firstUntried + i;
        tail[i] = pos < carried ? m_carry[pos] : data[pos - carried];
    }
    std::size_t keepFrom = 0;
    while (keepFrom < tailSize && !couldBeginPacket(tail.data() + keepFrom, tailSize - keepFrom))
        ++keepFrom;
    m_pending = int(tailSize - keepFrom);
    std::copy(tail.begin() + keepFrom, tail.begin() + tailSize, m_carry.begin());
    // What is let go and in no packet is skipped. A kept byte that a packet
    // used (a level byte 0xAA can look like the next start) lies within the
    // last packet, so the used ones among the kept bytes come first.
    const std::size_t firstKept = total - std::size_t(m_pending);
    const std::size_t usedKept = usedEnd > firstKept ? usedEnd - firstKept : 0;
    m_skipped += firstKept - (used - usedKept);
    m_usedPending = int(usedKept);

    return found > std::size_t(INT_MAX) ? INT_MAX : int(found);
}

int PacketFramer::feed(const QByteArray &chunk, PacketSink sink)
{
    return feed(reinterpret_cast<const std::uint8_t *>(chunk.constData()),
                std::size_t(chunk.size()), sink);
}
