#pragma once

namespace NVL::Engineering::VK {

// Turns SIGTERM and SIGINT into stop requests that a thread waits for. The signal handler only
// writes the signal's number into a pipe (async-signal-safe). One instance at a time; the previous
// dispositions come back when it is destroyed.
class StopSignalPipe
{
public:
    StopSignalPipe();
    ~StopSignalPipe();

    StopSignalPipe(const StopSignalPipe &) = delete;
    StopSignalPipe &operator=(const StopSignalPipe &) = delete;

    bool isValid() const { return m_valid; }

    // Blocks until a stop signal arrived (answers its number) or wake() was called (answers 0).
    int wait();
    // The end that becomes readable when a stop signal arrived, for an event loop to watch; -1 when
    // not valid.
    int descriptor() const;
    // Ends a wait without a signal.
    void wake();

private:
    bool m_valid = false;
};

} // namespace NVL::Engineering::VK
