#pragma once

#include <QHash>
#include <QSet>
#include <QString>
#include <QStringList>

#include <list>
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

// At most `perSecond` commands a second from each trusted sender (one in
// control_allow, or one that showed the token), each with a bucket of its
// own, refilled continuously; every other sender shares one bucket, so a
// flood of forged sources can neither grow the table nor crowd out a
// trusted sender. Every call is O(1) in the number of senders: the buckets
// are kept in the order of their last use, those idle for a minute are
// forgotten from the front, and at most kMaxSenders are held: a new trusted
// sender that finds the table full takes the place of the one heard from
// longest ago.
class RateLimit
{
public:
    static constexpr int kMaxSenders = 4096;

    explicit RateLimit(int perSecond = 20) : m_perSecond(perSecond) { m_shared.tokens = perSecond; }

    // Takes one command from `sender` at monotonic time nowMs; false when its
    // bucket is empty (nothing is taken then).
    bool take(const QString &sender, bool trusted, qint64 nowMs);
    // True at most once a second for a bucket: whether a sender over its
    // rate is told so ("ERR busy") or dropped in silence.
    bool busyReplyDue(const QString &sender, bool trusted, qint64 nowMs);

    int senders() const { return int(m_index.size()); }

private:
    struct Bucket
    {
        QString sender;
        double tokens = 0;
        qint64 lastMs = 0;
        qint64 busyToldMs = -1000;
    };
    Bucket &bucketFor(const QString &sender, bool trusted, qint64 nowMs);

    int m_perSecond;
    std::list<Bucket> m_used;  // least recently used first
    QHash<QString, std::list<Bucket>::iterator> m_index;
    Bucket m_shared;
};

// Refusals summed up: the first one is told whole, those within the
// following minute are counted and told as one line when it is over, so a
// flood of forged senders writes a line a minute.
class RefusalLog
{
public:
    static constexpr int kMaxSendersCounted = 1024;

    // True when this refusal is to be told now.
    bool note(const QString &sender, qint64 nowMs);
    // The refusals counted in a minute that is over (0 if none), and how
    // many senders and the last of them; the count starts again.
    struct Summary { int refusals = 0; int senders = 0; QString last; };
    Summary due(qint64 nowMs);

private:
    qint64 m_windowStartMs = 0;
    bool m_inWindow = false;
    int m_count = 0;
    QSet<QString> m_senders;
    QString m_last;
};

// UDP lets anyone forge a datagram's source, and a reply goes to that
// source: to a sender that is not trusted, no more bytes are answered than
// it sent, counted over each second. Held in a fixed table indexed by the
// sender: two senders that share a slot push each other out, which only
// ever lowers what either may be answered. O(1), bounded.
class ReplyBudget
{
public:
    static constexpr int kSlots = 4096;

    // A datagram of `bytes` from `sender` came in at monotonic time nowMs.
    void received(quint32 sender, int bytes, qint64 nowMs);
    // How many bytes may still go back to `sender` in this second.
    qint64 left(quint32 sender, qint64 nowMs);
    void answered(quint32 sender, int bytes, qint64 nowMs);

private:
    struct Slot
    {
        quint32 sender = 0;
        qint64 second = -1;
        qint64 received = 0;
        qint64 answered = 0;
    };
    Slot &slotFor(quint32 ipv4, qint64 nowMs);

    std::vector<Slot> m_slots = std::vector<Slot>(kSlots);
};
