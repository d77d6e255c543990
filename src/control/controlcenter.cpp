#include "controlcenter.h"

#include <QDateTime>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <cmath>

#include "controllogging.h"
#include "controlsettings.h"

namespace {

constexpr qint64 kDayMs = 86400 * 1000;
constexpr qint64 kMaxRingTenths = 864000;
constexpr qint64 kOnceShownMs = 3600 * 1000;  // a one-shot end mark shows from the hour before it

QByteArray err(const QString &sentence) { return "ERR " + sentence.toUtf8(); }

QString twoDigits(int v) { return QStringLiteral("%1").arg(v, 2, 10, QLatin1Char('0')); }

// The next instant, after nowMs, at which the local clock shows h:m:s.
qint64 nextLocalTime(qint64 nowMs, int h, int m, int s)
{
    const QDateTime now = QDateTime::fromMSecsSinceEpoch(nowMs);
    const QTime at(h, m, s);
    for (int day = 0; day < 3; ++day) {
        const QDateTime candidate(now.date().addDays(day), at);
        if (candidate.isValid() && candidate.toMSecsSinceEpoch() > nowMs)
            return candidate.toMSecsSinceEpoch();
    }
    return nowMs + kDayMs;  // a time the zone skips three days running: cannot happen
}

// An instant as ISO 8601 in local time with its offset from UTC, to the
// second ("2026-12-09T17:30:00+01:00") or to the ms (".500" before the offset).
QString isoWithOffset(qint64 ms, bool withMs = false)
{
    QDateTime local = QDateTime::fromMSecsSinceEpoch(withMs ? ms : ms - ms % 1000);
    local.setOffsetFromUtc(local.offsetFromUtc());
    return local.toString(withMs ? Qt::ISODateWithMs : Qt::ISODate);
}

} // namespace

ControlCenter::ControlCenter(QObject *parent, WallClock clock)
    : QObject(parent)
    , m_wallClock(std::move(clock))
    , m_allow(AllowList::parse(QString::fromLatin1(AllowList::kDefault)))
{
    m_monotonic.start();
    m_startedMs = now();
}

qint64 ControlCenter::now() const
{
    return m_wallClock ? m_wallClock() : QDateTime::currentMSecsSinceEpoch();
}

void ControlCenter::setAllowList(const QString &controlAllow)
{
    QStringList rejected;
    m_allow = AllowList::parse(controlAllow, &rejected);
    if (!rejected.isEmpty())
        qCWarning(lcControl).noquote()
            << LUMORA_KEY_CONTROL_ALLOW ": left out" << logText(rejected.join(QStringLiteral(", ")))
            << "- each entry must be an IPv4 address or range such as 10.20.0.0/16";
    if (m_allow.isEmpty())
        qCWarning(lcControl).noquote()
            << LUMORA_KEY_CONTROL_ALLOW " names no valid address: no one may send commands (status and ping still answer)";
}

// The sender as the log and the replies show it: the IPv4 form of a
// mapped address.
static QString shownSender(const QHostAddress &sender)
{
    quint32 ipv4 = 0;
    return senderIPv4(sender, ipv4) ? QHostAddress(ipv4).toString() : sender.toString();
}

bool ControlCenter::trusted(const QHostAddress &sender, bool authorised) const
{
    return authorised || m_allow.allows(sender);
}

bool ControlCenter::take(const QHostAddress &sender, bool authorised)
{
    return m_rate.take(shownSender(sender), trusted(sender, authorised), m_monotonic.elapsed());
}

bool ControlCenter::busyReplyDue(const QHostAddress &sender, bool authorised)
{
    return m_rate.busyReplyDue(shownSender(sender), trusted(sender, authorised), m_monotonic.elapsed());
}

ControlCenter::Reply ControlCenter::run(const QByteArray &line, const QHostAddress &sender, bool authorised)
{
    if (!take(sender, authorised))
        return {Outcome::Busy, "ERR busy"};
    return runTaken(line, sender, authorised);
}

