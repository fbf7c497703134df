#include "InsightKeeper.h"

#include "FleetIndex.h"
#include "FreedMemory.h"
#include "Log.h"

#include <QDateTime>
#include <QElapsedTimer>
#include <QThread>

namespace NVL::Engineering::VK {

InsightKeeper::InsightKeeper(const FleetIndex &fleet, InsightSettings settings, QObject *parent)
    : QObject(parent)
    , m_fleet(fleet)
    , m_settings(std::move(settings))
    , m_worker([this] { work(); })
{
    m_timer.setInterval(RefreshMs);
    connect(&m_timer, &QTimer::timeout, this, [this] {
        // A silence grows with time alone: a quiet fleet is analysed again too, only less often.
        if (m_changed || !m_result || m_result->asOf + 10 * RefreshMs / 1000 <= QDateTime::currentSecsSinceEpoch())
            refresh();
    });
    m_timer.start();
    m_readyCheck.setInterval(ReadyCheckMs);
    connect(&m_readyCheck, &QTimer::timeout, this, [this] {
        if (ready()) {
            m_readyCheck.stop();
            refresh();
        }
    });
}

void InsightKeeper::setReady(std::function<bool()> ready)
{
    m_ready = std::move(ready);
}

void InsightKeeper::forecastsChanged(qsizetype count)
{
    m_changed = true;
    m_changedForecasts += count;
    if (m_result && m_changedForecasts * 10 >= qsizetype(m_fleet.size()) * LargeShareTenths)
        refresh();
}

InsightKeeper::~InsightKeeper()
{
    {
        const std::lock_guard<std::mutex> lock(m_mutex);
        m_stopping = true;
    }
    m_wake.notify_one();
    m_worker.join();
}

void InsightKeeper::refresh()
{
    Q_ASSERT(QThread::currentThread() == thread()); // the fleet model is the event loop's
    if (m_running)
        return;
    if (!ready()) {
        m_readyCheck.start();
        return;
    }
    m_running = true;
    m_changed = false;
    m_changedForecasts = 0;
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
    Q_ASSERT(m_building->batteries.size() <= entries.size());
    m_building->stamp();
    {
        const std::lock_guard<std::mutex> lock(m_mutex);
        m_job = std::move(m_building);
    }
    m_wake.notify_one();
}

void InsightKeeper::work()
{
    std::unique_lock<std::mutex> lock(m_mutex);
    for (;;) {
        m_wake.wait(lock, [this] { return m_stopping || m_job; });
        if (m_stopping)
            return;
        std::shared_ptr<const FleetSnapshot> snapshot = std::move(m_job);
        lock.unlock();
        auto result = std::make_shared<const InsightResult>(InsightResult::of(*snapshot, m_settings));
        snapshot.reset();
        // A copy of the whole fleet was just freed: once a minute at most, while the fleet changes.
        FreedMemory::giveBack();
        lock.lock();
        m_done = std::move(result);
        // Queued to this object: dropped, not delivered, if it is gone by then.
        QMetaObject::invokeMethod(this, "takeResult", Qt::QueuedConnection);
    }
}

void InsightKeeper::takeResult()
{
    Q_ASSERT(QThread::currentThread() == thread());
    {
        const std::lock_guard<std::mutex> lock(m_mutex);
        if (!m_done)
            return;
        m_result = std::move(m_done);
    }
    m_running = false;
    logResult(*m_result);
    emit computed();
}

void InsightKeeper::logResult(const InsightResult &result)
{
    const QString line = QStringLiteral("Fleet insight analysed %1 batteries: %2 sites, %3 flagged; %4 chargers and gateways "
                                        "flagged; %5 silent")
                             .arg(result.batteries).arg(result.wear.sites.size()).arg(result.wear.flaggedSites)
                             .arg(result.wear.flaggedAddresses).arg(result.silent.size());
    const qint64 now = QDateTime::currentSecsSinceEpoch();
    if (line == m_lastLogged && now - m_lastLoggedAt < SameLogSeconds)
        return;
    m_lastLogged = line;
    m_lastLoggedAt = now;
    Log::write(line + QStringLiteral(", in %1 ms").arg(result.computeMs), LogType::Information);
}

} // namespace NVL::Engineering::VK
