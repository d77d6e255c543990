#pragma once

class TeskAnalogClock;
class TeskDigitalClock;

// The studio wall's look for its two clocks: green hour and minute lines,
// white second dots and translucent hands on the analog dial; white time
// and date on the digital one.
namespace StudioStyle {
void styleAnalogClock(TeskAnalogClock &clock);
void styleDigitalClock(TeskDigitalClock &clock);
} // namespace StudioStyle
