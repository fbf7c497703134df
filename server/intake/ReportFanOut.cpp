#include "ReportFanOut.h"

#include "FleetIndex.h"
#include "HealthFall.h"
#include "HistoryKeeper.h"
#include "InsightKeeper.h"
#include "Webhooks.h"

#include <QHash>

namespace NVL::Engineering::VK {

QList<ReportFanOut::Replaced> ReportFanOut::replacedBy(const QList<BatteryRecord> &reports) const
{
    QList<Replaced> replaced;
    replaced.reserve(reports.size());
    QHash<quint64, qsizetype> inGroup;
    inGroup.reserve(reports.size());
    for (qsizetype i = 0; i < reports.size(); ++i) {
        const quint64 key = FleetIndex::orderKey(reports[i].serial);
        const auto earlier = inGroup.find(key);
        if (earlier != inGroup.end()) {
            const BatteryRecord &before = reports[*earlier];
            replaced.append(isValidRecord(before) ? Replaced(before) : std::nullopt);
            *earlier = i;
        } else {
            const FleetIndex::Entry *entry = m_fleet.find(key);
            replaced.append(entry ? Replaced(entry->record) : std::nullopt);
            inGroup.insert(key, i);
        }
    }
    return replaced;
}

void ReportFanOut::setHistory(HistoryKeeper *history)
{
    QObject::disconnect(m_loaded);
    QObject::disconnect(m_fitted);
    m_history = history;
    if (!history)
        return;
    const auto take = [this](const QHash<QByteArray, Forecast> &forecasts) { takeForecasts(forecasts); };
    m_loaded = QObject::connect(history, &HistoryKeeper::forecastsLoaded, history, take);
    m_fitted = QObject::connect(history, &HistoryKeeper::forecastsFitted, history, take);
}

void ReportFanOut::takeForecasts(const QHash<QByteArray, Forecast> &forecasts)
{
    m_fleet.setForecasts(forecasts);
    if (m_insight)
        m_insight->forecastsChanged(forecasts.size());
    // A battery may have become due while the server was stopped: the loaded ones count too.
    if (m_webhooks)
        m_webhooks->forecastsChanged(forecasts.keys());
}

void ReportFanOut::stored(const QList<BatteryRecord> &reports, const QList<QByteArray> &senders,
                          const QList<Replaced> &replaced)
{
    take({reports, senders, reports, {}, reports, replaced});
}

void ReportFanOut::take(const Intake &intake)
{
    Q_ASSERT(intake.replaced.size() == intake.alerted.size());
    m_fleet.update(intake.changed);
    for (const QByteArray &serial : intake.removed) {
        m_fleet.remove(serial);
        if (m_insight)
            m_insight->batteryRemoved();
        if (m_history)
            m_history->removeBattery(serial);
    }
    if (m_insight && !intake.changed.isEmpty())
        m_insight->fleetChanged();
    if (m_history && !intake.points.isEmpty()) // written on the history's thread
        m_history->record(intake.points, intake.senders);
    if (m_healthFell) {
        for (qsizetype i = 0; i < intake.alerted.size(); ++i) {
            if (healthFell(intake.replaced.value(i), intake.alerted[i]))
                m_healthFell(intake.alerted[i]);
        }
    }
    // Written to the outbox now, right after the store's commit of the same reports.
    if (m_webhooks)
        m_webhooks->reportsStored(intake.alerted, intake.replaced);
}

void ReportFanOut::removed(const QByteArray &serial)
{
    take({{}, {}, {}, {serial}, {}, {}});
}

} // namespace NVL::Engineering::VK
