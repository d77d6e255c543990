#include "paintcounter.h"

#include <QEvent>
#include <QTimer>
#include <QWidget>

#include "logging.h"
#include "teskanalogclock.h"
#include "teskdigitalclock.h"
#include "teskppmmeter.h"

namespace {
constexpr int kReportMs = 1000;
}

PaintCounter *PaintCounter::attachIfEnabled(QWidget *window)
{
    if (!lcPerf().isDebugEnabled())
        return nullptr;
    return new PaintCounter(window);
}

PaintCounter::PaintCounter(QWidget *window)
    : QObject(window)
    , m_window(window)
{
    m_clock.start();
    window->installEventFilter(this);
    for (QWidget *w : window->findChildren<TeskPPMMeter *>())
        w->installEventFilter(this);
    for (QWidget *w : window->findChildren<TeskAnalogClock *>())
        w->installEventFilter(this);
    for (QWidget *w : window->findChildren<TeskDigitalClock *>())
        w->installEventFilter(this);
    auto *timer = new QTimer(this);
    connect(timer, &QTimer::timeout, this, &PaintCounter::report);
    timer->start(kReportMs);
}

bool PaintCounter::eventFilter(QObject *watched, QEvent *event)
{
    if (event->type() == QEvent::Paint) {
        if (watched == m_window)
            ++m_windowPaints;
        else if (qobject_cast<TeskPPMMeter *>(watched))
            ++m_meterPaints;
        else
            ++m_clockPaints;
    }
    return false;
}

void PaintCounter::report() const
{
    // One line with running totals; the reader takes differences.
    qCDebug(lcPerf).nospace() << "ms=" << m_clock.elapsed() << " meter=" << m_meterPaints
                              << " clock=" << m_clockPaints << " window=" << m_windowPaints;
}
