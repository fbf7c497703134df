#pragma once

#include <QtGlobal>

namespace NVL::Engineering::VK {

// Processor time of the calling thread: what one kind of the history's work costs, told apart from the
// other work that shares its thread.
class ThreadCpuClock
{
public:
    ThreadCpuClock() { start(); }
    void start() { m_started = now(); }
    qint64 elapsedNanoseconds() const { return now() - m_started; }

    static qint64 now();

private:
    qint64 m_started = 0;
};

} // namespace NVL::Engineering::VK
