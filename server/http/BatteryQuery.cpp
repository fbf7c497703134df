#include "BatteryQuery.h"

#include <QtEndian>

#include <memory>

#include "LocalDays.h"

#include <QUrl>
#include <QUrlQuery>

#include <algorithm>
#include <cstring>
#include <functional>
#include <limits>

namespace NVL::Engineering::VK {

namespace {

constexpr const char *ColumnNames[] = {"serial", "health", "percent", "forecast", "capacity",
                                       "cycles", "esn",    "alias",   "reported", "address"};
constexpr const char *ClassNames[] = {"poor", "fair", "good", "excellent"};

// Soonest first: Poor now, then at the boundary, then by date, then those without a date.
qint64 forecastRank(const FleetIndex::Entry &e)
{
    constexpr qint64 Last = std::numeric_limits<qint64>::max();
    const ReplacementOutlook o = e.outlook();
    switch (o.kind) {
    case ReplacementOutlook::Kind::PoorNow: return std::numeric_limits<qint64>::min();
    case ReplacementOutlook::Kind::AtBoundary: return std::numeric_limits<qint64>::min() + 1;
    case ReplacementOutlook::Kind::Date: return o.day.value_or(Last - 3);
    case ReplacementOutlook::Kind::Later: return Last - 2;
    case ReplacementOutlook::Kind::Unknown: return e.forecast ? Last - 1 : Last;
    }
    return Last;
}

int compare(const FleetIndex::Entry &a, const FleetIndex::Entry &b, BatteryQuery::Column column)
{
    const auto three = [](auto x, auto y) { return x < y ? -1 : (y < x ? 1 : 0); };
    const BatteryRecord &ra = a.record;
    const BatteryRecord &rb = b.record;
    switch (column) {
    case BatteryQuery::Column::Serial: return std::memcmp(ra.serial, rb.serial, sizeof ra.serial);
    case BatteryQuery::Column::Health: {
        const int byClass = three(a.healthClass, b.healthClass);
        return byClass != 0 ? byClass : three(a.percent, b.percent);
    }
    case BatteryQuery::Column::Percent: return three(a.percent, b.percent);
    case BatteryQuery::Column::Forecast: return three(forecastRank(a), forecastRank(b));
    case BatteryQuery::Column::Capacity: return three(ra.fullCapacity, rb.fullCapacity);
    case BatteryQuery::Column::Cycles: return three(ra.cycleCount, rb.cycleCount);
    case BatteryQuery::Column::Esn: return std::memcmp(ra.esn, rb.esn, sizeof ra.esn);
    case BatteryQuery::Column::Alias: return qstrnicmp(ra.alias, rb.alias, sizeof ra.alias);
    case BatteryQuery::Column::Reported: return three(ra.reportTime, rb.reportTime);
    case BatteryQuery::Column::Address: return three(ra.reportAddress, rb.reportAddress);
    }
    return 0;
}

} // namespace

const char *BatteryQuery::columnName(Column column)
{
    return ColumnNames[int(column)];
}

BatteryQuery BatteryQuery::from(const QUrlQuery &query)
{
    BatteryQuery q;
    // What is not understood is said, with what was: a filter that silently does nothing shows the whole
    // fleet as if filtered.
    const auto value = [&query](const char *name) { return query.queryItemValue(QLatin1String(name), QUrl::FullyDecoded).trimmed(); };
    if (const QString sort = value("sort"); !sort.isEmpty()) {
        const auto found = std::find_if(std::begin(ColumnNames), std::end(ColumnNames),
                                        [&sort](const char *name) { return sort.compare(QLatin1String(name), Qt::CaseInsensitive) == 0; });
        if (found == std::end(ColumnNames))
            q.problems << QStringLiteral("sort=%1 is no column (serial, health, percent, forecast, capacity, cycles, esn, "
                                         "alias, reported or address); sorted by health %")
                              .arg(sort);
        else
            q.sort = Column(found - std::begin(ColumnNames));
    }
    if (const QString dir = value("dir"); !dir.isEmpty()) {
        q.descending = dir.compare(QLatin1String("desc"), Qt::CaseInsensitive) == 0;
        if (!q.descending && dir.compare(QLatin1String("asc"), Qt::CaseInsensitive) != 0)
            q.problems << QStringLiteral("dir=%1 is neither asc nor desc; ascending").arg(dir);
    }
    if (const QString healthClass = value("class"); !healthClass.isEmpty()) {
        for (int c = 0; c < 4; ++c) {
            if (healthClass.compare(QLatin1String(ClassNames[c]), Qt::CaseInsensitive) == 0)
                q.healthClass = c;
        }
        if (q.healthClass == AnyClass)
            q.problems << QStringLiteral("class=%1 is no health class (Poor, Fair, Good or Excellent); every class shown").arg(healthClass);
    }
    QString text = query.queryItemValue(QStringLiteral("q"), QUrl::FullyDecoded);
    text.replace(QLatin1Char('+'), QLatin1Char(' ')); // a form sends spaces so
    q.text = text.simplified().left(100);
    if (const QString due = value("due"); !due.isEmpty()) {
        bool ok = false;
        const int days = due.toInt(&ok);
        if (!ok || days < 0 || days > MaximumDueDays)
            q.problems << QStringLiteral("due=%1 is not a whole number of days from 0 to %2; no due filter").arg(due).arg(MaximumDueDays);
        else
            q.due = days;
    }
    if (const QString page = value("page"); !page.isEmpty()) {
        bool ok = false;
        q.page = std::max(1, page.toInt(&ok));
        if (!ok)
            q.problems << QStringLiteral("page=%1 is no page number; the first page shown").arg(page);
    }
    return q;
}

QByteArray BatteryQuery::link(const QByteArray &path) const
{
    QByteArrayList parts;
    if (healthClass != AnyClass)
        parts << QByteArrayLiteral("class=") + ClassNames[healthClass];
    if (!text.isEmpty())
        parts << QByteArrayLiteral("q=") + QUrl::toPercentEncoding(text);
    if (due > 0)
        parts << QByteArrayLiteral("due=") + QByteArray::number(due);
    if (sort != Column::Percent)
        parts << QByteArrayLiteral("sort=") + ColumnNames[int(sort)];
    if (descending)
        parts << QByteArrayLiteral("dir=desc");
    if (page > 1)
        parts << QByteArrayLiteral("page=") + QByteArray::number(page);
    return parts.isEmpty() ? path : path + '?' + parts.join('&');
}

bool BatteryQuery::isDueBy(const FleetIndex::Entry &entry, qint64 lastDay)
{
    return entry.outlook().dueBy(lastDay);
}

namespace {

struct Matches
{
    std::vector<const FleetIndex::Entry *> entries;
    std::function<bool(const FleetIndex::Entry *, const FleetIndex::Entry *)> before;
};

// Whether a battery passes the query's class, due and text filters; made once per answer.
std::function<bool(const FleetIndex::Entry &)> filterOf(const BatteryQuery &query)
{
    const QByteArray phrase = query.text.toLower().toUtf8();
    const qint64 lastDay = LocalDays::today() + query.due;
    // One searcher for the whole fleet: its tables are built once, not for every battery.
    auto searcher = std::make_shared<std::boyer_moore_horspool_searcher<QByteArray::const_iterator>>(phrase.cbegin(), phrase.cend());
    auto text = std::make_shared<QByteArray>();
    return [query, phrase, lastDay, searcher, text](const FleetIndex::Entry &e) {
        if (query.healthClass != BatteryQuery::AnyClass && e.healthClass != query.healthClass)
            return false;
        if (query.due > 0 && !BatteryQuery::isDueBy(e, lastDay))
            return false;
        if (!phrase.isEmpty()) {
            FleetIndex::searchText(e.record, *text);
            if (std::search(text->cbegin(), text->cend(), *searcher) == text->cend())
                return false;
        }
        return true;
    };
}

Matches matching(const BatteryQuery &query, const FleetIndex &fleet)
{
    const auto passes = filterOf(query);
    Matches m;
    m.entries.reserve(fleet.entries().size());
    for (const FleetIndex::Entry &e : fleet.entries()) {
        if (passes(e))
            m.entries.push_back(&e);
    }
    const BatteryQuery::Column column = query.sort;
    const bool down = query.descending;
    m.before = [column, down](const FleetIndex::Entry *a, const FleetIndex::Entry *b) {
        int order = compare(*a, *b, column);
        if (order == 0)
            order = compare(*a, *b, BatteryQuery::Column::Serial);
        return down ? order > 0 : order < 0;
    };
    return m;
}

} // namespace

BatteryQuery::Rank BatteryQuery::rank() const
{
    std::function<SortKey(const FleetIndex::Entry &)> value;
    const auto unsignedOrder = [](const quint8 *bytes) {
        SortKey key;
        key.words[0] = qFromBigEndian<quint64>(bytes);
        return key;
    };
    const auto number = [](auto of) { return [of](const FleetIndex::Entry &e) { return SortKey::number(of(e)); }; };
    switch (sort) {
    case Column::Serial: value = [unsignedOrder](const FleetIndex::Entry &e) { return unsignedOrder(e.record.serial); }; break;
    case Column::Health: value = number([](const FleetIndex::Entry &e) { return qint64(e.healthClass) * 1000 + e.percent; }); break;
    case Column::Percent: value = number([](const FleetIndex::Entry &e) { return qint64(e.percent); }); break;
    case Column::Forecast: value = number(forecastRank); break;
    case Column::Capacity: value = number([](const FleetIndex::Entry &e) { return qint64(e.record.fullCapacity); }); break;
    case Column::Cycles: value = number([](const FleetIndex::Entry &e) { return qint64(e.record.cycleCount); }); break;
    case Column::Esn: value = [unsignedOrder](const FleetIndex::Entry &e) { return unsignedOrder(e.record.esn); }; break;
    case Column::Reported: value = number([](const FleetIndex::Entry &e) { return qint64(e.record.reportTime); }); break;
    case Column::Address: value = number([](const FleetIndex::Entry &e) { return qint64(e.record.reportAddress); }); break;
    case Column::Alias:
        value = [](const FleetIndex::Entry &e) { return SortKey::text(e.record.alias, sizeof e.record.alias); };
        break;
    }
    return [passes = filterOf(*this), value](const FleetIndex::Entry &e) -> std::optional<SortKey> {
        return passes(e) ? std::optional<SortKey>(value(e)) : std::nullopt;
    };
}

BatteryQuery::Selection BatteryQuery::select(const FleetIndex &fleet) const
{
    Matches m = matching(*this, fleet);
    std::vector<const FleetIndex::Entry *> &matched = m.entries;
    const auto &before = m.before;
    Selection selection;
    selection.matched = matched.size();
    const std::size_t pages = std::max<std::size_t>(1, (matched.size() + PageSize - 1) / PageSize);
    selection.page = int(std::min<std::size_t>(std::size_t(page), pages));
    const auto first = matched.begin() + std::ptrdiff_t(std::size_t(selection.page - 1) * PageSize);
    const auto last = matched.begin() + std::ptrdiff_t(std::min(matched.size(), std::size_t(selection.page) * PageSize));
    if (first != matched.end()) {
        std::nth_element(matched.begin(), first, matched.end(), before);
        std::partial_sort(first, last, matched.end(), before);
    }
    selection.rows.assign(first, last);
    return selection;
}

} // namespace NVL::Engineering::VK
