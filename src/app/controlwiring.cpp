#include "controlwiring.h"

#include <QColor>
#include <QHostInfo>
#include <QElapsedTimer>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <cmath>

#include "controlcenter.h"
#include "controllistener.h"
#include "controllogging.h"
#include "cuefile.h"
#include "hostlookup.h"
#include "meterlink.h"
#include "meterscale.h"
#include "mqttremote.h"
#include "secondticker.h"
#include "settingsstore.h"
#include "tallyline.h"
#include "threadwake.h"
#include "tallylamp.h"
#include "teskanalogclock.h"
#include "teskppmmeter.h"
#include "timesyncwatch.h"
#include "version.h"
#include "webremote.h"

namespace {

WebRequest::Outcome webOutcome(ControlCenter::Outcome outcome)
{
    switch (outcome) {
    case ControlCenter::Outcome::Done: return WebRequest::Outcome::Done;
    case ControlCenter::Outcome::Status: return WebRequest::Outcome::Status;
    case ControlCenter::Outcome::Refused: return WebRequest::Outcome::Refused;
    case ControlCenter::Outcome::NotAllowed: return WebRequest::Outcome::NotAllowed;
    case ControlCenter::Outcome::Busy: return WebRequest::Outcome::Busy;
    }
    return WebRequest::Outcome::Unavailable;
}

// CSS's #rrggbb, with the alpha after it when the colour is not opaque.
QString cssColour(const QColor &c)
{
    QString text = c.name(QColor::HexRgb);
    if (c.alpha() != 255)
        text += QStringLiteral("%1").arg(c.alpha(), 2, 16, QLatin1Char('0'));
    return text;
}

QJsonArray stop(double at, const QColor &colour) { return QJsonArray{at, cssColour(colour)}; }

// The colours along a bar from its foot (0) to its top (1), as the meter
// paints them: a shaded part is the low colour up to half the height, then
// shades to the high one at the top; an unshaded one changes at 0 dB.
QJsonArray colourStops(bool shaded, double zero, const QColor &low, const QColor &high)
{
    if (shaded)
        return QJsonArray{stop(0, low), stop(0.5, low), stop(1, high)};
    return QJsonArray{stop(0, low), stop(zero, low), stop(zero, high), stop(1, high)};
}

}  // namespace

