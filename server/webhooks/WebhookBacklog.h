#pragma once

#include <QElapsedTimer>
#include <QSet>
#include <QtGlobal>

#include <utility>

namespace NVL::Engineering::VK {

// The events handed to the outbox's thread and not yet written, with a bound: past it a battery's class
// and lasting states are no longer told report by report but kept here, and told as they stand once the
// outbox caught up. A peer that flips batteries between classes faster than documents are made must not
// grow the hand-over without end. Threads: the event loop's alone.
class WebhookBacklog
{
public:
    static constexpr qint64 DefaultBound = 16384;

    void setBound(qint64 events) { m_bound = events; }
    void handedOver(qint64 events) { m_events += events; }
    // True when this brought it well under the bound after it was behind: time to tell what was held.
    bool handedBack(qint64 events);
    // Whether it is past its bound, with `coming` events about to be handed over; entering that is logged,
    // once a minute at most.
    bool behind(qint64 coming = 0);

    void holdClass(quint64 battery) { m_classes.insert(battery); }
    void holdStates(quint64 battery) { m_states.insert(battery); }
    QSet<quint64> takeClasses() { return std::exchange(m_classes, {}); }
    QSet<quint64> takeStates() { return std::exchange(m_states, {}); }

private:
    qint64 m_events = 0;
    qint64 m_bound = DefaultBound;
    bool m_behind = false;
    QSet<quint64> m_classes; // whose class changed while behind
    QSet<quint64> m_states;  // whose states may have moved while behind
    QElapsedTimer m_logged;
};

} // namespace NVL::Engineering::VK
