#include "signalquit.h"

#include "programlogging.h"

#include <QCoreApplication>
#include <QSocketNotifier>

#ifdef Q_OS_UNIX

#include <cerrno>
#include <atomic>
#include <cstring>
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

// The writing end as seen by the handler; -1 while no instance exists.
volatile sig_atomic_t s_writeFd = -1;
bool s_active = false;
// What an early stop removes: written before the flag is set, read by the
// handler only once it is.
char s_earlyRemove[4096];
volatile sig_atomic_t s_earlyRemoveSet = 0;

extern "C" void onEarlyStop(int)
{
    if (s_earlyRemoveSet)
        ::unlink(s_earlyRemove);
    ::_exit(0);
}

extern "C" void onQuitSignal(int signalNumber)
{
    // Only async-signal-safe calls here. A full socket drops the byte, which
    // is harmless: one byte is enough to quit.
    const int savedErrno = errno;
    const int fd = s_writeFd;
    if (fd >= 0) {
        const unsigned char byte = static_cast<unsigned char>(signalNumber);
        [[maybe_unused]] const ssize_t n = ::write(fd, &byte, 1);
    }
    errno = savedErrno;
}

} // namespace

void SignalQuit::stopEarlyUntilInstalled()
{
    struct sigaction sa {};
    sa.sa_handler = onEarlyStop;
    sigemptyset(&sa.sa_mask);
    for (const int sig : kSignals)
        sigaddset(&sa.sa_mask, sig);  // one stop at a time
    for (const int sig : kSignals) {
        struct sigaction before {};
        if (::sigaction(sig, nullptr, &before) != 0)
            continue;
        if (sig != SIGTERM && before.sa_handler == SIG_IGN)
            continue;
        // Should it fail, the stop kills as it always did.
        (void)::sigaction(sig, &sa, nullptr);
    }
}

bool SignalQuit::removeOnEarlyStop(const char *path)
{
    const size_t length = std::strlen(path);
    if (length >= sizeof s_earlyRemove)
        return false;
    s_earlyRemoveSet = 0;
    std::atomic_signal_fence(std::memory_order_seq_cst);
    std::memcpy(s_earlyRemove, path, length + 1);
    std::atomic_signal_fence(std::memory_order_seq_cst);
    s_earlyRemoveSet = 1;
    return true;
}

SignalQuit *SignalQuit::install(QObject *parent)
{
    if (s_active)
        return nullptr;
    auto *q = new SignalQuit(parent);
    if (!q->setUp()) {
        delete q;
        return nullptr;
    }
    return q;
}

SignalQuit::SignalQuit(QObject *parent)
    : QObject(parent)
{
}

bool SignalQuit::setUp()
{
    int fds[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0, fds) != 0) {
        qCWarning(lcApp) << "no socket pair for signal handling:" << qt_error_string(errno);
        return false;
    }
    m_fds = { fds[0], fds[1] };
    s_writeFd = m_fds[0];
    s_active = true;

    m_notifier = new QSocketNotifier(m_fds[1], QSocketNotifier::Read, this);
    connect(m_notifier, &QSocketNotifier::activated, this, &SignalQuit::drain);

    struct sigaction sa {};
    sa.sa_handler = onQuitSignal;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = SA_RESTART;
    for (size_t i = 0; i < kSignals.size(); ++i) {
        const int sig = kSignals[i];
        if (::sigaction(sig, nullptr, &m_previous[i]) != 0) {
            qCWarning(lcApp) << "cannot handle signal" << sig << qt_error_string(errno);
            return false;
        }
        // Started under nohup, or in the background by a shell: the hang-up
        // or Ctrl+C was meant to pass it by, so it stays ignored. A stop
        // (SIGTERM) is always taken, so the settings are still stored.
        if (sig != SIGTERM && m_previous[i].sa_handler == SIG_IGN)
            continue;
        if (::sigaction(sig, &sa, nullptr) != 0) {
            qCWarning(lcApp) << "cannot handle signal" << sig << qt_error_string(errno);
            return false;
        }
        m_handled[i] = true;
    }
    // A log reader that went away (stderr on a pipe) must not kill the
    // program with SIGPIPE before it has closed its port and stored its
    // state; the write just fails.
    struct sigaction ignore {};
    ignore.sa_handler = SIG_IGN;
    sigemptyset(&ignore.sa_mask);
    if (::sigaction(SIGPIPE, &ignore, &m_previousPipe) == 0)
        m_pipeIgnored = true;
    return true;
}

SignalQuit::~SignalQuit()
{
    // Handlers first, so no signal writes to a closed descriptor.
    if (m_pipeIgnored)
        ::sigaction(SIGPIPE, &m_previousPipe, nullptr);
    for (size_t i = kSignals.size(); i-- > 0;) {
        if (m_handled[i])
            ::sigaction(kSignals[i], &m_previous[i], nullptr);
    }
    if (m_fds[0] >= 0) {
        s_writeFd = -1;
        s_active = false;
        delete m_notifier;
        ::close(m_fds[0]);
        ::close(m_fds[1]);
    }
}

void SignalQuit::drain()
{
    unsigned char buf[64];
    ssize_t n;
    bool any = false;
    while ((n = ::read(m_fds[1], buf, sizeof buf)) > 0 || (n < 0 && errno == EINTR)) {
        for (ssize_t i = 0; i < n; ++i) {
            qCInfo(lcApp) << "signal" << int(buf[i]) << "received, shutting down";
            emit received(int(buf[i]));
            any = true;
        }
    }
    if (any)
        QCoreApplication::quit();
}

#else // Windows has none of these signals: nothing to install.

void SignalQuit::stopEarlyUntilInstalled()
{
}

bool SignalQuit::removeOnEarlyStop(const char *)
{
    return false;
}

SignalQuit *SignalQuit::install(QObject *)
{
    return nullptr;
}

SignalQuit::SignalQuit(QObject *parent)
    : QObject(parent)
{
}

SignalQuit::~SignalQuit() = default;

bool SignalQuit::setUp()
{
    return false;
}

void SignalQuit::drain()
{
}

#endif