ControlCenter::Reply ControlCenter::runTrusted(const QByteArray &line, const QString &from)
{
    return runTaken(line, QHostAddress(), true, from);
}

ControlCenter::Reply ControlCenter::runTaken(const QByteArray &line, const QHostAddress &sender, bool authorised)
{
    return runTaken(line, sender, authorised, shownSender(sender));
}

ControlCenter::Reply ControlCenter::runTaken(const QByteArray &line, const QHostAddress &sender, bool authorised,
                                             const QString &shown)
{
    const qint64 monotonicMs = m_monotonic.elapsed();
    const ParsedCommand parsed = parseControlCommand(line);
    if (!parsed.ok)
        return {Outcome::Refused, err(parsed.error)};
    const ControlCommand &c = parsed.command;
    if (c.kind == ControlCommand::Kind::Ping)
        return {Outcome::Done, "OK"};
    if (c.kind == ControlCommand::Kind::Status)
        return {Outcome::Status, statusJson()};

    if (!trusted(sender, authorised)) {
        tellRefusals(monotonicMs);
        if (m_refusals.note(shown, monotonicMs))
            qCWarning(lcControl).noquote()
                << "refused a command from" << shown << "- not in " LUMORA_KEY_CONTROL_ALLOW "; add its address or"
                << "range to " LUMORA_KEY_CONTROL_ALLOW " to let it send commands (further refusals are counted and"
                << "told once a minute)";
        return {Outcome::NotAllowed, "ERR not allowed from " + shown.toUtf8()};
    }

    // Checks that need the state come before anything changes.
    if (c.kind == ControlCommand::Kind::RingAdd) {
        if (!m_ringRunning)
            return {Outcome::Refused, "ERR ring add: no count-down is running"};
        const qint64 left = m_ringDeadlineMs - now() + qint64(c.tenths) * 100;
        if (left > kMaxRingTenths * 100)
            return {Outcome::Refused, "ERR ring add: the count-down would pass 86400 seconds"};
    }
    const QByteArray tallyRefused = tallyRefusal(c);
    if (!tallyRefused.isEmpty())
        return {Outcome::Refused, tallyRefused};

    QByteArray logged = line;
    while (logged.endsWith('\n') || logged.endsWith('\r'))
        logged.chop(1);
    qCInfo(lcControl).noquote() << QStringLiteral("command from %1: %2").arg(shown, logText(logged));
    apply(c);
    emit stateChanged();
    return {Outcome::Done, "OK"};
}

void ControlCenter::apply(const ControlCommand &c)
{
    using Kind = ControlCommand::Kind;
    const qint64 t = now();
    switch (c.kind) {
    case Kind::EndMarkDaily:
        setEndMark(EndDaily, c.hour, c.minute, c.second);
        break;
    case Kind::EndMarkHourly:
        setEndMark(EndHourly, 24, c.minute, c.second);
        break;
    case Kind::EndMarkIn:
        // To the second: the marker lands on a whole second of the clock.
        setOnceMark(((t + qint64(c.seconds) * 1000 + 500) / 1000) * 1000, t);
        break;
    case Kind::EndMarkAt:
        setOnceMark(nextLocalTime(t, c.hour, c.minute, c.second), t);
        break;
    case Kind::EndMarkOff:
        setEndMark(EndOff, m_endHour, m_endMinute, m_endSecond);
        break;
    case Kind::Ring:
        m_ringRunning = true;
        m_ringDeadlineMs = t + c.tenths * 100;
        showRing(t);
        break;
    case Kind::RingAt:
        m_ringRunning = true;
        m_ringDeadlineMs = nextLocalTime(t, c.hour, c.minute, c.second);
        showRing(t);
        break;
    case Kind::RingAdd:
        m_ringDeadlineMs += c.tenths * 100;
        showRing(t);
        break;
    case Kind::RingOff:
        m_ringRunning = false;
        showRing(t);
        break;
    case Kind::DotsCountDown:
    case Kind::DotsNormal:
        m_dotsCountDown = c.kind == Kind::DotsCountDown;
        emit dotsChanged(m_dotsCountDown);
        break;
    case Kind::Name:
        m_names[size_t(c.pair)] = c.text;
        emit nameChanged(c.pair, c.text);
        break;
    case Kind::TallyOn:
    case Kind::TallyText:
        if (!c.text.isEmpty())
            m_tallyText = c.text;
        if (c.kind == Kind::TallyOn)
            switchTally(true, t);
        emit tallyChanged();
        break;
    case Kind::TallyOff:
        switchTally(false, t);
        emit tallyChanged();
        break;
    case Kind::Status:
    case Kind::Ping:
        break;
    }
}

