#pragma once

#include "meterpacket.h"

#include <cstdint>

// What a mixing console's meter output looks like over time, as six levels
// in dB for packet n of a stream sent at a given rate. Each packet's levels
// are a pure function of (kind, rate, seed, n), so a stream can be replayed
// exactly and any packet computed without the ones before it.
//
// Program: the programme bus carries a talker (syllables, phrase pauses,
// now and then a peak of 0 to +3 dB), the sub bus carries music (beats, no
// pauses), and the control-room monitor follows the programme a few dB
// lower. Left and right of a bus move together with a small, slowly
// changing balance between them.
// Sweep: all six channels rise from -50 to +5 dB in 5 seconds and fall back
// in 5 seconds, over and over.
// Steady: all six channels at one level. Silence: all six at -50 dB.
class ProgramPattern
{
public:
    enum class Kind { Program, Sweep, Steady, Silence };

    static constexpr double kMinDb = MeterPacket::wordToDb(0);  // the lowest level a packet carries
    static constexpr double kMaxDb = MeterPacket::wordToDb(65535);  // the largest level a packet carries
    static constexpr double kSweepTopDb = 5.0;
    static constexpr double kSweepPeriodSeconds = 10.0;
    static constexpr double kDefaultRate = 50.0;
    static constexpr double kMinRate = 0.001;
    static constexpr double kDefaultSteadyDb = -18.0;

    // A rate below kMinRate or not finite falls back to 50 per second;
    // a steady level is clamped to what a packet can carry (NaN: the floor).
    ProgramPattern(Kind kind, double rate, std::uint64_t seed, double steadyDb = kDefaultSteadyDb);

    Kind kind() const { return m_kind; }
    double rate() const { return m_rate; }

    // The levels of packet n, each within kMinDb .. kMaxDb.
    MeterPacket::Levels levelsAt(std::uint64_t n) const;
    // The same as raw packet words.
    MeterPacket::Words wordsAt(std::uint64_t n) const;

private:
    double talker(double t, double *balance) const;
    double music(double t, double *balance) const;
    double jitter(std::uint64_t n, int channel, double amount) const;
    double unit(int stream, std::uint64_t index) const;

    Kind m_kind;
    double m_rate;
    std::uint64_t m_seed;
    double m_steadyDb;
};
