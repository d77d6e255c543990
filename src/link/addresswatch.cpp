#include "addresswatch.h"

AddressWatch::Note AddressWatch::check(bool present, qint64 now)
{
    if (present) {
        if (!m_missing)
            return Note::None;
        m_missing = false;
        return Note::Appeared;
    }
    if (!m_missing) {
        m_missing = true;
        m_nextWarning = now + kMistypedAfterMs;
        return Note::Missing;
    }
    if (now < m_nextWarning)
        return Note::None;
    // From now, not from the schedule: a suspended PC does not make up for
    // the warnings it slept through.
    m_nextWarning = now + kWarnAgainMs;
    return Note::Mistyped;
}
