#include "kioskmode.h"

#include <QApplication>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QScreen>
#include <QTimer>
#include <QWindow>
#include <QWidget>

#include <cstdlib>

#include "logging.h"
#include "screenrule.h"

#ifdef LUMORA_HAVE_X11
#include <QX11Info>
#include <xcb/xcb.h>
#endif

namespace {

constexpr Qt::WindowStates kFillsScreen = Qt::WindowFullScreen | Qt::WindowMaximized;

#ifdef LUMORA_HAVE_X11
// The window named by `property` on `window`, or XCB_NONE.
xcb_window_t windowProperty(xcb_connection_t *connection, xcb_window_t window, xcb_atom_t property)
{
    const xcb_get_property_cookie_t cookie
        = xcb_get_property(connection, false, window, property, XCB_ATOM_WINDOW, 0, 1);
    xcb_get_property_reply_t *reply = xcb_get_property_reply(connection, cookie, nullptr);
    xcb_window_t value = XCB_NONE;
    if (reply && reply->type == XCB_ATOM_WINDOW && reply->format == 32
        && xcb_get_property_value_length(reply) == int(sizeof(xcb_window_t)))
        value = *static_cast<const xcb_window_t *>(xcb_get_property_value(reply));
    std::free(reply);
    return value;
}
#endif

} // namespace

KioskMode::KioskMode(QWidget *window)
    : QObject(window)
    , m_window(window)
    , m_pointerTimer(new QTimer(this))
{
    m_pointerTimer->setSingleShot(true);
    m_pointerTimer->setInterval(kPointerHideMs);
    connect(m_pointerTimer, &QTimer::timeout, this, [] {
        if (!QGuiApplication::overrideCursor())
            QGuiApplication::setOverrideCursor(Qt::BlankCursor);
    });
    window->installEventFilter(this);
}

KioskMode::~KioskMode()
{
    if (m_watchingPointer)
        qApp->removeEventFilter(this);
    if (QGuiApplication::overrideCursor())
        QGuiApplication::restoreOverrideCursor();
}

void KioskMode::toggleFullScreen()
{
    if (m_window->isFullScreen()) {
        if (m_wasMaximized)
            m_window->showMaximized();
        else
            m_window->showNormal();
    } else {
        m_wasMaximized = m_window->isMaximized();
        // Before the request: a window manager does not shrink a window
        // below its minimum, so on a small screen it must be lowered first.
        applyMinimumSize(Qt::WindowFullScreen);
        m_window->showFullScreen();
    }
}

bool KioskMode::windowManagerRunning()
{
#ifdef LUMORA_HAVE_X11
    if (!QX11Info::isPlatformX11())
        return true;
    xcb_connection_t *connection = QX11Info::connection();
    if (!connection)
        return true;
    static const char kCheck[] = "_NET_SUPPORTING_WM_CHECK";
    xcb_intern_atom_reply_t *atom = xcb_intern_atom_reply(
        connection, xcb_intern_atom(connection, true, sizeof kCheck - 1, kCheck), nullptr);
    const xcb_atom_t check = atom ? atom->atom : xcb_atom_t(XCB_NONE);
    std::free(atom);
    if (check == XCB_NONE)
        return false;  // no window manager ever ran on this display
    // A manager names a window of its own on the root window, and that window
    // names itself; a manager that died leaves the root's entry behind.
    const xcb_window_t own = windowProperty(connection, xcb_window_t(QX11Info::appRootWindow()), check);
    return own != XCB_NONE && windowProperty(connection, own, check) == own;
#else
    return true;
#endif
}

QRect KioskMode::screenArea(Qt::WindowStates state) const
{
    const QScreen *screen = m_window->screen();
    if (!screen)
        return QRect();
    if (state & Qt::WindowFullScreen)
        return screen->geometry();
    if (state & Qt::WindowMaximized)
        return screen->availableGeometry();
    return QRect();
}

