#pragma once

#include <QDeadlineTimer>
#include <QElapsedTimer>
#include <QObject>
#include <QThread>

#include <atomic>

class QTcpServer;

namespace NVL::Engineering::VK::Bench {

// A webhook receiver on loopback, on a thread of its own so that it answers while the benchmark's thread
// sends reports: takes every POST whole and answers 204, counting them.
class WebhookReceiver
{
public:
    WebhookReceiver();
    ~WebhookReceiver();
    WebhookReceiver(const WebhookReceiver &) = delete;
    WebhookReceiver &operator=(const WebhookReceiver &) = delete;

    quint16 port() const { return m_port; }
    qint64 received() const { return m_received.load(); }
    // When the last post came, on QElapsedTimer's monotonic clock (msecsSinceReference).
    qint64 lastReceivedMs() const { return m_last.load(); }
    // Until no post came for quietMs, or the deadline.
    void waitUntilQuiet(int quietMs, const QDeadlineTimer &deadline) const;

private:
    QThread m_thread;
    QTcpServer *m_server = nullptr; // lives on m_thread
    quint16 m_port = 0;
    std::atomic<qint64> m_received{0};
    std::atomic<qint64> m_last{0};
};

} // namespace NVL::Engineering::VK::Bench
