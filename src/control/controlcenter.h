#pragma once

#include <QByteArray>
#include <QElapsedTimer>
#include <QHostAddress>
#include <QObject>
#include <QString>

#include <array>
#include <functional>

#include "controlaccess.h"
#include "controlcommand.h"

// The display's side of the control channel: it runs commands, holds the
// state they set, and says what the display shows. It lives on the GUI
// thread and is not thread-safe: a transport on another thread hands its
// command lines over to the GUI thread and keeps its own copy of the state.
//
// Every transport (UDP text, OSC, HTTP, WebSocket) goes through run(), so
// the allow-list, the rate limit and the log of writes are the same for all.
class ControlCenter : public QObject
{
    Q_OBJECT

public:
    // The wall clock in ms since the epoch; the system clock unless replaced.
    using WallClock = std::function<qint64()>;

    enum class Outcome {
        Done,        // a write was applied, or a ping answered: "OK"
        Status,      // the reply is the state as one line of JSON
        Refused,     // the line is not a valid command: "ERR <sentence>"
        NotAllowed,  // a write from a sender outside the allow-list: "ERR not allowed from A.B.C.D"
        Busy,        // over the sender's rate limit: "ERR busy"
    };
    struct Reply
    {
        Outcome outcome = Outcome::Refused;
        QByteArray text;  // one line, without a line end
    };

    enum EndMode { EndOff, EndDaily, EndHourly, EndOnce };

    // What lights the ON AIR lamp: nothing (no lamp; tally commands are
    // refused), the tally commands, or a line of the serial port, which
    // switches the lamp itself (the commands may set its text).
    enum class TallyMode { None, Control, Line };
    static constexpr const char *kTallyText = "ON AIR";

    // What the clock shows for the studio, kept across a restart: the end
    // mark, the count-down's end and the dots.
    struct Cues
    {
        int endMode = EndOff;
        int hour = 0, minute = 0, second = 0;  // hour 24: every hour
        qint64 onceAtMs = 0;                   // wall clock, for EndOnce
        qint64 ringEndMs = 0;                  // wall clock; 0: no count-down
        bool dotsCountDown = false;
        // The lamp as last switched, so that a display restarted on air
        // shows it again with its time on air.
        bool tallyOn = false;
        QString tallyText = QString::fromLatin1(kTallyText);
        qint64 tallySinceMs = 0;  // wall clock; 0 while dark

        friend bool operator==(const Cues &a, const Cues &b)
        {
            return a.endMode == b.endMode && a.hour == b.hour && a.minute == b.minute && a.second == b.second
                && a.onceAtMs == b.onceAtMs && a.ringEndMs == b.ringEndMs && a.dotsCountDown == b.dotsCountDown
                && a.tallyOn == b.tallyOn && a.tallyText == b.tallyText && a.tallySinceMs == b.tallySinceMs;
        }
        friend bool operator!=(const Cues &a, const Cues &b) { return !(a == b); }
    };

    explicit ControlCenter(QObject *parent = nullptr, WallClock clock = {});

    Cues cues() const;
    // Shows cues kept from before; a mark "once" or a count-down whose end
    // has passed is not brought back, nor is anything out of range.
    void restoreCues(const Cues &cues);

    // The allow-list from control_allow; entries that are no IPv4 address or
    // range are warned about once and left out.
    void setAllowList(const QString &controlAllow);

    // Runs one command line from a sender. `authorised` is true when the
    // transport has checked a token: the allow-list is then not consulted
    // (the rate limit still is).
    // Everything but a token is checked first: a trusted sender (allowed,
    // or authorised) has a rate bucket of its own, all others share one.
    Reply run(const QByteArray &line, const QHostAddress &sender, bool authorised = false);
    // The same for a line whose share of the rate was taken already (the
    // first line of a datagram rides on the datagram's).
    Reply runTaken(const QByteArray &line, const QHostAddress &sender, bool authorised = false);
    // The same for a transport whose own access control decided (the MQTT
    // broker's) and that keeps its own rate; `from` names the sender in the log.
    Reply runTrusted(const QByteArray &line, const QString &from);
    // The sender is in control_allow.
    bool trusts(const QHostAddress &sender) const { return trusted(sender, false); }
    // One from the sender's rate, for a datagram before it is read, or for a
    // reply to what cannot run; false when the sender is over its rate.
    bool take(const QHostAddress &sender, bool authorised = false);
    // True at most once a second for a sender over its rate: it is told
    // "ERR busy" then, and otherwise dropped in silence.
    bool busyReplyDue(const QHostAddress &sender, bool authorised = false);

    // The state as one line of JSON, as `status` replies; without the
    // levels for a state that is kept (MQTT's retained one).
    QByteArray statusJson(bool withLevels = true) const;