ControlCenter::Cues ControlCenter::cues() const
{
    Cues c;
    c.endMode = m_endMode;
    c.hour = m_endHour;
    c.minute = m_endMinute;
    c.second = m_endSecond;
    c.onceAtMs = m_endMode == EndOnce ? m_endOnceMs : 0;
    c.ringEndMs = m_ringRunning ? m_ringDeadlineMs : 0;
    c.dotsCountDown = m_dotsCountDown;
    c.tallyOn = m_tallySwitchedOn;
    c.tallyText = m_tallyText;
    c.tallySinceMs = m_tallySwitchedOn ? m_tallySinceMs : 0;
    return c;
}

void ControlCenter::restoreCues(const Cues &c)
{
    const qint64 t = now();
    const bool timeInRange = c.minute >= 0 && c.minute <= 59 && c.second >= 0 && c.second <= 59
                             && c.hour >= 0 && c.hour <= (c.endMode == EndHourly ? 24 : 23);
    if (c.endMode == EndOnce && c.onceAtMs > t && c.onceAtMs - t <= kDayMs)
        setOnceMark(c.onceAtMs, t);
    else if ((c.endMode == EndDaily || c.endMode == EndHourly) && timeInRange)
        setEndMark(c.endMode, c.endMode == EndHourly ? 24 : c.hour, c.minute, c.second);
    if (c.ringEndMs > t && c.ringEndMs - t <= kMaxRingTenths * 100) {
        m_ringRunning = true;
        m_ringDeadlineMs = c.ringEndMs;
        showRing(t);
    }
    if (c.dotsCountDown != m_dotsCountDown) {
        m_dotsCountDown = c.dotsCountDown;
        emit dotsChanged(m_dotsCountDown);
    }
    // The lamp as it was, with its time on air; a time still to come (the
    // clock was set back) counts from now. A text the commands would not
    // take is not shown.
    const QString text = c.tallyText.trimmed();
    if (!text.isEmpty() && text.toUcs4().size() <= ControlCommand::kMaxTallyChars)
        m_tallyText = text;
    m_tallySwitchedOn = c.tallyOn;
    m_tallySinceMs = c.tallyOn ? (c.tallySinceMs > 0 && c.tallySinceMs <= t ? c.tallySinceMs : t) : 0;
    emit tallyChanged();
    emit stateChanged();
}

QByteArray ControlCenter::tallyRefusal(const ControlCommand &c) const
{
    using Kind = ControlCommand::Kind;
    if (c.kind != Kind::TallyOn && c.kind != Kind::TallyOff && c.kind != Kind::TallyText)
        return {};
    if (m_tallyMode == TallyMode::None)
        return err(QStringLiteral("tally: no %1 is set").arg(m_tallyKey));
    if (m_tallyMode == TallyMode::Line && c.kind != Kind::TallyText)
        return err(QStringLiteral("tally: the %1 line switches the lamp (%2=%1); tally text TEXT sets its text")
                       .arg(m_tallySource, m_tallyKey));
    return {};
}

void ControlCenter::switchTally(bool on, qint64 nowMs)
{
    if (on == m_tallySwitchedOn)
        return;
    m_tallySwitchedOn = on;
    m_tallySinceMs = on ? nowMs : 0;
}

