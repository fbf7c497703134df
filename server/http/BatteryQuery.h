#pragma once

#include "FleetIndex.h"
#include "SortKey.h"

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <functional>
#include <optional>
#include <vector>

class QUrlQuery;

namespace NVL::Engineering::VK {

// What the batteries page is asked to show: a class, a text, how soon due, a sort order and a page. Read from the
// query of the page's address, and written back into the addresses of its links and forms, so that
// every view is a plain link that works without a script.
struct BatteryQuery
{
    enum class Column { Serial, Health, Percent, Forecast, Capacity, Cycles, Esn, Alias, Reported, Address };
    static constexpr int PageSize = 100;
    static constexpr int AnyClass = -1;
    static constexpr int MaximumDueDays = 3650;

    Column sort = Column::Percent;
    bool descending = false;
    int healthClass = AnyClass; // Poor 0 ... Excellent 3
    QString text;
    int due = 0; // > 0: only batteries predicted to reach Poor within so many days from today
    int page = 1;

    static BatteryQuery from(const QUrlQuery &query);
    // The path with a query of what differs from the defaults, for a link.
    QByteArray link(const QByteArray &path) const;
    static const char *columnName(Column column);

    struct Selection
    {
        std::size_t matched = 0; // batteries that match, on every page
        int page = 1;            // the asked page, or the last one when it asked for more
        std::vector<const FleetIndex::Entry *> rows; // of the page, in order
    };
    // Only the page's rows are put in order: a fleet of 100,000 is partitioned, not sorted.
    Selection select(const FleetIndex &fleet) const;
    // What a battery is sorted by (ascending; ties in serial order), none when it does not match.
    using Rank = std::function<std::optional<SortKey>(const FleetIndex::Entry &)>;
    Rank rank() const;
    // Whether a forecast has a day within `lastDay` (days since 1970-01-01); one already there has none.
    static bool isDueBy(const std::optional<Forecast> &forecast, qint64 lastDay);
    static bool isDueBy(const PackedForecast &forecast, qint64 lastDay) { return isDueBy(forecast.brief(), lastDay); }
};

} // namespace NVL::Engineering::VK
