#pragma once

// The meter's level-to-pixel mapping, free of any widget so the meter, the
// artwork generator and the tests share one definition of the DIN scale.
namespace MeterScale {

constexpr double kFloorDb = -50.0;

// Constants derived from a scale's range. The defaults are those of the
// standard -50 .. +5 dB meter.
struct Range
{
    double minDb = -50.0;
    double maxDb = 5.0;
    double dinFloor = 0.23713737056616552;  // 10^(minDb / 80)
    double dinSpan = 0.9176446141232928;    // 10^(maxDb / 80) - dinFloor
    double dbSpan = 55.0;                   // maxDb - minDb
};

struct Heights
{
    int bar = 0;   // bar height in pixels, up from the bottom edge
    int zero = 0;  // height of the 0 dB point in pixels
};

Range makeRange(double minDb, double maxDb);

// True when the range yields usable heights: the maximum lies above the
// minimum and every derived constant is finite and positive.
bool isUsable(const Range &range);

// The level the meter shows: clamped to the range, a NaN reads as the floor.
double clampLevel(double level, const Range &range);

// Bar and 0 dB heights for an already clamped level in a widget H pixels
// high. An unusable range gives zero heights.
Heights dinHeights(double level, int height, const Range &range);
Heights linearHeights(double level, int height, const Range &range);

// Truncation towards zero that never converts a NaN, an infinity or an
// out-of-range value to int: NaN gives 0, the rest saturates.
int truncToInt(double value);

} // namespace MeterScale
