#include "SharedHistoryRetention.h"

#include "HistoryWorker.h"
#include "LocalDays.h"
#include "Log.h"
#include "PostgresBatteryStore.h"

#include <QTimeZone>

namespace NVL::Engineering::VK {

SharedHistoryRetention::SharedHistoryRetention(PostgresBatteryStore &store, int years)
    : m_store(store), m_years(years)
{
}

void SharedHistoryRetention::step()
{
    if (!m_store.isConnected())
        return;
    if (!m_running) {
        const qint64 today = LocalDays::today();
        const auto thinnedBefore = today == m_day ? std::nullopt : PostgresRetention::thinnedBefore(m_store.database());
        if (!thinnedBefore)
            return;
        m_day = today;
        m_running = true;
        const HistoryWorker::PassDates dates = HistoryWorker::passDates(today, m_years);
        m_pass.cutoff = dates.cutoff;
        m_pass.removeBefore = dates.removeBefore;
        m_pass.examineFrom = std::min(*thinnedBefore, m_pass.cutoff);
        m_pass.zone = QString::fromUtf8(QTimeZone::systemTimeZoneId());
        m_after.clear();
        m_removed = 0;
        m_clock.start();
    }
    const auto slice = PostgresRetention::thin(m_store.database(), m_after, BatteriesPerSlice, m_pass);
    if (!slice) {
        m_running = false; // again tomorrow, or after the next start
        return;
    }
    m_removed += slice->removed;
    m_after = slice->last;
    if (!m_after.isEmpty())
        return;
    m_running = false;
    PostgresRetention::setThinnedBefore(m_store.database(), m_pass.cutoff);
    Log::information(QStringLiteral("Shared history retention done: %1 point(s) removed from the shared database in %2 s")
                         .arg(m_removed)
                         .arg(double(m_clock.elapsed()) / 1000.0, 0, 'f', 1));
}

} // namespace NVL::Engineering::VK