    // What the display shows, for the state.
    void setVersion(const QString &version);
    void setInstance(const QString &instance);
    void setNames(const std::array<QString, 3> &names);        // no nameChanged
    // "fine", "silent" or "problem"; `data`: meter data arrives, so the
    // meters show levels (a server whose sends fail still has them).
    void setLinkState(const QString &state, const QString &reason, bool data);
    void setChannelState(const QString &state, const QString &reason);  // the UDP side: "listening", "waiting", "off"
    void setClockSync(const QString &sync, double maxErrorMs);  // "synced", "unsynced", "unknown"; -1 unknown
    void setMqttState(const QString &state, const QString &reason, const QString &id);  // "off", "connecting", "connected"
    void setLevelsSource(std::function<std::array<float, 6>()> levelsDb);

    // The count-down's time still to go, in seconds; 0 when none runs.
    float ringRemaining() const;

    // The tally's source: `name` as the setting spells it ("cts", "!dcd"),
    // and `key` the setting's own name, for the replies that point to it.
    void setTallySource(TallyMode mode, const QString &name, const QString &key);
    TallyMode tallyMode() const { return m_tallyMode; }
    // A reading of the tally's line: whether it could be read, and whether
    // it lights the lamp. An unread line shows the lamp dark, but only a
    // line read off ends the time on air.
    void setTallyLine(bool known, bool on);
    // Why the tally's line cannot be read; empty when it can.
    void setTallyProblem(const QString &problem);
    // The lamp as shown: lit, its text, and since when it is lit (wall
    // clock ms; 0 while dark).
    bool tallyOn() const;
    QString tallyText() const { return m_tallyText; }
    qint64 tallySinceMs() const { return tallyOn() ? m_tallySinceMs : 0; }

public slots:
    // The clocks' second: the ring shrinks with it, and a one-shot end mark
    // comes and goes.
    void secondTicked();

signals:
    // To the analog clock.
    void endMarkChanged(bool on, int hour, int minute, int second);  // hour 24: every hour
    void ringChanged(float remainingSeconds);                        // 0: no ring
    void dotsChanged(bool countDown);
    // To the meter names, which the display then stores.
    void nameChanged(int pair, const QString &name);                 // pair 0 to 2
    // To the ON AIR lamp: its source, its state or its text changed.
    void tallyChanged();
    // Any change of the state's fields but the levels, for live pushes.
    void stateChanged();

private:
    Reply runTaken(const QByteArray &line, const QHostAddress &sender, bool authorised, const QString &shown);
    void apply(const ControlCommand &command);
    bool trusted(const QHostAddress &sender, bool authorised) const;
    void tellRefusals(qint64 monotonicMs);
    void showRing(qint64 nowMs);
    void setEndMark(int mode, int hour, int minute, int second);
    void setOnceMark(qint64 atMs, qint64 nowMs);
    // Shows a one-shot mark from the hour before it and clears it once it
    // has passed (true then).
    bool followOnceMark(qint64 nowMs);
    QByteArray tallyRefusal(const ControlCommand &command) const;
    void switchTally(bool on, qint64 nowMs);
    qint64 now() const;

    WallClock m_wallClock;
    QElapsedTimer m_monotonic;
    qint64 m_startedMs = 0;  // wall clock, when the display started
    AllowList m_allow;
    RateLimit m_rate;
    RefusalLog m_refusals;

    int m_endMode = EndOff;
    qint64 m_endOnceMs = 0;  // wall clock; meaningful while EndOnce
    bool m_endOnceShown = false;
    int m_endHour = 0, m_endMinute = 0, m_endSecond = 0;
    qint64 m_ringDeadlineMs = 0;  // wall clock; meaningful while m_ringRunning
    bool m_ringRunning = false;
    float m_ringShown = 0.0f;
    bool m_dotsCountDown = false;
    TallyMode m_tallyMode = TallyMode::None;
    QString m_tallySource;
    QString m_tallyKey;
    QString m_tallyProblem;
    bool m_tallyLineKnown = false;
    bool m_tallySwitchedOn = false;  // by the commands or the line, whether shown or not
    QString m_tallyText = QString::fromLatin1(kTallyText);
    qint64 m_tallySinceMs = 0;

    QString m_version, m_instance;
    std::array<QString, 3> m_names;
    QString m_linkState = QStringLiteral("silent"), m_linkReason;
    bool m_linkData = false;
    QString m_channelState = QStringLiteral("off"), m_channelReason;
    QString m_sync = QStringLiteral("unknown");
    QString m_mqttState = QStringLiteral("off"), m_mqttReason, m_mqttId;
    double m_maxErrorMs = -1;
    std::function<std::array<float, 6>()> m_levels;
};
