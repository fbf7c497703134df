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
    int due = 0; // > 0: only batteries Poor now or predicted to reach Poor within so many days from today
    int page = 1;
    // What the query asked that is not understood, each with what is shown instead: the page says so,
    // the CSV refuses it.
    QStringList problems;

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
    // Whether a battery is on the list of those due by `lastDay` (days since 1970-01-01): Poor now, at the
    // boundary, or forecast to cross by then (ReplacementOutlook).
    static bool isDueBy(const FleetIndex::Entry &entry, qint64 lastDay);
};

} // namespace NVL::Engineering::VK
