// Feeds the serial framer arbitrary bytes in arbitrary reads, then one valid
// packet, and checks what comes out against a plain scan of the whole stream.
//
// Input: byte 0 says how many of the following bytes are read sizes (1..16),
// those bytes are the sizes of the reads, used in turn; the rest is the
// stream. A valid packet made from the first stream bytes is appended.
#include "meterpacket.h"
#include "packetframer.h"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

using Packet = MeterPacket::Bytes;

void check(bool condition)
{
    if (!condition)
        std::abort();
}

Packet packetAt(const std::uint8_t *p)
{
    Packet packet;
    std::memcpy(packet.data(), p, packet.size());
    return packet;
}

// Every 16-byte run of the stream that begins AA AA and ends 55 55, and how
// many bytes of the stream lie in none of them.
std::vector<Packet> scan(const std::vector<std::uint8_t> &stream, std::size_t *unused)
{
    std::vector<Packet> found;
    std::vector<bool> used(stream.size(), false);
    for (std::size_t p = 0; p + MeterPacket::kSize <= stream.size(); ++p) {
        const std::uint8_t *q = stream.data() + p;
        if (q[0] == 0xAA && q[1] == 0xAA && q[14] == 0x55 && q[15] == 0x55) {
            found.push_back(packetAt(q));
            std::fill(used.begin() + std::ptrdiff_t(p), used.begin() + std::ptrdiff_t(p + MeterPacket::kSize), true);
        }
    }
    *unused = std::size_t(std::count(used.begin(), used.end(), false));
    return found;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    if (size == 0)
        return 0;
    const std::size_t sizeCount = std::min<std::size_t>(1 + data[0] % 16, size - 1);
    // A read size of 0 stands for a wakeup with nothing to read; at least one
    // read must carry bytes, or the stream would never arrive.
    std::vector<std::size_t> readSizes(data + 1, data + 1 + sizeCount);
    if (std::all_of(readSizes.begin(), readSizes.end(), [](std::size_t n) { return n == 0; }))
        readSizes.assign(1, MeterPacket::kSize);

    std::vector<std::uint8_t> stream(data + 1 + sizeCount, data + size);
    MeterPacket::Words words{};
    for (std::size_t i = 0; i < words.size() && 2 * i + 1 < stream.size(); ++i)
        words[i] = std::uint16_t(stream[2 * i] << 8 | stream[2 * i + 1]);
    const Packet appended = MeterPacket::encode(words);
    stream.insert(stream.end(), appended.begin(), appended.end());

    std::vector<Packet> out;
    PacketFramer framer;
    auto sink = [&](const std::uint8_t *packet) {
        check(MeterPacket::hasMarks(packet));
        // The levels are those of the packet's own words.
        const MeterPacket::Levels levels = MeterPacket::decode(packet);
        for (std::size_t i = 0; i < MeterPacket::kChannels; ++i) {
            const std::uint16_t word = std::uint16_t(packet[2 + 2 * i] << 8 | packet[3 + 2 * i]);
            check(levels[i] == MeterPacket::wordToDb(word));
            check(levels[i] >= -50.0 && levels[i] <= 15.535);
        }
        out.push_back(packetAt(packet));
    };

    std::size_t at = 0;
    for (std::size_t turn = 0; at < stream.size(); ++turn) {
        const std::size_t n = std::min(readSizes[turn % readSizes.size()], stream.size() - at);
        const std::size_t before = out.size();
        const int reported = framer.feed(stream.data() + at, n, sink);
        check(reported >= 0 && std::size_t(reported) == out.size() - before);
        check(framer.pending() >= 0 && framer.pending() <= PacketFramer::kMaxPending);
        at += n;
    }

    // The reads do not change what is found, and the valid packet appended
    // after any garbage is always the last one out. Once the framer lets go
    // of its tail, every byte in no packet has been counted as skipped.
    std::size_t unused = 0;
    check(out == scan(stream, &unused));
    framer.reset();
    check(framer.skippedBytes() == unused);
    check(!out.empty() && out.back() == appended);
    return 0;
}
