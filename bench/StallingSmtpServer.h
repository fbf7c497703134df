#pragma once

#include <QSemaphore>
#include <QThread>

#include <atomic>

namespace NVL::Engineering::VK::Bench {

// An SMTP server on 127.0.0.1 that takes its time: every reply, the greeting included, comes a fixed
// delay after the line it answers, like a tarpitting or greylisting provider; with a negative delay it
// accepts connections and never says a word. Runs its own event loop on its own thread.
class StallingSmtpServer : public QThread
{
public:
    explicit StallingSmtpServer(int replyDelayMs);
    ~StallingSmtpServer() override;

    // Starts the thread and waits until the port is known; false when it could not listen.
    bool startListening();
    quint16 port() const { return m_port; }
    // Messages completed with the final dot and answered.
    int messagesAccepted() const { return m_accepted.load(); }
    int connectionsAccepted() const { return m_connections.load(); }

protected:
    void run() override;

private:
    const int m_delayMs;
    QSemaphore m_ready;
    quint16 m_port = 0;
    std::atomic<int> m_accepted{0};
    std::atomic<int> m_connections{0};
};

} // namespace NVL::Engineering::VK::Bench
