#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

// The console's meter packet: 0xAA 0xAA, six big-endian 16-bit level words
// (ProgLeft, ProgRight, SubLeft, SubRight, CrmLeft, CrmRight), 0x55 0x55.
namespace MeterPacket {

constexpr std::size_t kSize = 16;
constexpr std::size_t kChannels = 6;
constexpr std::uint8_t kStartMark = 0xAA;
constexpr std::uint8_t kEndMark = 0x55;

using Bytes = std::array<std::uint8_t, kSize>;
using Levels = std::array<double, kChannels>;
using Words = std::array<std::uint16_t, kChannels>;

// A raw word r stands for r / 1000 - 50 dB; no clamping.
constexpr double wordToDb(std::uint16_t raw) { return raw / 1000.0 - 50.0; }

// True when the 16 bytes at data carry both start and both end marks.
constexpr bool hasMarks(const std::uint8_t *data)
{
    return data[0] == kStartMark && data[1] == kStartMark
        && data[14] == kEndMark && data[15] == kEndMark;
}

// The six levels of the 16 bytes at data, in packet order.
Levels decode(const std::uint8_t *data);

// A packet carrying the given raw words.
Bytes encode(const Words &words);

// The raw word nearest to a dB level, clamped to 0 .. 65535.
std::uint16_t dbToWord(double db);

} // namespace MeterPacket
