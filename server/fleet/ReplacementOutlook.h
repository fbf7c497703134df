#pragma once

#include "BatteryRecord.h"
#include "Forecast.h"

#include <QString>

#include <optional>

namespace NVL::Engineering::VK {

// The one rule every view tells a battery's replacement by: the class is the newest report's, as the
// radios and the alerts define it. A battery Poor by its newest report is Poor now, whatever its fit
// says, and has no day ahead; one whose fit stands at the boundary while its newest report is not Poor
// is due now too. Either is on every due list, with those whose forecast crosses within the window.
// Where the newest report lies far from what the history fits, the outlook says so: a wild reading
// makes a battery Poor, and a person should know why.
struct ReplacementOutlook
{
    enum class Kind {
        PoorNow,    // its newest report is Poor
        AtBoundary, // its fit stands at the boundary, its newest report not yet Poor
        Date,       // forecast to cross on `day`
        Later,      // falls too slowly to cross within ten years, or does not fall
        Unknown,    // no forecast yet, or too little history for one
    };

    Kind kind = Kind::Unknown;
    std::optional<qint64> day;
    // The newest report, where it is far from what the history fits; otherwise empty.
    std::optional<int> doubtedPercent;
    double historyLevel = 0;

    // A report this many points from the fitted level (or this many times the fit's noise, if more) is
    // far: a fall that holds moves the fit with it within three days.
    static constexpr double FarPoints = 10;
    static constexpr double FarNoises = 5;

    static ReplacementOutlook of(const BatteryRecord &record, int healthClass, const std::optional<Forecast> &forecast);

    bool isDue() const { return kind == Kind::PoorNow || kind == Kind::AtBoundary; }
    // On the list of those due by `lastDay` (days since 1970-01-01).
    bool dueBy(qint64 lastDay) const { return isDue() || (kind == Kind::Date && day && *day <= lastDay); }
    // What a list shows: "Poor now", "at the boundary", the day, "over 10 years", "no decline",
    // "too little history", "not yet fitted".
    QString text(const std::optional<Forecast> &forecast) const;
    // The sentence a page, the API and an alert say of a far newest report; empty when there is none.
    QString doubt() const;
};

} // namespace NVL::Engineering::VK