void KioskMode::applyMinimumSize(Qt::WindowStates state)
{
    m_window->setMinimumSize(ScreenRule::minimumWindowSize(screenArea(state).size(), state & kFillsScreen));
}

void KioskMode::placeWindow(const QRect &area)
{
    // Showing sets the platform window to the widget's own geometry, so a
    // window restored in full screen is placed once it is shown.
    if (!m_window->isVisible()) {
        m_placeWhenShown = true;
        return;
    }
    if (QWindow *handle = m_window->windowHandle())
        handle->setGeometry(area);
}

void KioskMode::placeShownWindow()
{
    const QRect area = screenArea(m_window->windowState());
    if (m_window->isVisible() && area.isValid())
        placeWindow(area);
}

void KioskMode::followWindowState(Qt::WindowStates old)
{
    const Qt::WindowStates state = m_window->windowState();
    if (state & Qt::WindowMinimized)
        return;
    const QRect area = screenArea(state);
    if (state & kFillsScreen) {
        // The geometry to go back to, while Qt still knows it.
        if (!(old & kFillsScreen))
            m_normalGeometry = m_window->normalGeometry();
        applyMinimumSize(state);
    } else {
        // The design's minimum returns once the window has its normal size
        // back (its next resize): raised before, it would stretch the
        // full-screen size that the window still has.
        m_minimumPending = true;
    }
    if (windowManagerRunning())
        return;

    if (area.isValid()) {
        if (!m_placedWithoutManager) {
            m_placedWithoutManager = true;
            qCInfo(lcApp, "No window manager on this display: the window covers the screen itself");
        }
        // Through the platform window: QWidget::setGeometry would drop the
        // full-screen state, which F11 and the stored settings rely on.
        placeWindow(area);
    } else if ((old & kFillsScreen) && m_normalGeometry.isValid()) {
        m_window->setGeometry(m_normalGeometry);
    }
}

void KioskMode::setPointerHideDelay(int milliseconds)
{
    m_pointerTimer->setInterval(milliseconds);
}

void KioskMode::updatePointerHiding()
{
    if (m_window->isFullScreen()) {
        if (!m_watchingPointer) {
            qApp->installEventFilter(this);
            m_watchingPointer = true;
        }
        m_pointerTimer->start();
        return;
    }
    if (m_watchingPointer) {
        qApp->removeEventFilter(this);
        m_watchingPointer = false;
    }
    m_pointerTimer->stop();
    if (QGuiApplication::overrideCursor())
        QGuiApplication::restoreOverrideCursor();
}

bool KioskMode::eventFilter(QObject *watched, QEvent *event)
{
    switch (event->type()) {
    case QEvent::KeyPress:
        if (watched == m_window) {
            const auto *key = static_cast<QKeyEvent *>(event);
            if (key->key() == Qt::Key_F11 && key->modifiers() == Qt::NoModifier) {
                toggleFullScreen();
                return true;
            }
        }
        break;
    case QEvent::Resize:
        if (watched == m_window && m_minimumPending && !(m_window->windowState() & kFillsScreen)) {
            m_minimumPending = false;
            applyMinimumSize(m_window->windowState());
        }
        break;
    case QEvent::Show:
        if (watched == m_window && m_placeWhenShown) {
            m_placeWhenShown = false;
            // After the show has mapped the window.
            QMetaObject::invokeMethod(this, &KioskMode::placeShownWindow, Qt::QueuedConnection);
        }
        break;
    case QEvent::WindowStateChange:
        if (watched == m_window) {
            followWindowState(static_cast<QWindowStateChangeEvent *>(event)->oldState());
            updatePointerHiding();
        }
        break;
    case QEvent::MouseMove:
        // Only seen from everywhere while full screen: any mouse movement
        // shows the pointer again and restarts the wait.
        if (m_watchingPointer) {
            if (QGuiApplication::overrideCursor())
                QGuiApplication::restoreOverrideCursor();
            m_pointerTimer->start();
        }
        break;
    default:
        break;
    }
    return QObject::eventFilter(watched, event);
}
