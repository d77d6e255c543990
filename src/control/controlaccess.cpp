#include "controlaccess.h"

#include <QHostAddress>

#include <algorithm>

namespace {
constexpr qint64 kForgetAfterMs = 60 * 1000;
}

bool senderIPv4(const QHostAddress &sender, quint32 &ipv4)
{
    bool ok = false;
    ipv4 = sender.toIPv4Address(&ok);
    return ok;
}

AllowList AllowList::parse(const QString &text, QStringList *rejected)
{
    AllowList list;
    const QStringList entries = text.split(QLatin1Char(','), Qt::SkipEmptyParts);
    for (const QString &raw : entries) {
        const QString entry = raw.trimmed();
        if (entry.isEmpty())
            continue;
        QHostAddress address;
        int prefix = 32;
        bool good = false;
        if (entry.contains(QLatin1Char('/'))) {
            const QPair<QHostAddress, int> subnet = QHostAddress::parseSubnet(entry);
            address = subnet.first;
            prefix = subnet.second;
            good = address.protocol() == QAbstractSocket::IPv4Protocol && prefix >= 0 && prefix <= 32;
        } else {
            good = address.setAddress(entry) && address.protocol() == QAbstractSocket::IPv4Protocol;
        }
        if (!good) {
            if (rejected)
                *rejected << entry;
            continue;
        }
        const quint32 mask = prefix == 0 ? 0u : ~quint32(0) << (32 - prefix);
        list.m_ranges.push_back({address.toIPv4Address() & mask, mask});
    }
    return list;
}

bool AllowList::allows(quint32 ipv4) const
{
    return std::any_of(m_ranges.begin(), m_ranges.end(),
                       [ipv4](const Range &r) { return (ipv4 & r.mask) == r.network; });
}

bool AllowList::allows(const QHostAddress &sender) const
{
    quint32 ipv4 = 0;
    return senderIPv4(sender, ipv4) && allows(ipv4);
}

RateLimit::Bucket &RateLimit::bucketFor(const QString &sender, bool trusted, qint64 nowMs)
{
    Bucket *b = &m_shared;
    if (trusted) {
        while (!m_used.empty() && nowMs - m_used.front().lastMs > kForgetAfterMs) {
            m_index.remove(m_used.front().sender);
            m_used.pop_front();
        }
        const auto found = m_index.constFind(sender);
        if (found != m_index.constEnd()) {
            m_used.splice(m_used.end(), m_used, found.value());
            b = &m_used.back();
        } else {
            // Full of senders active within the minute: the one heard from
            // longest ago makes room, so a trusted sender is always served.
            if (int(m_used.size()) >= kMaxSenders) {
                m_index.remove(m_used.front().sender);
                m_used.pop_front();
            }
            m_used.push_back(Bucket{sender, double(m_perSecond), nowMs, -1000});
            m_index.insert(sender, std::prev(m_used.end()));
            b = &m_used.back();
        }
    }
    const qint64 elapsed = std::max<qint64>(0, nowMs - b->lastMs);
    b->tokens = std::min(double(m_perSecond), b->tokens + double(elapsed) * m_perSecond / 1000.0);
    b->lastMs = std::max(b->lastMs, nowMs);
    return *b;
}

bool RateLimit::take(const QString &sender, bool trusted, qint64 nowMs)
{
    Bucket &b = bucketFor(sender, trusted, nowMs);
    if (b.tokens < 1.0)
        return false;
    b.tokens -= 1.0;
    return true;
}

bool RateLimit::busyReplyDue(const QString &sender, bool trusted, qint64 nowMs)
{
    Bucket &b = bucketFor(sender, trusted, nowMs);
    if (nowMs - b.busyToldMs < 1000)
        return false;
    b.busyToldMs = nowMs;
    return true;
}

bool RefusalLog::note(const QString &sender, qint64 nowMs)
{
    if (!m_inWindow) {
        m_inWindow = true;
        m_windowStartMs = nowMs;
        return true;
    }
    ++m_count;
    if (m_senders.size() < kMaxSendersCounted)
        m_senders.insert(sender);
    m_last = sender;
    return false;
}

RefusalLog::Summary RefusalLog::due(qint64 nowMs)
{
    if (!m_inWindow || nowMs - m_windowStartMs < kForgetAfterMs)
        return {};
    const Summary s{m_count, int(m_senders.size()), m_last};
    // A quiet minute ends the summing; a busy one starts the next minute's.
    m_inWindow = m_count > 0;
    m_windowStartMs = nowMs;
    m_count = 0;
    m_senders.clear();
    return s;
}

ReplyBudget::Slot &ReplyBudget::slotFor(quint32 ipv4, qint64 nowMs)
{
    // Fibonacci hashing spreads neighbouring addresses over the table.
    Slot &slot = m_slots[size_t((ipv4 * 2654435761u) >> 20) % m_slots.size()];
    const qint64 second = nowMs / 1000;
    if (slot.sender != ipv4 || slot.second != second)
        slot = Slot{ipv4, second, 0, 0};
    return slot;
}

void ReplyBudget::received(quint32 ipv4, int bytes, qint64 nowMs)
{
    slotFor(ipv4, nowMs).received += bytes;
}

qint64 ReplyBudget::left(quint32 ipv4, qint64 nowMs)
{
    const Slot &slot = slotFor(ipv4, nowMs);
    return slot.received - slot.answered;
}

void ReplyBudget::answered(quint32 ipv4, int bytes, qint64 nowMs)
{
    slotFor(ipv4, nowMs).answered += bytes;
}
