#pragma once

#include <QSemaphore>
#include <QThread>

#include <atomic>

namespace NVL::Engineering::VK::Bench {

// Peers that keep a message always half sent: each sends one byte of a version request every 400 ms,
// never pausing long enough for the server's 500 ms read time-out, over and over. Runs its own event
// loop on its own thread.
class TricklePeers : public QThread
{
public:
    static constexpr int ByteIntervalMs = 400;

    TricklePeers(quint16 port, int peers);
    ~TricklePeers() override;

    // Starts the thread and waits until every peer is connected and has sent its first byte.
    bool startTrickling();
    int connected() const { return m_connected.load(); }
    // Version replies received: each is a trickled message the server completed.
    int repliesReceived() const { return m_replies.load(); }

protected:
    void run() override;

private:
    const quint16 m_port;
    const int m_peers;
    QSemaphore m_ready;
    std::atomic<int> m_connected{0};
    std::atomic<int> m_replies{0};
};

} // namespace NVL::Engineering::VK::Bench
