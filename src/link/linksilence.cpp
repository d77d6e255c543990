#include "linksilence.h"

#include <algorithm>

void LinkSilence::packetArrived(qint64 nowMs)
{
    m_lastMs = nowMs;
    m_heard = true;
}

bool LinkSilence::isSilent(qint64 nowMs) const
{
    if (!m_heard)
        return true;
    if (nowMs < m_lastMs)
        return false;
    // Unsigned difference: never overflows, whatever clock values come in.
    return quint64(nowMs) - quint64(m_lastMs) >= quint64(std::max<qint64>(m_timeoutMs, 0));
}

qint64 LinkSilence::msUntilSilent(qint64 nowMs) const
{
    if (isSilent(nowMs))
        return 0;
    // Not silent, so a packet came and the clock has not run backwards past it.
    if (nowMs < m_lastMs)
        return m_timeoutMs;
    return m_timeoutMs - (nowMs - m_lastMs);
}
