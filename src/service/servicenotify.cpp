#include "servicenotify.h"

#include <QCoreApplication>
#include <QEvent>
#include <QLoggingCategory>
#include <QTimer>

#include <climits>
#include <cstring>

#ifdef LUMORA_HAVE_SYSTEMD
#include <systemd/sd-daemon.h>
#endif

Q_LOGGING_CATEGORY(lcService, "lumora.service", QtInfoMsg)

namespace {
// Well inside systemd's default start timeout of 90 s.
constexpr int kReadyAnywayMs = 20000;

// Half the watchdog's limit, in ms, never 0 (a busy loop).
[[maybe_unused]] int pingIntervalMs(quint64 watchdogUsec)
{
    const quint64 ms = watchdogUsec / 2000;
    return ms < 1 ? 1 : ms > quint64(INT_MAX) ? INT_MAX : int(ms);
}
} // namespace

ServiceNotify::ServiceNotify(QObject *parent)
    : QObject(parent)
{
#ifdef LUMORA_HAVE_SYSTEMD
    m_active = qEnvironmentVariableIsSet("NOTIFY_SOCKET");
    if (!m_active)
        return;
    uint64_t usec = 0;
    // Also checks WATCHDOG_PID, where set, against this process.
    if (sd_watchdog_enabled(0, &usec) > 0) {
        m_watchdog = new QTimer(this);
        // One wake-up per interval; a few percent of slack costs nothing
        // against a limit twice as long.
        m_watchdog->setTimerType(Qt::CoarseTimer);
        m_watchdog->setInterval(pingIntervalMs(usec));
        connect(m_watchdog, &QTimer::timeout, this, [this] { send("WATCHDOG=1"); });
        m_watchdog->start();
    }
    if (QCoreApplication *app = QCoreApplication::instance())
        connect(app, &QCoreApplication::aboutToQuit, this, [this] { send("STOPPING=1"); });
#endif
}

void ServiceNotify::ready()
{
    if (!m_active || m_readySent)
        return;
    m_readySent = true;
    send("READY=1");
}

void ServiceNotify::readyAfterFirstPaint(QObject *watched)
{
    if (!m_active || m_readySent)
        return;
    watched->installEventFilter(this);
    // A window that is never shown (another workspace, a screen that is off)
    // is still running: the unit must not time the start out and kill it.
    QTimer::singleShot(kReadyAnywayMs, this, [this] {
        if (m_readySent)
            return;
        qCInfo(lcService, "no frame drawn %d s after the start (is the window hidden?); reporting ready anyway",
               kReadyAnywayMs / 1000);
        ready();
    });
}

bool ServiceNotify::eventFilter(QObject *watched, QEvent *event)
{
    if (event->type() == QEvent::Paint) {
        watched->removeEventFilter(this);
        // The paint event comes before the drawing; queued, the message
        // leaves once the frame has been drawn and put on the screen.
        QTimer::singleShot(0, this, &ServiceNotify::ready);
    }
    return false;
}

void ServiceNotify::send(const char *state)
{
#ifdef LUMORA_HAVE_SYSTEMD
    const int result = sd_notify(0, state);
    if (result < 0 && !m_failureLogged) {
        // Once: a watchdog message that cannot be sent would fail every time.
        m_failureLogged = true;
        qCWarning(lcService, "cannot tell the service manager \"%s\": %s; if the unit has a watchdog, "
                  "it will restart this program (check NOTIFY_SOCKET)", state, std::strerror(-result));
    }
#else
    Q_UNUSED(state)
#endif
}