QByteArray ControlWiring::meterScaleJson(const TeskPPMMeter &meter)
{
    const MeterScale::Range range = MeterScale::makeRange(meter.MindBPosition(), meter.MaxdBPosition());
    if (!MeterScale::isUsable(range))
        return {};
    // The meter's own pixel heights, on a bar tall enough that its whole
    // pixels are exact to a millionth. Whole dB steps are fine enough for
    // straight lines in between: on the DIN curve the largest gap to the
    // curve, at the top, is 10^-4 of the length.
    constexpr int kLength = 1000000;
    const auto heights = [&](double db) {
        return meter.DINCurve() ? MeterScale::dinHeights(db, kLength, range)
                                : MeterScale::linearHeights(db, kLength, range);
    };
    QJsonArray points;
    for (double db = range.minDb;; db = std::floor(db) + 1.0) {
        db = std::min(db, range.maxDb);
        points.append(QJsonArray{db, double(heights(db).bar) / kLength});
        if (db >= range.maxDb)
            break;
    }
    const double zero = double(heights(0.0).zero) / kLength;
    QJsonObject o;
    o.insert(QStringLiteral("min_db"), range.minDb);
    o.insert(QStringLiteral("max_db"), range.maxDb);
    o.insert(QStringLiteral("zero"), zero);
    o.insert(QStringLiteral("points"), points);
    o.insert(QStringLiteral("bar"),
             colourStops(meter.GradientForground(), zero, meter.MinColor(), meter.MaxColor()));
    o.insert(QStringLiteral("background"), colourStops(meter.GradientBackground(), zero,
                                                       meter.MinBackgroundColor(), meter.MaxBackgroundColor()));
    return QJsonDocument(o).toJson(QJsonDocument::Compact);
}

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
    connect(m_listener, &ControlListener::stateChanged, this, &ControlWiring::channelStateChanged);
    ControlCenter *center = m_center;
    m_web = new WebRemote(
        [center](const QByteArray &line, const QHostAddress &sender, bool authorised) {
            const ControlCenter::Reply r = center->run(line, sender, authorised);
            return WebRequest::CommandResult{webOutcome(r.outcome), r.text};
        },
        this);
    connect(m_center, &ControlCenter::stateChanged, m_web, [this] { m_web->setState(m_center->statusJson()); });
    // The building's broker: commands from its topics, the state (without
    // the levels) retained. libmosquitto's thread wakes this one.
    m_mqtt = new MqttRemote(
        [center](const QByteArray &line, const QString &from) { return center->runTrusted(line, from).text; }, this);
    auto *mqttWake = new ThreadWake(this);
    connect(mqttWake, &ThreadWake::woken, m_mqtt, &MqttRemote::take);
    m_mqtt->setWake([mqttWake] { mqttWake->wake(); });
    m_mqtt->setIdentity(QHostInfo::localHostName(), settingsInstance());
    connect(m_center, &ControlCenter::stateChanged, m_mqtt, [this] { m_mqtt->setState(m_center->statusJson(false)); });
    // The broker's name is looked up on a thread of the link's, as the link's
    // own hosts are.
    auto *brokerLookup = new HostLookup(this);
    connect(m_mqtt, &MqttRemote::lookupWanted, brokerLookup, &HostLookup::start);
    connect(brokerLookup, &HostLookup::finished, m_mqtt, [this](const QHostInfo &info) {
        QStringList addresses;
        for (const QHostAddress &a : info.addresses())
            addresses << a.toString();
        m_mqtt->lookedUp(info.hostName(), addresses, info.error() == QHostInfo::NoError ? QString() : info.errorString());
    });
    connect(m_mqtt, &MqttRemote::stateChanged, m_center, [this] {
        m_center->setMqttState(m_mqtt->stateWord(), m_mqtt->reason(), m_mqtt->displayId());
    });
    m_web->setStateSource([center] { return center->statusJson(); });
    m_web->setLevelsSource(parts.levelsDb);
    if (parts.meter)
        m_web->setMeterScale(meterScaleJson(*parts.meter));
    const MeterLink *link = parts.link;
    const ControlListener *listener = m_listener;
    // Sampled once a second: the time of the last packet is known to the
    // second, without a look at every packet.
    m_web->setCountersSource([link, listener, last = quint64(0), since = QElapsedTimer()]() mutable {
        WebRequest::Counters c;
        c.repliesDropped = listener->repliesDropped();
        if (!link)
            return c;
        c.packetsDecoded = link->packetsDecoded();
        if (c.packetsDecoded != last) {
            last = c.packetsDecoded;
            since.start();
        }
        c.secondsSinceLastPacket = since.isValid() ? since.elapsed() / 1000.0 : -1;
        return c;
    });

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
    if (TallyLamp *lamp = parts.lamp) {
        lamp->setTicker(ticker);
        connect(m_center, &ControlCenter::tallyChanged, this, &ControlWiring::showTally);
        showTally();
    }
    if (MeterLink *link = parts.link) {
        connect(&link->tallyLine(), &TallyLine::changed, m_center, [this, link](bool known, bool on) {
            m_center->setTallyProblem(link->tallyLine().problem());
            m_center->setTallyLine(known, on);
        });
    }
    if (!parts.cuesPath.isEmpty()) {
        m_cues = new CueFile(parts.cuesPath);
        if (const auto kept = m_cues->read())
            m_center->restoreCues(*kept);
        // Every change of the state is looked at; the file is written only
        // when a cue changed.
        connect(m_center, &ControlCenter::stateChanged, this, [this] { m_cues->write(m_center->cues()); });
    }
    if (parts.timeSync) {
        connect(parts.timeSync, &TimeSyncWatch::statusRead, this, &ControlWiring::clockStatusRead);
        // The watch read the clock as it was made; one more reading fills
        // the state now rather than in ten seconds.
        parts.timeSync->check();
    }
}

ControlWiring::~ControlWiring()
{
    // Offline, said before anything else goes; nothing hears of it any more
    // (the clock the state reads may be gone already).
    m_mqtt->disconnect();
    m_mqtt->stop();
    delete m_cues;
}

