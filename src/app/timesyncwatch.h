#pragma once

#include <QObject>
#include <QPointer>
#include <QString>

#include <functional>
#include <optional>

class QLabel;
class QTimer;

// What the kernel says about the system clock. Errors are in microseconds,
// -1 where unknown.
struct ClockStatus
{
    enum Sync { Unknown, Synchronised, Unsynchronised };
    Sync sync = Unknown;
    qint64 estimatedErrorUs = -1;
    qint64 maximumErrorUs = -1;
};

namespace ClockSync {

// The kernel's answer to a read-only adjtimex(): its result and the two
// error figures. Synchronised when the maximum error is below the kernel's
// 16 s ceiling, as timedatectl's "System clock synchronized" decides; a time
// daemon (systemd-timesyncd, chrony, ntpd) keeps it low, and without one it
// grows to the ceiling. A failed read is Unknown.
ClockStatus classifyKernelClock(int result, qint64 maximumErrorUs, qint64 estimatedErrorUs);

// Reads the kernel's clock status without changing it; Unknown where the
// system offers no such read.
ClockStatus readKernelClock();

// An error for the operator: "250 µs", "12 ms", "16.0 s".
QString formatError(qint64 microseconds);

// The 60 s rule: the warning shows once every reading for at least that
// long said unsynchronised. A synchronised or unknown reading ends the run.
class WarningRule
{
public:
    static constexpr qint64 kUnsyncedForMs = 60 * 1000;

    // Takes one reading at a monotonic time in ms; true while the warning shows.
    bool update(ClockStatus::Sync sync, qint64 nowMs);

private:
    std::optional<qint64> m_unsyncedSince;
};

} // namespace ClockSync

// Watches the system clock's synchronisation and says so in the time caption
// under the analog clock: "System Time - not synchronised" in amber once the
// kernel has called the clock unsynchronised for 60 s in a row, with the
// errors in its tooltip; "System Time" otherwise. Reads at start and then
// every 10 s: one system call, no network traffic.
class TimeSyncWatch : public QObject
{
    Q_OBJECT

public:
    using StatusSource = std::function<ClockStatus()>;
    using MonotonicClock = std::function<qint64()>;  // ms

    static constexpr int kReadIntervalMs = 10 * 1000;

    // Empty sources mean the kernel and a monotonic clock of its own.
    explicit TimeSyncWatch(QLabel *caption, QObject *parent = nullptr,
                           StatusSource status = {}, MonotonicClock clock = {});

    bool warningShown() const { return m_warning; }

public slots:
    // One reading; the timer calls it every 10 s.
    void check();

signals:
    // Each reading, with what the caption decided: the warning shown or not.
    void statusRead(const ClockStatus &status, bool warningShown);

private:
    void showWarning(const ClockStatus &status);
    void showNormal();

    QPointer<QLabel> m_caption;
    StatusSource m_status;
    MonotonicClock m_clock;
    QTimer *m_timer = nullptr;
    ClockSync::WarningRule m_rule;
    bool m_warning = false;
    QString m_normalStyle;
};
