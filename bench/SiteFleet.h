#pragma once

#include "FleetIndex.h"
#include "SiteMap.h"

#include <QString>

#include <optional>
#include <vector>

namespace NVL::Engineering::VK::Bench {

// A fleet of known truth spread over charging sites (WearTruth's batteries, fitted by the server's
// forecast): some whole sites wear their batteries faster by a known factor, some sites have one faulty
// charger among several, and some batteries stopped reporting. Dates are shifted to the real today, so
// that the server's own clock reads them. The forecasts' bands come from the fleet's own track record.
struct SiteFleet
{
    struct Site
    {
        QString name;
        int chargers = 1;
        double wear = 1.0;     // of every charger of the site
        int faultyCharger = -1; // one charger wearing `chargerWear` times faster, or none
        double chargerWear = 1.0;
    };
    struct Truth
    {
        int site = 0;
        int charger = 0;
        double wear = 1.0;       // of its place: site and charger
        double individual = 1.0; // of the battery alone, as a cell of a bad batch wears
        double pace = 0;         // points a year it loses today
        bool typeB = false;
        bool knee = false;       // past a knee: its pace is judged among those of its shape
        std::optional<qint64> crossingDay; // local day the truth reaches the boundary; empty: beyond ten years
        int quietDays = 0;                 // days since its last report
    };

    static constexpr double Factors[] = {1.3, 1.5, 2.0};
    static constexpr int FaultyPerFactor = 20;
    // Batteries that wear faster on their own, wherever they charge: one in a hundred, 2 to 5 times.
    static constexpr double LoneShare = 0.01;
    // Batteries whose forecasts are replayed for the fleet's track record, as the server's daily pass does.
    static constexpr int TrackRecordSample = 20000;

    std::vector<Site> sites;
    std::vector<Truth> truths; // in the order of the index's entries
    FleetIndex fleet;
    SiteMap map;
    qint64 today = 0;
    double fitSeconds = 0;

    static SiteFleet make(quint32 seed, int batteries, int siteCount);
    // The address of a site's charger: 10.<site / 250>.<site % 250>.<charger + 1>, the site 10.x.y.0/24.
    static QByteArray chargerAddress(int site, int charger);
};

} // namespace NVL::Engineering::VK::Bench
