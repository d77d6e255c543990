#pragma once

#include <QObject>

class QTimer;
class QWidget;

// Full screen for the studio wall: F11 toggles it (back to maximized or
// normal, as before), and while full screen the pointer hides after a while
// without movement and shows again when the mouse moves.
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

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    void updatePointerHiding();

    QWidget *m_window;
    QTimer *m_pointerTimer;
    bool m_wasMaximized = false;
    bool m_watchingPointer = false;
};
