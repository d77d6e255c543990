#include "guihandoff.h"

#include <QMetaObject>
#include <QObject>

#include <chrono>

namespace {

enum class Stage { Queued, Running, Done, Dropped };

}  // namespace

GuiHandoff::GuiHandoff(QObject *context)
    : m_context(context)
    , m_shared(std::make_shared<Shared>())
{
}

GuiHandoff::~GuiHandoff()
{
    stop();
}

bool GuiHandoff::call(std::function<void()> fn, int timeoutMs)
{
    auto stage = std::make_shared<Stage>(Stage::Queued);
    const std::shared_ptr<Shared> shared = m_shared;
    {
        std::lock_guard<std::mutex> lock(shared->mutex);
        if (shared->stopped)
            return false;
    }
    QMetaObject::invokeMethod(
        m_context,
        [shared, stage, fn = std::move(fn)] {
            {
                std::lock_guard<std::mutex> lock(shared->mutex);
                if (*stage != Stage::Queued)
                    return;  // the caller gave up, or the server stops
                *stage = Stage::Running;
            }
            fn();
            std::lock_guard<std::mutex> lock(shared->mutex);
            *stage = Stage::Done;
            shared->done.notify_all();
        },
        Qt::QueuedConnection);

    std::unique_lock<std::mutex> lock(shared->mutex);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    shared->done.wait_until(lock, deadline, [&] { return *stage == Stage::Done || shared->stopped; });
    if (*stage == Stage::Queued) {
        *stage = Stage::Dropped;
        return false;
    }
    // Started: the GUI thread is inside fn and cannot be in stop(), so the
    // end comes soon.
    shared->done.wait(lock, [&] { return *stage == Stage::Done; });
    return true;
}

void GuiHandoff::stop()
{
    std::lock_guard<std::mutex> lock(m_shared->mutex);
    m_shared->stopped = true;
    m_shared->done.notify_all();
}
