#pragma once

#include <QObject>
#include <QString>

#include <array>
#include <functional>

#include "controlsettings.h"
#include "linkstate.h"

class ControlCenter;
class CueFile;
class ControlListener;
class MeterLink;
class MqttRemote;
class WebRemote;
class SecondTicker;
class TallyLamp;
class TeskAnalogClock;
class TeskPPMMeter;
class TimeSyncWatch;
struct ClockStatus;

// Connects the studio's control channel to the display: the clock's end
// mark, count-down ring and dots, the meter names, the time caption's sync
// state, the link mark and the levels shown.
class ControlWiring : public QObject
{
    Q_OBJECT

public:
    struct Parts
    {
        TeskAnalogClock *clock = nullptr;
        SecondTicker *ticker = nullptr;
        TimeSyncWatch *timeSync = nullptr;
        std::function<std::array<float, 6>()> levelsDb;
        // Renames pair 0 to 2 as a click on its name does, and stores it.
        std::function<void(int pair, const QString &name)> rename;
        // For the web remote's metrics: packets decoded; and the tally's
        // line on its serial port.
        MeterLink *link = nullptr;
        // The ON AIR lamp; hidden while no tally source is set.
        TallyLamp *lamp = nullptr;
        // Where the clock's cues are kept across a restart; empty: nowhere.
        QString cuesPath;
        // The wall's meters all draw as this one does; the web remote's page
        // takes its scale and colours from it. None: the page has no scale.
        const TeskPPMMeter *meter = nullptr;
    };

    explicit ControlWiring(const Parts &parts, QObject *parent = nullptr);
    ~ControlWiring() override;

    // Opens (or opens again) the channel for these settings.
    void apply(const ControlSettings &settings);
    // The settings last applied.
    const ControlSettings &settings() const { return m_applied; }

    // What the display shows, told to the state.
    void setNames(const std::array<QString, 3> &names);
    void setLinkState(LinkState state, const QString &where, const QString &reason, bool data);
    // What lights the ON AIR lamp, as tally_source gives it: the lamp, the
    // tally commands and the link's line follow it.
    void setTallySource(const QString &setting);

    ControlCenter &center() { return *m_center; }
    ControlListener &listener() { return *m_listener; }
    WebRemote &web() { return *m_web; }
    MqttRemote &mqtt() { return *m_mqtt; }

    // How the meter draws a level, as JSON for the web remote's page: the
    // range in dB, the fraction of the bar's length at each whole dB (and at
    // the ends) from the meter's own curve, the 0 dB point, and the colour
    // stops of the bar and of its background along the bar's length.
    static QByteArray meterScaleJson(const TeskPPMMeter &meter);

private:
    void clockStatusRead(const ClockStatus &status, bool warningShown);
    void channelStateChanged();
    void showTally();

    Parts m_parts;
    CueFile *m_cues = nullptr;
    ControlCenter *m_center;
    ControlListener *m_listener;
    WebRemote *m_web;
    MqttRemote *m_mqtt;
    ControlSettings m_applied;
    bool m_everApplied = false;
    bool m_applying = false;  // listen() tells its state while apply() still runs
    QString m_tallyRefusedTold;  // the tally_source value last warned of
};
