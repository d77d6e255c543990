#include "threadwake.h"

#include <QSocketNotifier>

#include "linklogging.h"

#ifdef Q_OS_LINUX
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#endif

ThreadWake::ThreadWake(QObject *parent)
    : QObject(parent)
{
#ifdef Q_OS_LINUX
    m_fd = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (m_fd >= 0) {
        m_notifier = new QSocketNotifier(m_fd, QSocketNotifier::Read, this);
        connect(m_notifier, &QSocketNotifier::activated, this, &ThreadWake::answer);
    } else {
        qCWarning(lcLink).noquote() << "no eventfd for waking the GUI thread (" + qt_error_string(errno)
                + "); using queued calls instead";
    }
#endif
}

ThreadWake::~ThreadWake()
{
#ifdef Q_OS_LINUX
    delete m_notifier;
    if (m_fd >= 0)
        ::close(m_fd);
#endif
}

void ThreadWake::wake()
{
#ifdef Q_OS_LINUX
    if (m_fd >= 0) {
        const std::uint64_t one = 1;
        // EAGAIN: the counter is full, so a wake is on its way already.
        while (::write(m_fd, &one, sizeof one) < 0 && errno == EINTR) {
        }
        return;
    }
#endif
    QMetaObject::invokeMethod(this, &ThreadWake::woken, Qt::QueuedConnection);
}

void ThreadWake::answer()
{
#ifdef Q_OS_LINUX
    std::uint64_t count = 0;
    // Reading resets the counter: every wake so far is answered by this one.
    while (::read(m_fd, &count, sizeof count) < 0 && errno == EINTR) {
    }
#endif
    emit woken();
}
