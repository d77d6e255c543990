#pragma once

#include <QtGlobal>

// When a UDP server whose local address is missing says what, from the
// results of its periodic checks. Autostart often runs before DHCP has
// given the PC its address, so a missing address is waited for, not given
// up on; one still missing after a minute is probably mistyped, and is
// warned about then and every ten minutes while the retries go on.
class AddressWatch
{
public:
    static constexpr int kCheckMs = 5000;
    static constexpr qint64 kMistypedAfterMs = 60 * 1000;
    static constexpr qint64 kWarnAgainMs = 10 * 60 * 1000;

    enum class Note {
        None,      // nothing new
        Missing,   // the address is not (or no longer) on this PC
        Appeared,  // it is there again after missing
        Mistyped,  // still missing a minute on, and every ten minutes after
    };

    // The result of one check at time now (ms, any steady clock).
    Note check(bool present, qint64 now);
    bool isMissing() const { return m_missing; }

private:
    bool m_missing = false;
    qint64 m_nextWarning = 0;
};
