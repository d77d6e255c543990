#include "controlwiring.h"

#include "controlcenter.h"
#include "controllistener.h"
#include "secondticker.h"
#include "settingsstore.h"
#include "teskanalogclock.h"
#include "timesyncwatch.h"
#include "version.h"

ControlWiring::ControlWiring(const Parts &parts, QObject *parent)
    : QObject(parent)
    , m_parts(parts)
{
    // The ring reads the same instant as the clocks' faces, so it shrinks in
    // the frame that shows the new second.
    SecondTicker *ticker = parts.ticker;
    ControlCenter::WallClock wall;
    if (ticker)
        wall = [ticker] { return ticker->now().toMSecsSinceEpoch(); };
    m_center = new ControlCenter(this, wall);
    m_listener = new ControlListener(m_center, this);

    m_center->setVersion(QStringLiteral("%1.%2").arg(LumoraVersion::kMajor).arg(LumoraVersion::kMinor));
    m_center->setInstance(settingsInstance());
    m_center->setLevelsSource(parts.levelsDb);

    if (TeskAnalogClock *clock = parts.clock) {
        connect(m_center, &ControlCenter::endMarkChanged, clock, [clock](bool on, int hour, int minute, int second) {
            clock->setEndTimeHour(hour);
            clock->setEndTimeMinute(minute);
            clock->setEndTimeSecond(second);
            clock->setEndTime(on);
        });
        connect(m_center, &ControlCenter::ringChanged, clock, &TeskAnalogClock::setCountDownTime);
        connect(m_center, &ControlCenter::dotsChanged, clock, &TeskAnalogClock::setSecondDotsCountDown);
    }
    if (ticker)
        connect(ticker, &SecondTicker::tick, m_center, &ControlCenter::secondTicked);
    if (parts.rename)
        connect(m_center, &ControlCenter::nameChanged, this, [this](int pair, const QString &name) { m_parts.rename(pair, name); });
    if (parts.timeSync) {
        connect(parts.timeSync, &TimeSyncWatch::statusRead, this, &ControlWiring::clockStatusRead);
        // The watch read the clock as it was made; one more reading fills
        // the state now rather than in ten seconds.
        parts.timeSync->check();
    }
}

void ControlWiring::apply(const ControlSettings &settings)
{
    if (m_everApplied && settings == m_applied)
        return;
    const bool reopen = !m_everApplied || settings.port != m_applied.port || settings.bind != m_applied.bind;
    m_center->setAllowList(settings.allow);
    m_applied = settings;
    m_everApplied = true;
    if (reopen)
        m_listener->listen(settings);
}

void ControlWiring::setNames(const std::array<QString, 3> &names) { m_center->setNames(names); }

void ControlWiring::setLinkState(LinkState state, const QString &where, const QString &reason)
{
    const QString word = state == LinkState::Live     ? QStringLiteral("fine")
                         : state == LinkState::Silent ? QStringLiteral("silent")
                                                      : QStringLiteral("problem");
    m_center->setLinkState(word, state == LinkState::Live ? QString() : linkStateTooltip(state, where, reason));
}

void ControlWiring::clockStatusRead(const ClockStatus &status, bool warningShown)
{
    // As the caption decides: amber means unsynchronised; a reading the
    // kernel cannot give is unknown; anything else reads as in sync.
    const QString sync = warningShown                             ? QStringLiteral("unsynced")
                         : status.sync == ClockStatus::Unknown     ? QStringLiteral("unknown")
                                                                   : QStringLiteral("synced");
    m_center->setClockSync(sync, status.maximumErrorUs < 0 ? -1.0 : double(status.maximumErrorUs) / 1000.0);
}
