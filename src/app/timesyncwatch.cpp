#include "timesyncwatch.h"

#include "logging.h"

#include <QElapsedTimer>
#include <QLabel>
#include <QTimer>

#include <memory>

#ifdef Q_OS_LINUX
#include <sys/timex.h>
#endif

namespace {

// The kernel's ceiling for the maximum error: at or above it the clock counts
// as unsynchronised.
constexpr qint64 kMaxErrorCeilingUs = 16 * 1000 * 1000;

const char kAmberStyle[] = "QLabel\n{\ncolor: rgb(255, 191, 0);\n}";

} // namespace

namespace ClockSync {

ClockStatus classifyKernelClock(int result, qint64 maximumErrorUs, qint64 estimatedErrorUs)
{
    ClockStatus status;
    if (result < 0)
        return status;
    status.sync = maximumErrorUs < kMaxErrorCeilingUs ? ClockStatus::Synchronised
                                                       : ClockStatus::Unsynchronised;
    status.maximumErrorUs = maximumErrorUs;
    status.estimatedErrorUs = estimatedErrorUs;
    return status;
}

ClockStatus readKernelClock()
{
#ifdef Q_OS_LINUX
    struct timex tx = {};
    tx.modes = 0;  // read only: nothing of the clock is changed
    const int result = adjtimex(&tx);
    return classifyKernelClock(result, tx.maxerror, tx.esterror);
#else
    return ClockStatus();
#endif
}

QString formatError(qint64 microseconds)
{
    if (microseconds < 0)
        return QObject::tr("unknown");
    if (microseconds < 1000)
        return QObject::tr("%1 µs").arg(microseconds);
    if (microseconds < 1000 * 1000)
        return QObject::tr("%1 ms").arg(microseconds / 1000);
    return QObject::tr("%1 s").arg(double(microseconds) / 1e6, 0, 'f', 1);
}

bool WarningRule::update(ClockStatus::Sync sync, qint64 nowMs)
{
    if (sync != ClockStatus::Unsynchronised) {
        m_unsyncedSince.reset();
        return false;
    }
    if (!m_unsyncedSince)
        m_unsyncedSince = nowMs;
    return nowMs - *m_unsyncedSince >= kUnsyncedForMs;
}

} // namespace ClockSync

TimeSyncWatch::TimeSyncWatch(QLabel *caption, QObject *parent, StatusSource status,
                             MonotonicClock clock)
    : QObject(parent)
    , m_caption(caption)
    , m_status(status ? std::move(status) : StatusSource(&ClockSync::readKernelClock))
    , m_clock(std::move(clock))
{
    if (!m_clock) {
        auto elapsed = std::make_shared<QElapsedTimer>();
        elapsed->start();
        m_clock = [elapsed] { return elapsed->elapsed(); };
    }
    m_timer = new QTimer(this);
    // Precise, so six periods really make the 60 s and not 59.7.
    m_timer->setTimerType(Qt::PreciseTimer);
    connect(m_timer, &QTimer::timeout, this, &TimeSyncWatch::check);
    m_timer->start(kReadIntervalMs);
    check();
}

void TimeSyncWatch::check()
{
    const ClockStatus status = m_status();
    const bool warn = m_rule.update(status.sync, m_clock());
    if (warn)
        showWarning(status);  // refreshes the tooltip's figures as well
    else if (m_warning)
        showNormal();
    const bool changed = warn != m_warning;
    m_warning = warn;
    emit statusRead(status, warn);
    if (!changed)
        return;
    if (warn) {
        qCInfo(lcApp, "system clock not synchronised for 60 s (estimated error %s, maximum error %s)",
               qUtf8Printable(ClockSync::formatError(status.estimatedErrorUs)),
               qUtf8Printable(ClockSync::formatError(status.maximumErrorUs)));
    } else {
        qCInfo(lcApp, status.sync == ClockStatus::Synchronised
                          ? "system clock synchronised again"
                          : "system clock status can no longer be read");
    }
}

void TimeSyncWatch::showWarning(const ClockStatus &status)
{
    if (!m_caption)
        return;
    if (!m_warning) {
        m_normalStyle = m_caption->styleSheet();
        m_caption->setText(tr("System Time - not synchronised"));
        m_caption->setStyleSheet(QString::fromLatin1(kAmberStyle));
    }
    m_caption->setToolTip(tr("The system clock is not synchronised to a time source.\n"
                             "Estimated error: %1\nMaximum error: %2")
                              .arg(ClockSync::formatError(status.estimatedErrorUs),
                                   ClockSync::formatError(status.maximumErrorUs)));
}

void TimeSyncWatch::showNormal()
{
    if (!m_caption)
        return;
    m_caption->setText(tr("System Time"));
    m_caption->setStyleSheet(m_normalStyle);
    m_caption->setToolTip(QString());
}
