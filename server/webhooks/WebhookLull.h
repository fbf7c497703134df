#pragma once

#include "BatteryRecord.h"

#include <QElapsedTimer>
#include <QTimer>

#include <cstddef>
#include <deque>
#include <functional>
#include <vector>

namespace NVL::Engineering::VK {

// The reports whose events wait for a lull in the radios: while a burst goes on, each costs the event loop
// a copy, and the events are found, made and written once no report came for QuietMs. The radios' loop and
// the outbox's work then do not compete for the processors while the burst is taken in. The wait is
// bounded: after MaxWaitMs, or with Bound reports waiting, they are told while the burst goes on.
// Threads: the event loop's alone.
class WebhookLull
{
public:
    struct Seen
    {
        BatteryRecord report;
        qint8 previousClass; // -1: the battery's first report
        bool classChanged;
        bool statesMoved;
    };
    static constexpr int QuietMs = 20;
    static constexpr int MaxWaitMs = 1000;
    static constexpr std::size_t Bound = 32768; // 2 MiB of copies

    // `due` is called when the waiting reports are to be told: now, all of them, where `full` (the queue
    // reached its bound), else a slice per loop turn.
    explicit WebhookLull(std::function<void(bool full)> due);

    void add(const Seen &seen) { m_seen.push_back(seen); }
    // After a group of reports was added.
    void added();
    bool empty() const { return m_seen.empty(); }
    // At most `most` of the oldest, in the order seen.
    std::vector<Seen> take(std::size_t most);

private:
    std::deque<Seen> m_seen;
    QTimer m_quiet;
    QElapsedTimer m_oldest;
    std::function<void(bool)> m_due;
};

} // namespace NVL::Engineering::VK
