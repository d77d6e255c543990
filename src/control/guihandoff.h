#pragma once

#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>

#include <QObject>

// Runs a function on the GUI thread for a server thread, and waits for it
// with a way out: the wait ends when the function has run, when the time is
// up, or when stop() is called. A call that ends without running its
// function never runs it later, so a caller that gave up has changed nothing.
//
// The server's threads are joined when it stops; stop() comes first, so
// none of them waits for a GUI thread that is itself waiting for them.
//
// The functions travel in a queue of ours under a std::mutex, and only a
// wake-up without data goes through Qt's event queue: ThreadSanitizer sees
// every hand-over, where Qt's own locks are hidden from it.
class GuiHandoff : public QObject
{
    Q_OBJECT

public:
    // Made on the GUI thread; the functions run in its event loop.
    explicit GuiHandoff(QObject *parent = nullptr);
    ~GuiHandoff() override;

    // From a thread other than the GUI thread. True when `fn` has run.
    bool call(std::function<void()> fn, int timeoutMs);

    // From the GUI thread: ends every wait, drops what is queued, and makes
    // later calls return false at once.
    void stop();

private slots:
    void runQueued();

private:
    enum class Stage { Queued, Running, Done, Dropped };
    struct Request
    {
        std::function<void()> fn;
        Stage stage = Stage::Queued;
    };

    std::mutex m_mutex;
    std::condition_variable m_done;
    std::deque<std::shared_ptr<Request>> m_queue;
    bool m_stopped = false;
};
