#pragma once

#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>

namespace NVL::Engineering::VK {

// The thread that blocks in the service manager's dispatcher for the service's lifetime. Built on
// standard threads so that thread sanitizers see its end as the hand-over it is.
class HandlerThread
{
public:
    explicit HandlerThread(std::function<void()> body);
    // Joins; only to be destroyed once finished (see isFinished).
    ~HandlerThread();

    HandlerThread(const HandlerThread &) = delete;
    HandlerThread &operator=(const HandlerThread &) = delete;

    void start();
    // Waits at most timeoutMs (negative: without limit) for the body to return; true if it has.
    bool wait(int timeoutMs = -1);
    bool isFinished() const;

private:
    std::function<void()> m_body;
    std::thread m_thread;
    mutable std::mutex m_mutex;
    std::condition_variable m_finishedChanged;
    bool m_finished = false;
};

} // namespace NVL::Engineering::VK
