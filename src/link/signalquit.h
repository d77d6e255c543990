#pragma once

#include <QObject>

#include <array>
#include <csignal>

class QSocketNotifier;

// Ends the event loop in order when the session ends or the service is
// stopped. A logout or a service stop sends SIGTERM, which would otherwise
// kill the display before the main window's destructor stores the settings.
// The handler only writes the signal number into a socket pair; the reading
// end is watched by the event loop, which then quits the application (exit
// code 0) so the window is destroyed and the settings written as usual.
class SignalQuit : public QObject
{
    Q_OBJECT
public:
    // Installs the handlers for SIGTERM, SIGINT and SIGHUP, leaving SIGINT
    // and SIGHUP ignored where they were ignored at start (nohup), and
    // ignores SIGPIPE. Returns nullptr
    // when an instance is already installed or the socket pair cannot be made,
    // and always on Windows, which has no such signals.
    // The object belongs to parent; destroying it restores the handlers that
    // were there before.
    static SignalQuit *install(QObject *parent = nullptr);
    // Call first thing in main, before any thread starts: until install()
    // (or the end of the program) a stop is held back, not fatal. Without
    // it a SIGTERM in the second or so the toolkit takes to start would
    // kill the display with its lock and settings half done; held, it
    // arrives at install() and ends the event loop in order. Threads
    // started meanwhile keep the signals blocked, so they reach the GUI
    // thread's handler. Does nothing on Windows.
    static void holdUntilInstalled();
    ~SignalQuit() override;

#ifdef Q_OS_UNIX
    static constexpr std::array<int, 3> kSignals { SIGTERM, SIGINT, SIGHUP };
#endif

signals:
    // Emitted for each signal, on the GUI thread, just before quitting.
    void received(int signalNumber);

private:
    explicit SignalQuit(QObject *parent);
    bool setUp();
    void drain();

    std::array<int, 2> m_fds { -1, -1 };
#ifdef Q_OS_UNIX
    std::array<struct sigaction, 3> m_previous {};
    std::array<bool, 3> m_handled {};   // which of kSignals carry our handler
    struct sigaction m_previousPipe {};
    bool m_pipeIgnored = false;
#endif
    QSocketNotifier *m_notifier = nullptr;
};
