#pragma once

#include <QObject>
#include <QRect>

class QTimer;
class QWidget;

// Full screen for the studio wall: F11 toggles it (back to maximized or
// normal, as before), and while full screen the pointer hides after a while
// without movement and shows again when the mouse moves.
//
// Full screen and maximized fit a screen smaller than the design, and on an
// X server without a window manager (a kiosk started by xinit), where such
// a request is granted by nobody, the window takes the screen itself.
class KioskMode : public QObject
{
    Q_OBJECT

public:
    static constexpr int kPointerHideMs = 3000;

    // Watches window for F11 and its window state.
    explicit KioskMode(QWidget *window);
    ~KioskMode() override;

    void toggleFullScreen();
    // An active wait restarts with the new delay (tests use a short one).
    void setPointerHideDelay(int milliseconds);

    // Whether a window manager places the windows. Asked of the X server
    // (_NET_SUPPORTING_WM_CHECK); other platforms place windows themselves
    // and count as having one.
    static bool windowManagerRunning();

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    void updatePointerHiding();
    // The screen area a window in this state covers: the screen, its
    // available area, or none for a normal window.
    QRect screenArea(Qt::WindowStates state) const;
    // The minimum size for the window in the given state, on its screen.
    void applyMinimumSize(Qt::WindowStates state);
    // Gives the window the area without leaving its state.
    void placeWindow(const QRect &area);
    // The area for the state of a window that has been shown meanwhile.
    void placeShownWindow();
    // Minimum size and, with no window manager, the geometry for the
    // window's new state; `old` is the state it left.
    void followWindowState(Qt::WindowStates old);

    QWidget *m_window;
    QTimer *m_pointerTimer;
    bool m_wasMaximized = false;
    bool m_watchingPointer = false;
    // Where the window goes back to from full screen or maximized when no
    // window manager restores it.
    QRect m_normalGeometry;
    bool m_minimumPending = false;  // a normal window's minimum, due at its next resize
    bool m_placeWhenShown = false;
    bool m_placedWithoutManager = false;  // logged the first time only
};
