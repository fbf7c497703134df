#pragma once

#include <QString>

#include <atomic>
#include <memory>

class QThread;

// Guards a test that hands a FIFO to code which must not block on it: after a grace period it
// opens the FIFO for writing whenever a reader waits there, and so releases that reader. A test
// that finds it had to release somebody has found a blocking read, and never hangs on one.
class FifoWatchdog
{
public:
    FifoWatchdog(const QString &fifoPath, int graceMs = 3000);
    ~FifoWatchdog();

    FifoWatchdog(const FifoWatchdog &) = delete;
    FifoWatchdog &operator=(const FifoWatchdog &) = delete;

    // Stops watching; true when a reader had been waiting on the FIFO and was released.
    bool stop();

private:
    std::atomic<bool> m_stop{false};
    std::atomic<bool> m_released{false};
    std::unique_ptr<QThread> m_thread;
};
