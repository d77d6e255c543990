#include "packetgate.h"

bool PacketGate::offer(const MeterPacket::Bytes &packet, qint64 nowMs)
{
    m_offered.fetch_add(1, std::memory_order_relaxed);
    m_lastArrival.store(nowMs, std::memory_order_relaxed);
    std::lock_guard<std::mutex> lock(m_mutex);
    const bool wanted = m_paced || m_forgot || (m_changesWanted && packet != m_last);
    if (!wanted)
        return false;
    if (m_waiting.size() >= kMaxWaiting) {
        m_waiting.erase(m_waiting.begin());
        m_overflowed.fetch_add(1, std::memory_order_relaxed);
    }
    m_waiting.push_back(packet);
    m_last = packet;
    m_forgot = false;
    if (m_paced || m_wakePending)
        return false;
    m_wakePending = true;
    return true;
}

void PacketGate::take(std::vector<MeterPacket::Bytes> &out)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    out.insert(out.end(), m_waiting.begin(), m_waiting.end());
    m_waiting.clear();
    m_wakePending = false;
}

bool PacketGate::setPaced(bool paced)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_paced = paced;
    return !m_waiting.empty();
}

void PacketGate::setChangesWanted(bool wanted)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_changesWanted = wanted;
}

void PacketGate::forget()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_forgot = true;
}

void PacketGate::reset()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_waiting.clear();
    m_last = {};
    m_forgot = true;
    m_wakePending = false;
    m_lastArrival.store(-1, std::memory_order_relaxed);
}
