#include "screenbeat.h"

#include "releaseclock.h"

#include <QGuiApplication>
#include <QScreen>
#include <QWindow>

ScreenBeat::ScreenBeat(ReleaseClock *release, QObject *parent)
    : QObject(parent)
    , m_release(release)
{
}

void ScreenBeat::follow(QScreen *screen)
{
    if (!screen)
        screen = QGuiApplication::primaryScreen();
    disconnect(m_rate);
    if (screen)
        m_rate = connect(screen, &QScreen::refreshRateChanged, m_release, &ReleaseClock::setRefreshRate);
    m_release->setRefreshRate(screen ? screen->refreshRate() : 0.0);
}

void ScreenBeat::followWindow(QWindow *window)
{
    if (m_windowFollowed || !window)
        return;
    m_windowFollowed = true;
    connect(window, &QWindow::screenChanged, this, &ScreenBeat::follow);
    follow(window->screen());
}
