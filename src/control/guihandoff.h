#pragma once

#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>

class QObject;

// Runs a function on the GUI thread for a server thread, and waits for it
// with a way out: the wait ends when the function has run, when the time is
// up, or when stop() is called. A call that ends without running its
// function never runs it later, so a caller that gave up has changed nothing.
//
// The server's threads are joined when it stops; stop() comes first, so
// none of them waits for a GUI thread that is itself waiting for them.
class GuiHandoff
{
public:
    // `context` lives on the GUI thread; the functions run in its event loop.
    explicit GuiHandoff(QObject *context);
    ~GuiHandoff();

    GuiHandoff(const GuiHandoff &) = delete;
    GuiHandoff &operator=(const GuiHandoff &) = delete;

    // From a thread other than the context's. True when `fn` has run.
    bool call(std::function<void()> fn, int timeoutMs);

    // From the GUI thread: ends every wait, drops what is queued, and makes
    // later calls return false at once.
    void stop();

private:
    struct Shared
    {
        std::mutex mutex;
        std::condition_variable done;
        bool stopped = false;
    };
    QObject *m_context;
    std::shared_ptr<Shared> m_shared;
};
