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
    // Call first thing in main. Until install(), a stop ends the program
    // at once with exit code 0, removing the file named by
    // removeOnEarlyStop() (the instance lock) if there is one: before the
    // window exists there is nothing to store, and the toolkit may take a
    // while to start (or hang on a server that does not answer). Without
    // this a stop in that time killed the program by the signal and left
    // its lock behind. Ignored SIGINT and SIGHUP stay ignored, as in
    // install(). Does nothing on Windows.
    static void stopEarlyUntilInstalled();
    // The file to remove on an early stop; call it only once the file is
    // ours. Returns false when the path is too long to keep.
    static bool removeOnEarlyStop(const char *path);
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
