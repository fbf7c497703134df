#pragma once

#include "Forecast.h"
#include "ForecastAccuracy.h"

#include <QList>

namespace NVL::Engineering::VK {

// The fleet's track record, collected a battery at a time: each battery's forecasts as they would have
// been 30, 60, 90 and 180 days ago, against the weeks it reported since. Judged with the table in force
// (`inForce`), so that the band hit rate says how the bands people saw did; accuracy() is the new table.
class ForecastTrackRecord
{
public:
    explicit ForecastTrackRecord(int boundary, const ForecastAccuracy &inForce = ForecastAccuracy::prior());

    // The battery's daily points, oldest first, as ForecastFit reads them.
    void replay(const QList<DailyHealth> &days);
    qint64 batteries() const { return m_batteries; }
    ForecastAccuracy accuracy() const;

private:
    int m_boundary;
    ForecastAccuracy m_inForce;
    ForecastAccuracy m_collected;
    qint64 m_batteries = 0;
};

} // namespace NVL::Engineering::VK
