#pragma once

#include <QtGlobal>

// Tells a dead link from a quiet one. When no valid packet has come for a
// second, the console is taken to be gone (cable pulled, server stopped) and
// the meters fall to the floor instead of holding their last levels, which
// would look like a held tone. Time is passed in, in milliseconds from any
// monotonic clock, so the rule can be tested without waiting.
class LinkSilence
{
public:
    static constexpr qint64 kTimeoutMs = 1000;

    explicit LinkSilence(qint64 timeoutMs = kTimeoutMs) : m_timeoutMs(timeoutMs) {}

    void packetArrived(qint64 nowMs);
    // A packet heard at nowMs by someone else (the serial thread): taken
    // only if it is newer than the last one known.
    void heardAt(qint64 nowMs)
    {
        if (!m_heard || nowMs > m_lastMs)
            packetArrived(nowMs);
    }

    // True before the first packet, and once timeout ms have passed since the
    // last one. A clock that seems to run backwards reads as not silent.
    bool isSilent(qint64 nowMs) const;

    // Milliseconds until the link counts as silent; 0 once it does.
    qint64 msUntilSilent(qint64 nowMs) const;

    qint64 timeoutMs() const { return m_timeoutMs; }

    // When the last packet came; -1 before the first.
    qint64 lastArrivalMs() const { return m_heard ? m_lastMs : -1; }

    // Back to "no packet yet", for a rebuilt link.
    void reset() { m_heard = false; }

private:
    qint64 m_timeoutMs;
    qint64 m_lastMs = 0;
    bool m_heard = false;
};
