#pragma once

#include "Forecast.h"

#include <QByteArray>
#include <QHash>
#include <QSet>
#include <QTimer>

namespace NVL::Engineering::VK {

class FleetIndex;
class PostgresBatteryStore;

// The forecasts this server fits, written to the shared database while it holds the planner's lock (every
// server fits the same ones from the same points; one writes them), a slice per event-loop turn: a
// start that fits a whole fleet would otherwise hold the radios for one upsert of all of it. A battery
// fitted again before its turn is written once, as it stands then.
class SharedForecastWriter
{
public:
    static constexpr int RowsPerTurn = 500;
    // After a failed write, while the database cannot be reached.
    static constexpr int RetryMs = 5000;

    SharedForecastWriter(PostgresBatteryStore &store, const FleetIndex &fleet);
    void fitted(const QHash<QByteArray, Forecast> &forecasts);

private:
    void writeSome();

    PostgresBatteryStore &m_store;
    const FleetIndex &m_fleet;
    QSet<QByteArray> m_pending;
    QTimer m_turn;
    QString m_lastError; // told once until a write succeeds
};

} // namespace NVL::Engineering::VK
