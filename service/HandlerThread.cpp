#include "HandlerThread.h"

#include <chrono>

namespace NVL::Engineering::VK {

HandlerThread::HandlerThread(std::function<void()> body)
    : m_body(std::move(body))
{
}

HandlerThread::~HandlerThread()
{
    if (m_thread.joinable())
        m_thread.join();
}

void HandlerThread::start()
{
    m_thread = std::thread([this] {
        m_body();
        // The body's captures go with the thread, not with whoever deletes this object later.
        m_body = nullptr;
        const std::lock_guard<std::mutex> lock(m_mutex);
        m_finished = true;
        m_finishedChanged.notify_all();
    });
}

bool HandlerThread::wait(int timeoutMs)
{
    std::unique_lock<std::mutex> lock(m_mutex);
    if (timeoutMs < 0)
        m_finishedChanged.wait(lock, [this] { return m_finished; });
    else
        m_finishedChanged.wait_for(lock, std::chrono::milliseconds(timeoutMs), [this] { return m_finished; });
    return m_finished;
}

bool HandlerThread::isFinished() const
{
    const std::lock_guard<std::mutex> lock(m_mutex);
    return m_finished;
}

} // namespace NVL::Engineering::VK
