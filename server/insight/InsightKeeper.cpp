#include "InsightKeeper.h"

#include "FleetIndex.h"

#include <QDateTime>
#include <QElapsedTimer>

namespace NVL::Engineering::VK {

InsightKeeper::InsightKeeper(const FleetIndex &fleet, InsightSettings settings, QObject *parent)
    : QObject(parent)
    , m_fleet(fleet)
    , m_settings(std::move(settings))
    , m_worker(new QObject)
{
    m_thread.setObjectName(QStringLiteral("insight"));
    m_worker->moveToThread(&m_thread);
    connect(&m_thread, &QThread::finished, m_worker, &QObject::deleteLater);
    m_thread.start(QThread::LowPriority);
    m_timer.setInterval(RefreshMs);
    connect(&m_timer, &QTimer::timeout, this, [this] {
        // A silence grows with time alone: a quiet fleet is analysed again too, only less often.
        if (m_changed || !m_result || m_result->asOf + 10 * RefreshMs / 1000 <= QDateTime::currentSecsSinceEpoch())
            refresh();
    });
    m_timer.start();
}

InsightKeeper::~InsightKeeper()
{
    m_thread.quit();
    m_thread.wait();
}

void InsightKeeper::refresh()
{
    if (m_running)
        return;
    m_running = true;
    m_changed = false;
    m_building = std::make_shared<FleetSnapshot>();
    m_next = 0;
    m_sliceMs = 0;
    copySlice();
}

void InsightKeeper::batteryRemoved()
{
    fleetChanged();
    if (m_building) {
        m_building->batteries.clear();
        m_next = 0;
    }
}

void InsightKeeper::copySlice()
{
    QElapsedTimer clock;
    clock.start();
    const std::deque<FleetIndex::Entry> &entries = m_fleet.entries();
    const std::size_t end = std::min(m_next + SliceEntries, entries.size());
    for (; m_next < end; ++m_next)
        m_building->take(entries[m_next]);
    m_sliceMs = std::max(m_sliceMs, clock.elapsed());
    if (m_next < entries.size()) {
        QTimer::singleShot(0, this, &InsightKeeper::copySlice);
        return;
    }
    m_building->stamp();
    std::shared_ptr<const FleetSnapshot> snapshot = std::move(m_building);
    QMetaObject::invokeMethod(m_worker, [this, snapshot, settings = m_settings] {
        auto result = std::make_shared<const InsightResult>(InsightResult::of(*snapshot, settings));
        // Queued to this object: dropped, not delivered, if it is gone by then.
        QMetaObject::invokeMethod(this, [this, result] { finished(result); }, Qt::QueuedConnection);
    });
}

void InsightKeeper::finished(std::shared_ptr<const InsightResult> result)
{
    m_running = false;
    m_result = std::move(result);
    emit computed();
}

} // namespace NVL::Engineering::VK
