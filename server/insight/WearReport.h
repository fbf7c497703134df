#pragma once

#include <QByteArray>
#include <QList>
#include <QString>

#include <cmath>

namespace NVL::Engineering::VK {

class FleetIndex;

// How fast the batteries of one place fade against the fleet's batteries of the same types. Fade rates
// are points of health percentage lost per year, from each battery's forecast fit.
struct WearGroup
{
    QString name;            // the site's name, or the address
    int batteries = 0;       // that report here mostly
    int compared = 0;        // of them, with a fade rate the fleet's batteries of their type can be compared with
    double medianFade = NAN; // of the compared
    double typeMedianFade = NAN; // the fleet's, for the same batteries' types (median of their types' medians)
    // How many times faster: the factor that, taken out of the place's fades, leaves them ranking like the
    // fleet's of their types (the estimate that goes with the rank test), and the range of factors the test
    // does not reject at 95 %. Under MinimumBatteries: the median of fade over type median, and its range.
    double effect = NAN;
    double effectLow = NAN;
    double effectHigh = NAN;
    double score = 0;        // the stratified rank score: normal(0, 1) where the place is like the fleet
    bool flagged = false;
    int fasterThanType = 0;  // batteries here "fading faster than its type"
};

// Kept for every battery of every site, a million of them in a national fleet: numbers and the address
// (one copy per address) only; the texts come from the fleet when a page or an answer shows the battery.
struct WearBattery
{
    quint64 key = 0;        // the serial's bytes, as FleetIndex::orderKey makes them
    quint32 typeCode = 0;
    QByteArray home;        // the address of most of its reports; empty when none has most
    double fade = NAN;      // NAN: no fit to compare
    double ratio = NAN;     // fade over its type's median
    bool fasterThanType = false;

    QByteArray serial() const;
    struct Texts
    {
        QString serialShown; // as the mails print it, or the key where they print none
        QString alias;       // empty once the battery left the fleet
    };
    Texts texts(const FleetIndex &fleet) const;
};

struct SiteWear
{
    WearGroup site;
    QList<WearGroup> addresses; // of the site, most batteries first
    QList<WearBattery> batteries;
};

struct TypeWear
{
    quint32 typeCode = 0;
    int batteries = 0; // with a fade rate
    double medianFade = NAN;
};

struct WearReport
{
    // Flagged first, then by batteries.
    QList<SiteWear> sites;
    QList<TypeWear> types;
    int flaggedSites = 0;
    int flaggedAddresses = 0;
    int fasterThanType = 0;

    // A place is flagged when its batteries rank this far above their types' (one-sided false-alarm rate
    // 0.5 % per place), there are at least MinimumBatteries of them, and the range of their effect reaches
    // MinimumEffect. In the benchmark this finds 95 to 100 % of the sites of 20 batteries or more that wear
    // 1.5 times as fast and flags none of 880 normal ones (seeds 1 to 5): under the stated rate, since the
    // faster places among the fleet's batteries raise the reference they are ranked against.
    static constexpr double FlagScore = 2.576;
    static constexpr double FalseAlarmRate = 0.005;
    static constexpr int MinimumBatteries = 10;
    static constexpr double MinimumEffect = 1.3;
    // "fading faster than its type": this many times the median rate of its type and shape, the batteries
    // of flagged places left out. In the benchmark this finds 79 % of the batteries truly losing twice
    // their type and shape's median pace or more, and 84 % of those it marks are (a top share marked the
    // fleet's naturally fast ones, a fixed ratio under 2 the noisy fits).
    static constexpr double FasterRatio = 2.3;
};

} // namespace NVL::Engineering::VK
