#pragma once

#include <QObject>

#include <array>

#include "meterpacket.h"
#include "meterrelease.h"

class QTimer;
class TeskPPMMeter;

// Moves the six meters towards their targets: up at once, down by at most
// one step per 10 ms tick. The tick rests while no meter can move and wakes
// when a target changes, so a steady screen costs no wake-ups.
class ReleaseClock : public QObject
{
    Q_OBJECT

public:
    using Meters = std::array<TeskPPMMeter *, MeterPacket::kChannels>;

    // The meters in packet order. The tick does not run until start().
    explicit ReleaseClock(const Meters &meters, QObject *parent = nullptr);

    void start();

    // New targets, as a packet brings them.
    void setTargets(const MeterPacket::Levels &levels);
    // All targets to the floor: a rebuilt link, or a link gone silent.
    void dropToFloor();

    // One release tick over the six meters.
    void tick();

    const MeterPacket::Levels &targets() const { return meterLevels; }
    bool isTicking() const;

private:
    void wake();

    Meters m_meters;
    QTimer *releaseTimer = nullptr;
    MeterPacket::Levels meterLevels;
    double releaseStep = MeterRelease::kStepDb;
    int releaseInterval = MeterRelease::kIntervalMs;
    bool m_started = false;
};
