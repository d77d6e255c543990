#include "guihandoff.h"

#include <QMetaObject>

#include <chrono>

GuiHandoff::GuiHandoff(QObject *parent)
    : QObject(parent)
{
}

GuiHandoff::~GuiHandoff()
{
    stop();
}

bool GuiHandoff::call(std::function<void()> fn, int timeoutMs)
{
    auto request = std::make_shared<Request>();
    request->fn = std::move(fn);
    std::unique_lock<std::mutex> lock(m_mutex);
    if (m_stopped)
        return false;
    m_queue.push_back(request);
    // Posted under the lock: after stop() nothing is posted, so the object
    // may go once the threads that call are joined.
    QMetaObject::invokeMethod(this, "runQueued", Qt::QueuedConnection);

    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    m_done.wait_until(lock, deadline, [&] { return request->stage == Stage::Done || m_stopped; });
    if (request->stage == Stage::Queued || request->stage == Stage::Dropped) {
        request->stage = Stage::Dropped;  // never runs now
        return false;
    }
    // Started: the GUI thread is inside fn and cannot be in stop(), so the
    // end comes soon.
    m_done.wait(lock, [&] { return request->stage == Stage::Done; });
    return true;
}

void GuiHandoff::runQueued()
{
    std::unique_lock<std::mutex> lock(m_mutex);
    while (!m_queue.empty()) {
        const std::shared_ptr<Request> request = m_queue.front();
        m_queue.pop_front();
        if (request->stage != Stage::Queued)
            continue;  // the caller gave up
        request->stage = Stage::Running;
        lock.unlock();
        request->fn();
        lock.lock();
        request->stage = Stage::Done;
        m_done.notify_all();
    }
}

void GuiHandoff::stop()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_stopped = true;
    for (const auto &request : m_queue)
        if (request->stage == Stage::Queued)
            request->stage = Stage::Dropped;
    m_queue.clear();
    m_done.notify_all();
}
