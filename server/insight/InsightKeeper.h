#pragma once

#include "InsightResult.h"
#include "InsightSettings.h"

#include <QObject>
#include <QThread>
#include <QTimer>

#include <memory>

namespace NVL::Engineering::VK {

class FleetIndex;

// Keeps insight current: a snapshot of the fleet model is taken on the event loop in slices (a copy whose
// large parts are shared) and analysed on a thread of its own, so that radios never wait long for it. A
// new analysis starts at once at start and then every RefreshMs while the fleet changes.
class InsightKeeper : public QObject
{
    Q_OBJECT

public:
    static constexpr int RefreshMs = 60 * 1000;
    // Entries copied in one turn of the event loop: some milliseconds.
    static constexpr std::size_t SliceEntries = 8192;

    InsightKeeper(const FleetIndex &fleet, InsightSettings settings, QObject *parent = nullptr);
    ~InsightKeeper() override;

    const InsightSettings &settings() const { return m_settings; }
    // Empty until the first analysis is done.
    std::shared_ptr<const InsightResult> result() const { return m_result; }
    // The fleet changed: the next refresh analyses it again.
    void fleetChanged() { m_changed = true; }
    // A battery left the index, whose last entry took its place: a snapshot being taken starts over.
    void batteryRemoved();
    // An analysis now unless one runs.
    void refresh();
    // The longest turn of the event loop spent on the last snapshot.
    qint64 snapshotSliceMs() const { return m_sliceMs; }

signals:
    void computed();

private:
    void copySlice();
    void finished(std::shared_ptr<const InsightResult> result);

    const FleetIndex &m_fleet;
    const InsightSettings m_settings;
    QThread m_thread;
    QObject *m_worker; // lives on m_thread; deleted when the thread ends
    QTimer m_timer;
    std::shared_ptr<const InsightResult> m_result;
    bool m_running = false;
    bool m_changed = true;
    std::shared_ptr<FleetSnapshot> m_building; // the snapshot being taken
    std::size_t m_next = 0;
    qint64 m_sliceMs = 0;
};

} // namespace NVL::Engineering::VK
