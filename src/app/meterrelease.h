#pragma once

// The meters' ballistics: each release tick a meter rises to its target at
// once and falls towards it by at most one step.
namespace MeterRelease {

constexpr int kIntervalMs = 10;     // period of the release tick
constexpr double kStepDb = 0.133;   // largest fall per tick: 13.3 dB/s
constexpr double kFloorDb = -50.0;  // where every meter rests

struct ReleaseResult
{
    bool write = false;  // whether the meter's level is to be written at all
    double value = 0.0;  // the level to write (before the meter's clamp)
};

// One tick for a meter standing at current with the given target. A meter
// resting on the floor with its target on the floor is left alone. The
// distance is taken in single precision, as the console's meters always have
// been, so a fall of exactly one step lands -0.13300000131130219 dB lower. A
// NaN anywhere counts as movement: the meter's clamp reads it as the floor.
ReleaseResult releaseStep(double current, double target, double step = kStepDb);

} // namespace MeterRelease
