#include "kioskmode.h"

#include <QApplication>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QTimer>
#include <QWidget>

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
        m_window->showFullScreen();
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
    case QEvent::WindowStateChange:
        if (watched == m_window)
            updatePointerHiding();
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
