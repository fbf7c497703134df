#include "SharedForecastWriter.h"

#include "FleetIndex.h"
#include "Log.h"
#include "PostgresBatteryStore.h"
#include "PostgresForecasts.h"

namespace NVL::Engineering::VK {

SharedForecastWriter::SharedForecastWriter(PostgresBatteryStore &store, const FleetIndex &fleet)
    : m_store(store), m_fleet(fleet)
{
    m_turn.setSingleShot(true);
    QObject::connect(&m_turn, &QTimer::timeout, [this] { writeSome(); });
}

void SharedForecastWriter::fitted(const QHash<QByteArray, Forecast> &forecasts)
{
    for (auto it = forecasts.cbegin(); it != forecasts.cend(); ++it)
        m_pending.insert(it.key());
    if (!m_turn.isActive())
        m_turn.start(0);
}

void SharedForecastWriter::writeSome()
{
    QList<PostgresForecasts::Row> rows;
    QList<QByteArray> taken;
    for (auto it = m_pending.cbegin(); it != m_pending.cend() && taken.size() < RowsPerTurn; ++it) {
        taken.append(*it);
        // The fleet's forecast is the newest fit; a battery deleted meanwhile has none to write.
        const FleetIndex::Entry *entry = m_fleet.find(*it);
        if (entry && entry->forecast)
            rows.append({*it, qint64(entry->record.reportTime), *entry->forecast});
    }
    QString error;
    if (!m_store.isConnected() || !PostgresForecasts::save(m_store.database(), rows, error)) {
        if (!error.isEmpty() && error != m_lastError)
            Log::warning(QStringLiteral("Forecasts not written to the shared database: %1").arg(error));
        m_lastError = error;
        m_turn.start(RetryMs);
        return;
    }
    m_lastError.clear();
    for (const QByteArray &serial : std::as_const(taken))
        m_pending.remove(serial);
    if (!m_pending.isEmpty())
        m_turn.start(0);
}

} // namespace NVL::Engineering::VK
