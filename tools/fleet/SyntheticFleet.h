#pragma once

#include "BatteryRecord.h"
#include "HistoryPoint.h"

#include <QList>
#include <QString>

#include <random>

namespace NVL::Engineering::VK {

// A made-up fleet with a believable past: capacity fading with cycles at rates that vary from battery to
// battery, daily noise, a few outliers, a few batteries ageing fast and a few new ones. Its radios dock
// at the chargers of a few sites, one of which wears its batteries faster, as does one charger of another;
// a few batteries have gone silent. The same seed gives the same fleet.
class SyntheticFleet
{
public:
    struct Options
    {
        int batteries = 100;
        int days = 365;
        // The newest days get several reports a day, as a radio docking now and then would send;
        // older days one, as the server's thinning leaves them.
        int denseDays = 30;
        quint32 seed = 1;
        qint64 now = 0; // seconds since the epoch; 0: the current time
        // Batteries that have not reported for 15 to 60 days.
        double silentShare = 0.03;
    };

    // The sites the fleet's chargers stand at: 10.1.<site>.<charger> for the site's 2 to 4 chargers.
    static constexpr int Sites = 6;
    static const char *siteName(int site);
    // The [sites] section of vk.cfg that names them.
    static QString sitesSection();
    // Names for the two type codes it writes.
    static QString typesSection();
    // How much faster than its type a battery charged at `charger` of `site` wears.
    static double wearAt(int site, int charger);

    struct Battery
    {
        QList<HistoryPoint> points; // ascending time
        BatteryRecord newest;       // the record of the newest point, as vk.db keeps it
    };

    struct Result
    {
        bool ok = false;
        qint64 points = 0;
        QString error;
    };

    explicit SyntheticFleet(const Options &options);

    Battery battery(int index);
    // Writes vk.db (newest record of each battery) and vk-history.db (points and forecasts) into the
    // server's data folder; the server must be stopped. boundary as [history] boundary.
    Result write(const QString &dataFolder, int boundary);

private:
    Options m_options;
    std::mt19937 m_random;
};

} // namespace NVL::Engineering::VK