void ControlCenter::setTallySource(TallyMode mode, const QString &name, const QString &key)
{
    m_tallyKey = key;
    if (mode == m_tallyMode && name == m_tallySource)
        return;
    m_tallyMode = mode;
    m_tallySource = name;
    m_tallyLineKnown = false;
    emit tallyChanged();
    emit stateChanged();
}

void ControlCenter::setTallyLine(bool known, bool on)
{
    if (m_tallyMode != TallyMode::Line)
        return;
    const bool wasOn = tallyOn();
    const qint64 since = m_tallySinceMs;
    m_tallyLineKnown = known;
    if (known)
        switchTally(on, now());
    if (tallyOn() == wasOn && m_tallySinceMs == since)
        return;
    emit tallyChanged();
    emit stateChanged();
}

void ControlCenter::setTallyProblem(const QString &problem)
{
    if (problem == m_tallyProblem)
        return;
    m_tallyProblem = problem;
    emit stateChanged();
}

bool ControlCenter::tallyOn() const
{
    return m_tallySwitchedOn
        && (m_tallyMode == TallyMode::Control || (m_tallyMode == TallyMode::Line && m_tallyLineKnown));
}

void ControlCenter::setOnceMark(qint64 atMs, qint64 nowMs)
{
    const QTime time = QDateTime::fromMSecsSinceEpoch(atMs).time();
    m_endOnceMs = atMs;
    m_endOnceShown = false;
    m_endMode = EndOnce;
    m_endHour = time.hour();
    m_endMinute = time.minute();
    m_endSecond = time.second();
    // Off the dial until the hour before it, so its minute cannot be read
    // as an earlier hour's.
    emit endMarkChanged(false, m_endHour, m_endMinute, m_endSecond);
    followOnceMark(nowMs);
}

bool ControlCenter::followOnceMark(qint64 nowMs)
{
    if (m_endMode != EndOnce)
        return false;
    if (nowMs >= m_endOnceMs) {
        setEndMark(EndOff, m_endHour, m_endMinute, m_endSecond);
        return true;
    }
    const bool shown = nowMs >= m_endOnceMs - kOnceShownMs;
    if (shown != m_endOnceShown) {
        m_endOnceShown = shown;
        emit endMarkChanged(shown, m_endHour, m_endMinute, m_endSecond);
    }
    return false;
}

void ControlCenter::setEndMark(int mode, int hour, int minute, int second)
{
    m_endMode = mode;
    m_endHour = hour;
    m_endMinute = minute;
    m_endSecond = second;
    emit endMarkChanged(mode != EndOff, hour, minute, second);
}

void ControlCenter::showRing(qint64 nowMs)
{
    float shown = 0.0f;
    if (m_ringRunning) {
        const qint64 leftMs = m_ringDeadlineMs - nowMs;
        // Tenths, as the commands give them; a count-down that has run out
        // is over, and no tick is spent on it any more.
        const qint64 tenths = (leftMs + 50) / 100;
        if (tenths <= 0)
            m_ringRunning = false;
        else
            shown = float(tenths) / 10.0f;
    }
    if (shown == m_ringShown)
        return;
    m_ringShown = shown;
    emit ringChanged(shown);
}

void ControlCenter::tellRefusals(qint64 monotonicMs)
{
    const RefusalLog::Summary s = m_refusals.due(monotonicMs);
    if (s.refusals == 0)
        return;
    qCWarning(lcControl).noquote()
        << QStringLiteral("refused %1 more command(s) in the last minute from %2%3 sender(s) not in " LUMORA_KEY_CONTROL_ALLOW ", "
                          "the last from %4; add an address or range to " LUMORA_KEY_CONTROL_ALLOW " if one of them should send "
                          "commands")
               .arg(s.refusals).arg(s.senders >= RefusalLog::kMaxSendersCounted ? QStringLiteral("at least ") : QString()).arg(s.senders)
               .arg(s.last);
}

