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

bool RateLimit::take(const QString &sender, qint64 nowMs)
{
    forgetIdle(nowMs);
    auto it = m_buckets.find(sender);
    if (it == m_buckets.end()) {
        if (m_buckets.size() >= kMaxSenders) {
            // Full of senders seen within the minute: a flood of sources.
            // A new one waits until the table has room.
            return false;
        }
        it = m_buckets.insert(sender, Bucket{double(m_perSecond), nowMs});
    }
    Bucket &b = it.value();
    const qint64 elapsed = std::max<qint64>(0, nowMs - b.lastMs);
    b.tokens = std::min(double(m_perSecond), b.tokens + double(elapsed) * m_perSecond / 1000.0);
    b.lastMs = std::max(b.lastMs, nowMs);
    if (b.tokens < 1.0)
        return false;
    b.tokens -= 1.0;
    return true;
}

void RateLimit::forgetIdle(qint64 nowMs)
{
    if (nowMs - m_lastSweepMs < 1000 && m_buckets.size() < kMaxSenders)
        return;
    m_lastSweepMs = nowMs;
    for (auto it = m_buckets.begin(); it != m_buckets.end();) {
        if (nowMs - it->lastMs > kForgetAfterMs)
            it = m_buckets.erase(it);
        else
            ++it;
    }
}

bool LogOnceAMinute::due(const QString &key, qint64 nowMs)
{
    auto it = m_last.find(key);
    if (it != m_last.end() && nowMs - it.value() < kForgetAfterMs)
        return false;
    if (m_last.size() >= RateLimit::kMaxSenders) {
        for (auto i = m_last.begin(); i != m_last.end();)
            i = nowMs - i.value() >= kForgetAfterMs ? m_last.erase(i) : std::next(i);
        if (m_last.size() >= RateLimit::kMaxSenders)
            return false;
    }
    m_last.insert(key, nowMs);
    return true;
}
