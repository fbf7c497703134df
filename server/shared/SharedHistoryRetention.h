#pragma once

#include "PostgresRetention.h"

#include <QByteArray>
#include <QElapsedTimer>

namespace NVL::Engineering::VK {

class PostgresBatteryStore;

// The shared database's daily retention pass, done by the server that holds the planner's lock, a
// slice of batteries per call so that the radios never wait for a whole fleet's points.
class SharedHistoryRetention
{
public:
    static constexpr int BatteriesPerSlice = 200;

    SharedHistoryRetention(PostgresBatteryStore &store, int years);
    // Starts the day's pass on a new local day, or goes on with it.
    void step();

private:
    PostgresBatteryStore &m_store;
    const int m_years;
    qint64 m_day = -1;
    bool m_running = false;
    PostgresRetention::Pass m_pass;
    QByteArray m_after;
    qint64 m_removed = 0;
    QElapsedTimer m_clock;
};

} // namespace NVL::Engineering::VK
