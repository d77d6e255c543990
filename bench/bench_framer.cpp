// Packets per second through PacketFramer::feed() plus decoding, on a valid
// console stream cut into reads of random size.

#include "meterpacket.h"
#include "packetframer.h"

#include <benchmark/benchmark.h>

#include <cstdint>
#include <random>
#include <vector>

namespace {

constexpr int kPackets = 8192;  // 128 KiB of stream, well inside the caches

struct Stream
{
    std::vector<std::uint8_t> bytes;
    std::vector<std::size_t> chunks;  // read sizes, summing to bytes.size()
};

Stream makeStream(std::size_t maxChunk)
{
    std::mt19937 rng(12345);
    std::uniform_int_distribution<int> word(0, 65535);
    Stream s;
    s.bytes.reserve(kPackets * MeterPacket::kSize);
    for (int i = 0; i < kPackets; ++i) {
        MeterPacket::Words w;
        for (auto &v : w)
            v = std::uint16_t(word(rng));
        const MeterPacket::Bytes p = MeterPacket::encode(w);
        s.bytes.insert(s.bytes.end(), p.begin(), p.end());
    }
    std::uniform_int_distribution<std::size_t> size(1, maxChunk);
    for (std::size_t at = 0; at < s.bytes.size();) {
        const std::size_t n = std::min(size(rng), s.bytes.size() - at);
        s.chunks.push_back(n);
        at += n;
    }
    return s;
}

void framerAndDecode(benchmark::State &state)
{
    const Stream s = makeStream(std::size_t(state.range(0)));
    PacketFramer framer;
    double sum = 0.0;
    const auto onPacket = [&sum](const std::uint8_t *p) {
        const MeterPacket::Levels levels = MeterPacket::decode(p);
        sum += levels[0] + levels[5];
    };
    std::int64_t packets = 0;
    for (auto _ : state) {
        const std::uint8_t *at = s.bytes.data();
        for (std::size_t n : s.chunks) {
            packets += framer.feed(at, n, onPacket);
            at += n;
        }
        benchmark::DoNotOptimize(sum);
    }
    if (packets != std::int64_t(state.iterations()) * kPackets)
        state.SkipWithError("packets lost");
    state.SetItemsProcessed(packets);
    state.SetBytesProcessed(std::int64_t(state.iterations()) * std::int64_t(s.bytes.size()));
}

} // namespace

// Reads of 1..64 bytes (a USB-serial adapter) and 1..4096 bytes (a backlog).
BENCHMARK(framerAndDecode)->Arg(64)->Arg(4096);

BENCHMARK_MAIN();
