#pragma once

#include <QHash>
#include <QString>
#include <QStringList>

#include <vector>

class QHostAddress;

// Who may send writes: IPv4 addresses and CIDR ranges, as control_allow
// lists them ("127.0.0.0/8, 10.20.0.0/16, 10.30.1.7").
class AllowList
{
public:
    static constexpr const char *kDefault = "127.0.0.0/8";

    // Entries that are no IPv4 address or range are left out and returned
    // in `rejected`, for the operator.
    static AllowList parse(const QString &text, QStringList *rejected = nullptr);

    bool allows(quint32 ipv4) const;
    bool allows(const QHostAddress &sender) const;
    bool isEmpty() const { return m_ranges.empty(); }

private:
    struct Range { quint32 network; quint32 mask; };
    std::vector<Range> m_ranges;
};

// The sender as an IPv4 address, also when it arrived on a dual-stack socket
// as ::ffff:a.b.c.d; false for a true IPv6 sender.
bool senderIPv4(const QHostAddress &sender, quint32 &ipv4);

// At most `perSecond` commands a second from each sender: a bucket of that
// many, refilled continuously. A sender idle for a minute is forgotten, and
// at most kMaxSenders are held, so spoofed sources cannot grow the table.
class RateLimit
{
public:
    static constexpr int kMaxSenders = 4096;

    explicit RateLimit(int perSecond = 20) : m_perSecond(perSecond) {}

    // Takes one command from `sender` at monotonic time nowMs; false when the
    // sender is over its rate (nothing is taken then).
    bool take(const QString &sender, qint64 nowMs);

    int senders() const { return m_buckets.size(); }

private:
    struct Bucket { double tokens; qint64 lastMs; };
    void forgetIdle(qint64 nowMs);

    int m_perSecond;
    QHash<QString, Bucket> m_buckets;
    qint64 m_lastSweepMs = 0;
};

// One log line a minute per key at most.
class LogOnceAMinute
{
public:
    bool due(const QString &key, qint64 nowMs);

private:
    QHash<QString, qint64> m_last;
};
