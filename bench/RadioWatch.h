#pragma once

#include <QThread>

#include <atomic>

namespace NVL::Engineering::VK::Bench {

// A radio that asks for the version again and again on a thread of its own, so that the longest wait for
// a reply can be read while the main thread waits for a long answer of the server's.
class RadioWatch : public QThread
{
public:
    explicit RadioWatch(quint16 port);
    ~RadioWatch() override;

    // Back to zero: the next figure covers what happens from now on.
    void resetSlowest() { m_slowestMicros.store(0); }
    double slowestMs() const { return double(m_slowestMicros.load()) / 1000.0; }
    int replies() const { return m_replies.load(); }
    bool failed() const { return m_failed.load(); }

protected:
    void run() override;

private:
    const quint16 m_port;
    std::atomic<bool> m_stop{false};
    std::atomic<bool> m_failed{false};
    std::atomic<qint64> m_slowestMicros{0};
    std::atomic<int> m_replies{0};
};

} // namespace NVL::Engineering::VK::Bench