void ControlCenter::secondTicked()
{
    tellRefusals(m_monotonic.elapsed());
    const qint64 t = now();
    const bool markPassed = followOnceMark(t);
    const bool ringWasRunning = m_ringRunning;
    if (ringWasRunning)
        showRing(t);
    if (markPassed || ringWasRunning)
        emit stateChanged();
}

float ControlCenter::ringRemaining() const { return m_ringShown; }

void ControlCenter::setVersion(const QString &version) { m_version = version; }
void ControlCenter::setInstance(const QString &instance) { m_instance = instance; }

void ControlCenter::setNames(const std::array<QString, 3> &names)
{
    if (names == m_names)
        return;
    m_names = names;
    emit stateChanged();
}

void ControlCenter::setLinkState(const QString &state, const QString &reason, bool data)
{
    if (state == m_linkState && reason == m_linkReason && data == m_linkData)
        return;
    m_linkState = state;
    m_linkReason = reason;
    m_linkData = data;
    emit stateChanged();
}

void ControlCenter::setChannelState(const QString &state, const QString &reason)
{
    if (state == m_channelState && reason == m_channelReason)
        return;
    m_channelState = state;
    m_channelReason = reason;
    emit stateChanged();
}

void ControlCenter::setClockSync(const QString &sync, double maxErrorMs)
{
    if (sync == m_sync && maxErrorMs == m_maxErrorMs)
        return;
    m_sync = sync;
    m_maxErrorMs = maxErrorMs;
    emit stateChanged();
}

void ControlCenter::setLevelsSource(std::function<std::array<float, 6>()> levelsDb)
{
    m_levels = std::move(levelsDb);
}

void ControlCenter::setMqttState(const QString &state, const QString &reason, const QString &id)
{
    if (state == m_mqttState && reason == m_mqttReason && id == m_mqttId)
        return;
    m_mqttState = state;
    m_mqttReason = reason;
    m_mqttId = id;
    emit stateChanged();
}

