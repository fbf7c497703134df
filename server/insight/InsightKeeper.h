#pragma once

#include "InsightResult.h"
#include "InsightSettings.h"

#include <QObject>
#include <QTimer>

#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>

namespace NVL::Engineering::VK {

class FleetIndex;

// Keeps insight current: a snapshot of the fleet model is taken on the event loop in slices (a plain copy,
// given back to the system once analysed) and analysed on a thread of its own, so that radios never wait long for it. A
// new analysis starts at once at start and then every RefreshMs while the fleet changes. Snapshot and
// result cross between the threads under a mutex, which ThreadSanitizer sees, not inside Qt's events.
class InsightKeeper : public QObject
{
    Q_OBJECT

public:
    static constexpr int RefreshMs = 60 * 1000;
    // Entries copied in one turn of the event loop: some milliseconds.
    static constexpr std::size_t SliceEntries = 8192;
    static constexpr int ReadyCheckMs = 1000;
    // The share of the fleet's forecasts whose change makes a new analysis at once, in tenths.
    static constexpr qsizetype LargeShareTenths = 1;
    // The line each analysis logs is repeated no more often than this while it says the same.
    static constexpr qint64 SameLogSeconds = 3600;

    InsightKeeper(const FleetIndex &fleet, InsightSettings settings, QObject *parent = nullptr);
    ~InsightKeeper() override;

    const InsightSettings &settings() const { return m_settings; }
    // Empty until the first analysis is done.
    std::shared_ptr<const InsightResult> result() const { return m_result; }
    // Whether the forecasts the start loads and fits are all in the fleet model: until then no analysis
    // runs (an analysis of unfitted forecasts would look valid and be wrong) and every answer is pending.
    // Checked every ReadyCheckMs while it says no.
    void setReady(std::function<bool()> ready);
    bool pending() const { return !m_result; }
    // The fleet changed: the next refresh analyses it again.
    void fleetChanged() { m_changed = true; }
    // Forecasts changed: a large share of the fleet's at once (a pass that refitted them) is analysed
    // again at once rather than at the next refresh.
    void forecastsChanged(qsizetype count);
    // A battery left the index, whose last entry took its place: a snapshot being taken starts over.
    void batteryRemoved();
    // An analysis now unless one runs.
    void refresh();
    // The longest turn of the event loop spent on the last snapshot.
    qint64 snapshotSliceMs() const { return m_sliceMs; }

signals:
    void computed();

private:
    bool ready() const { return !m_ready || m_ready(); }
    void copySlice();
    void work();
    void logResult(const InsightResult &result);
    Q_INVOKABLE void takeResult();

    const FleetIndex &m_fleet;
    const InsightSettings m_settings; // read by both threads, written by neither
    QTimer m_timer;
    QTimer m_readyCheck;
    std::function<bool()> m_ready;
    qsizetype m_changedForecasts = 0;
    QString m_lastLogged; // the last line logged but its time
    qint64 m_lastLoggedAt = 0;
    std::shared_ptr<const InsightResult> m_result;
    bool m_running = false;
    bool m_changed = true;
    std::shared_ptr<FleetSnapshot> m_building; // the snapshot being taken
    std::size_t m_next = 0;
    qint64 m_sliceMs = 0;

    std::mutex m_mutex;
    std::condition_variable m_wake;
    std::shared_ptr<const FleetSnapshot> m_job;  // guarded by m_mutex
    std::shared_ptr<const InsightResult> m_done; // guarded by m_mutex
    bool m_stopping = false;                     // guarded by m_mutex
    std::thread m_worker;                        // last: started once the rest is made
};

} // namespace NVL::Engineering::VK
