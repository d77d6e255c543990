#pragma once

#include <QObject>

class QSocketNotifier;

// Wakes the thread that owns it from any other thread, without touching a
// Qt object there: the other thread only writes to an eventfd, and the
// owner's event loop hears it through a QSocketNotifier. Wakes that come
// before the owner has answered fold into one. What the wake is about
// crosses in a hand-off of its own (PacketGate, an atomic).
//
// Where there is no eventfd, wake() falls back to a queued call.
class ThreadWake : public QObject
{
    Q_OBJECT

public:
    explicit ThreadWake(QObject *parent = nullptr);
    ~ThreadWake() override;

    // Any thread.
    void wake();

signals:
    // On the owner's thread, once for one or more wake() calls.
    void woken();

private:
    void answer();

    int m_fd = -1;
    QSocketNotifier *m_notifier = nullptr;
};
