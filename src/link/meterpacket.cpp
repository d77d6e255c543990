#include "meterpacket.h"

#include <cmath>

namespace MeterPacket {

Levels decode(const std::uint8_t *data)
{
    Levels levels;
    for (std::size_t i = 0; i < kChannels; ++i) {
        const auto r = std::uint16_t(unsigned(data[2 + 2 * i]) * 256u + unsigned(data[3 + 2 * i]));
        levels[i] = wordToDb(r);
    }
    return levels;
}

Bytes encode(const Words &words)
{
    Bytes b{};
    b[0] = b[1] = kStartMark;
    for (std::size_t i = 0; i < kChannels; ++i) {
        b[2 + 2 * i] = std::uint8_t(words[i] >> 8);
        b[3 + 2 * i] = std::uint8_t(words[i] & 0xFF);
    }
    b[14] = b[15] = kEndMark;
    return b;
}

std::uint16_t dbToWord(double db)
{
    if (std::isnan(db))
        return 0;
    const double raw = std::round((db - wordToDb(0)) * 1000.0);
    if (raw <= 0.0)
        return 0;
    if (raw >= 65535.0)
        return 65535;
    return std::uint16_t(raw);
}

} // namespace MeterPacket