QByteArray ControlCenter::statusJson(bool withLevels) const
{
    const qint64 t = now();
    const QTime clock = QDateTime::fromMSecsSinceEpoch(t).time();
    const int nowS = clock.hour() * 3600 + clock.minute() * 60 + clock.second();

    // The next instant of the mark, so a client can count down by itself;
    // remaining_s is that count at the time of the state.
    QJsonObject endmark;
    if (m_endMode == EndOff) {
        endmark.insert(QStringLiteral("mode"), QStringLiteral("off"));
        endmark.insert(QStringLiteral("time"), QJsonValue());
        endmark.insert(QStringLiteral("remaining_s"), QJsonValue());
        endmark.insert(QStringLiteral("next_at"), QJsonValue());
    } else if (m_endMode == EndOnce) {
        endmark.insert(QStringLiteral("mode"), QStringLiteral("once"));
        endmark.insert(QStringLiteral("time"),
                       twoDigits(m_endHour) + QLatin1Char(':') + twoDigits(m_endMinute) + QLatin1Char(':') + twoDigits(m_endSecond));
        endmark.insert(QStringLiteral("remaining_s"), qMax<qint64>(0, (m_endOnceMs - t + 999) / 1000));
        endmark.insert(QStringLiteral("next_at"), isoWithOffset(m_endOnceMs));
    } else if (m_endMode == EndDaily) {
        int left = m_endHour * 3600 + m_endMinute * 60 + m_endSecond - nowS;
        if (left < 0)
            left += 86400;
        endmark.insert(QStringLiteral("mode"), QStringLiteral("daily"));
        endmark.insert(QStringLiteral("time"),
                       twoDigits(m_endHour) + QLatin1Char(':') + twoDigits(m_endMinute) + QLatin1Char(':') + twoDigits(m_endSecond));
        endmark.insert(QStringLiteral("remaining_s"), left);
        endmark.insert(QStringLiteral("next_at"), isoWithOffset(nextLocalTime(t - t % 1000 - 1, m_endHour, m_endMinute, m_endSecond)));
    } else {
        int left = m_endMinute * 60 + m_endSecond - (nowS % 3600);
        if (left < 0)
            left += 3600;
        endmark.insert(QStringLiteral("mode"), QStringLiteral("hourly"));
        endmark.insert(QStringLiteral("time"), twoDigits(m_endMinute) + QLatin1Char(':') + twoDigits(m_endSecond));
        endmark.insert(QStringLiteral("remaining_s"), left);
        endmark.insert(QStringLiteral("next_at"), isoWithOffset(t - t % 1000 + qint64(left) * 1000));
    }

    QJsonObject ring;
    ring.insert(QStringLiteral("remaining_s"),
                m_ringRunning ? QJsonValue(std::round(double(m_ringShown) * 10.0) / 10.0) : QJsonValue());
    ring.insert(QStringLiteral("ends_at"), m_ringRunning ? QJsonValue(isoWithOffset(m_ringDeadlineMs, true)) : QJsonValue());

    QJsonArray names;
    for (const QString &n : m_names)
        names.append(n);

    QJsonArray levels;
    if (m_levels && withLevels) {
        for (float db : m_levels())
            levels.append(std::isfinite(db) ? std::round(double(db) * 10.0) / 10.0 : -99.0);
    }

    QJsonObject clockObject;
    clockObject.insert(QStringLiteral("sync"), m_sync);
    clockObject.insert(QStringLiteral("maxerror_ms"), m_maxErrorMs < 0 ? QJsonValue() : QJsonValue(m_maxErrorMs));

    QJsonObject link;
    link.insert(QStringLiteral("state"), m_linkState);
    link.insert(QStringLiteral("reason"), m_linkReason);
    link.insert(QStringLiteral("data"), m_linkData);

    QJsonObject control;
    control.insert(QStringLiteral("state"), m_channelState);
    control.insert(QStringLiteral("reason"), m_channelReason);

    QJsonObject tally;
    const bool lit = tallyOn();
    tally.insert(QStringLiteral("source"), m_tallySource);
    tally.insert(QStringLiteral("on"), lit);
    tally.insert(QStringLiteral("text"), m_tallyText);
    tally.insert(QStringLiteral("since"), lit ? QJsonValue(isoWithOffset(m_tallySinceMs)) : QJsonValue());
    tally.insert(QStringLiteral("problem"), m_tallyMode == TallyMode::Line ? m_tallyProblem : QString());
    tally.insert(QStringLiteral("on_air_s"), lit ? QJsonValue(qMax<qint64>(0, (t - m_tallySinceMs) / 1000)) : QJsonValue());

    QJsonObject o;
    o.insert(QStringLiteral("version"), m_version);
    o.insert(QStringLiteral("started_at"), isoWithOffset(m_startedMs));
    o.insert(QStringLiteral("control"), control);
    o.insert(QStringLiteral("instance"), m_instance);
    o.insert(QStringLiteral("clock"), clockObject);
    o.insert(QStringLiteral("endmark"), endmark);
    o.insert(QStringLiteral("ring"), ring);
    o.insert(QStringLiteral("dots"), m_dotsCountDown ? QStringLiteral("countdown") : QStringLiteral("normal"));
    o.insert(QStringLiteral("names"), names);
    o.insert(QStringLiteral("link"), link);
    if (withLevels)
        o.insert(QStringLiteral("levels_db"), levels);
    QJsonObject mqtt;
    mqtt.insert(QStringLiteral("state"), m_mqttState);
    mqtt.insert(QStringLiteral("reason"), m_mqttReason);
    mqtt.insert(QStringLiteral("id"), m_mqttId);
    o.insert(QStringLiteral("mqtt"), mqtt);
    o.insert(QStringLiteral("tally"), tally);
    return QJsonDocument(o).toJson(QJsonDocument::Compact);
}
