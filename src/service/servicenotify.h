#pragma once

#include <QObject>

class QTimer;

// Tells the service manager how the program is doing, when it was started as
// a Type=notify unit: READY=1 once, WATCHDOG=1 from this thread's event loop
// at half the unit's WatchdogSec (so a hung loop gets the program restarted)
// and STOPPING=1 when the application quits. Started any other way (no
// NOTIFY_SOCKET, or built without libsystemd) it does nothing at all.
class ServiceNotify : public QObject
{
    Q_OBJECT
public:
    explicit ServiceNotify(QObject *parent = nullptr);

    // READY=1; only the first call sends it.
    void ready();
    // READY=1 just after watched's first paint has been drawn: a wall
    // display is ready when it shows something. Without a paint, after 20 s.
    void readyAfterFirstPaint(QObject *watched);

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    void send(const char *state);

    bool m_active = false;
    bool m_readySent = false;
    bool m_failureLogged = false;
    QTimer *m_watchdog = nullptr;
};