void ControlWiring::apply(const ControlSettings &settings)
{
    if (m_everApplied && settings == m_applied)
        return;
    const bool reopen = !m_everApplied || settings.port != m_applied.port || settings.bind != m_applied.bind;
    m_center->setAllowList(settings.allow);
    m_applied = settings;
    m_everApplied = true;
    if (reopen) {
        m_applying = true;
        m_listener->listen(settings);
        m_applying = false;
    }
    // The web remote shares the port (TCP beside UDP) and its checks: where
    // the listener has said why the channel is off, the web stays off too.
    const QHostAddress bind(settings.bind.trimmed());
    if (settings.port <= 0 || settings.port > 65535 || bind.isNull())
        m_web->stop();
    else if (reopen || settings.token.toUtf8() != m_web->token() || !m_web->isListening())
        m_web->start(bind, quint16(settings.port), settings.token.toUtf8());
    m_web->setState(m_center->statusJson());
    m_mqtt->apply(settings);
    m_mqtt->setState(m_center->statusJson(false));
}

void ControlWiring::channelStateChanged()
{
    m_center->setChannelState(m_listener->stateWord(), m_listener->reason());
    // An address that came late: the web remote shares it, and comes too.
    if (!m_applying && m_listener->state() == ControlListener::State::Listening && !m_web->isListening()) {
        const QHostAddress bind(m_applied.bind.trimmed());
        m_web->start(bind, quint16(m_applied.port), m_applied.token.toUtf8());
        m_web->setState(m_center->statusJson());
    }
}

void ControlWiring::setNames(const std::array<QString, 3> &names) { m_center->setNames(names); }

void ControlWiring::setLinkState(LinkState state, const QString &where, const QString &reason, bool data)
{
    const QString word = state == LinkState::Live     ? QStringLiteral("fine")
                         : state == LinkState::Silent ? QStringLiteral("silent")
                                                      : QStringLiteral("problem");
    m_center->setLinkState(word, state == LinkState::Live ? QString() : linkStateTooltip(state, where, reason), data);
}

void ControlWiring::setTallySource(const QString &setting)
{
    const ParsedTallySource parsed = parseTallySource(setting);
    if (!parsed.ok && setting != m_tallyRefusedTold)
        qCWarning(lcControl).noquote() << LUMORA_KEY_TALLY_SOURCE ":" << logText(setting) << parsed.error
                                       << "- no ON AIR lamp is shown until it names one";
    m_tallyRefusedTold = parsed.ok ? QString() : setting;
    const TallySource &source = parsed.source;
    if (m_parts.link)
        m_parts.link->tallyLine().setSource(source);
    const ControlCenter::TallyMode mode = source.kind == TallySource::Kind::Line      ? ControlCenter::TallyMode::Line
                                          : source.kind == TallySource::Kind::Control ? ControlCenter::TallyMode::Control
                                                                                      : ControlCenter::TallyMode::None;
    m_center->setTallySource(mode, source.name, QStringLiteral(LUMORA_KEY_TALLY_SOURCE));
    // A line already read counts at once.
    if (m_parts.link && mode == ControlCenter::TallyMode::Line) {
        m_center->setTallyProblem(m_parts.link->tallyLine().problem());
        m_center->setTallyLine(m_parts.link->tallyLine().isKnown(), m_parts.link->tallyLine().isOn());
    }
}

void ControlWiring::showTally()
{
    TallyLamp *lamp = m_parts.lamp;
    if (!lamp)
        return;
    lamp->setVisible(m_center->tallyMode() != ControlCenter::TallyMode::None);
    lamp->setText(m_center->tallyText());
    const qint64 since = m_center->tallySinceMs();
    lamp->setSince(since > 0 ? QDateTime::fromMSecsSinceEpoch(since) : QDateTime());
    lamp->setOn(m_center->tallyOn());
}

void ControlWiring::clockStatusRead(const ClockStatus &status, bool)
{
    // What the kernel says, from the first reading: the caption waits a
    // minute before it warns, so a short loss does not flash on the wall,
    // but the monitoring wants the truth at once.
    const QString sync = status.sync == ClockStatus::Synchronised     ? QStringLiteral("synced")
                         : status.sync == ClockStatus::Unsynchronised ? QStringLiteral("unsynced")
                                                                      : QStringLiteral("unknown");
    m_center->setClockSync(sync, status.maximumErrorUs < 0 ? -1.0 : double(status.maximumErrorUs) / 1000.0);
}
