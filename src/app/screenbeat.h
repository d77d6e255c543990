#pragma once

#include <QMetaObject>
#include <QObject>

class QScreen;
class QWindow;
class ReleaseClock;

// Keeps the frame beat at one paint per refresh of the screen the window is
// on: at the screen's rate now and as it changes, and on the new screen when
// the window moves to another.
class ScreenBeat : public QObject
{
    Q_OBJECT

public:
    ScreenBeat(ReleaseClock *release, QObject *parent);

    // The beat of this screen (the primary one for none).
    void follow(QScreen *screen);
    // From the native window's existence on (its first show), the beat of
    // whatever screen it is on. Only the first call does anything.
    void followWindow(QWindow *window);

private:
    ReleaseClock *m_release;
    QMetaObject::Connection m_rate;  // the followed screen's refreshRateChanged
    bool m_windowFollowed = false;
};
