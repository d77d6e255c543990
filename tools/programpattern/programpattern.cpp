#include "programpattern.h"

#include <algorithm>
#include <cmath>

namespace {

// Talker on the programme bus: syllables of this length, grouped in phrases
// whose last syllables are a breath pause.
constexpr double kSyllableSeconds = 0.19;
constexpr int kSyllablesPerPhrase = 9;
constexpr int kPauseSyllables = 2;
constexpr double kLongPauseChance = 0.12;  // a whole phrase without speech
constexpr double kPeakChance = 0.06;       // a syllable that peaks at 0 .. +3 dB
constexpr double kRoomToneDb = -46.0;

// Music on the sub bus: 120 beats per minute.
constexpr double kBeatSeconds = 0.5;
constexpr double kMusicPeakChance = 0.04;

// The control-room monitor is metered this much below the programme.
constexpr double kMonitorOffsetDb = -4.0;

// Time wraps after about 31 years of packets, a multiple of the sweep
// period, so syllable and beat numbers always fit their integer type.
constexpr double kWrapSeconds = 1.0e9;

// Distinct random streams, so talker, music and jitter never share numbers.
enum Stream : int {
    ProgSyllable = 1, ProgPeak, ProgPhrase, ProgBalance,
    Beat, BeatPeak, BeatBalance, Section, Jitter,
};

std::uint64_t splitMix(std::uint64_t x)
{
    x += 0x9E3779B97F4A7C15ull;
    x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ull;
    x = (x ^ (x >> 27)) * 0x94D049BB133111EBull;
    return x ^ (x >> 31);
}

double clampDb(double db)
{
    if (std::isnan(db))
        return ProgramPattern::kMinDb;
    return std::clamp(db, ProgramPattern::kMinDb, ProgramPattern::kMaxDb);
}

} // namespace

ProgramPattern::ProgramPattern(Kind kind, double rate, std::uint64_t seed, double steadyDb)
    : m_kind(kind),
      m_rate(std::isfinite(rate) && rate >= kMinRate ? rate : kDefaultRate),
      m_seed(seed),
      m_steadyDb(clampDb(steadyDb))
{
}

// A number in [0, 1) that depends only on the seed, the stream and the index.
double ProgramPattern::unit(int stream, std::uint64_t index) const
{
    const std::uint64_t h = splitMix(splitMix(m_seed ^ (std::uint64_t(stream) << 56)) ^ index);
    return double(h >> 11) * 0x1.0p-53;
}

double ProgramPattern::jitter(std::uint64_t n, int channel, double amount) const
{
    return (2.0 * unit(Jitter, n * 8u + std::uint64_t(channel)) - 1.0) * amount;
}

double ProgramPattern::talker(double t, double *balance) const
{
    const double position = t / kSyllableSeconds;
    const auto syllable = std::uint64_t(position);
    const double u = position - std::floor(position);
    const std::uint64_t phrase = syllable / kSyllablesPerPhrase;
    const auto inPhrase = int(syllable % kSyllablesPerPhrase);

    *balance = 4.0 * unit(ProgBalance, phrase) - 2.0;
    const bool longPause = unit(ProgPhrase, phrase) < kLongPauseChance;
    if (longPause || inPhrase >= kSyllablesPerPhrase - kPauseSyllables)
        return kRoomToneDb;

    double peak = -20.0 + 14.0 * unit(ProgSyllable, syllable);
    if (unit(ProgPeak, syllable) < kPeakChance)
        peak = 3.0 * unit(ProgPeak, syllable + 0x5000000000000000ull);
    // Fast rise over the first 15% of the syllable, then a slower fall.
    constexpr double attack = 0.15;
    if (u < attack)
        return peak - 18.0 * (1.0 - u / attack);
    return peak - 14.0 * (u - attack) / (1.0 - attack);
}

double ProgramPattern::music(double t, double *balance) const
{
    const double position = t / kBeatSeconds;
    const auto beat = std::uint64_t(position);
    const double v = position - std::floor(position);
    // Louder and quieter sections of 32 beats.
    const double section = 6.0 * unit(Section, beat / 32u) - 3.0;
    double accent = -16.0 + 8.0 * unit(Beat, beat) + section;
    if (unit(BeatPeak, beat) < kMusicPeakChance)
        accent = 2.0 * unit(BeatPeak, beat + 0x5000000000000000ull);
    *balance = 3.0 * unit(BeatBalance, beat) - 1.5;
    return accent - 6.0 * v;
}

MeterPacket::Levels ProgramPattern::levelsAt(std::uint64_t n) const
{
    MeterPacket::Levels levels;
    const double t = std::fmod(double(n) / m_rate, kWrapSeconds);
    switch (m_kind) {
    case Kind::Silence:
        levels.fill(kMinDb);
        break;
    case Kind::Steady:
        levels.fill(m_steadyDb);
        break;
    case Kind::Sweep: {
        const double half = kSweepPeriodSeconds / 2.0;
        const double phase = std::fmod(t, kSweepPeriodSeconds);
        const double rise = phase <= half ? phase / half : (kSweepPeriodSeconds - phase) / half;
        levels.fill(kMinDb + rise * (kSweepTopDb - kMinDb));
        break;
    }
    case Kind::Program: {
        double progBalance = 0.0;
        double subBalance = 0.0;
        const double prog = talker(t, &progBalance);
        const double sub = music(t, &subBalance);
        levels[0] = prog - progBalance / 2.0 + jitter(n, 0, 1.0);
        levels[1] = prog + progBalance / 2.0 + jitter(n, 1, 1.0);
        levels[2] = sub - subBalance / 2.0 + jitter(n, 2, 0.8);
        levels[3] = sub + subBalance / 2.0 + jitter(n, 3, 0.8);
        levels[4] = levels[0] + kMonitorOffsetDb + jitter(n, 4, 0.5);
        levels[5] = levels[1] + kMonitorOffsetDb + jitter(n, 5, 0.5);
        break;
    }
    }
    for (double &level : levels)
        level = clampDb(level);
    return levels;
}

MeterPacket::Words ProgramPattern::wordsAt(std::uint64_t n) const
{
    const MeterPacket::Levels levels = levelsAt(n);
    MeterPacket::Words words;
    for (std::size_t i = 0; i < levels.size(); ++i)
        words[i] = MeterPacket::dbToWord(levels[i]);
    return words;
}
