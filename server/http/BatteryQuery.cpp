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

// Soonest first: already there, then by date, then those without a date.
qint64 forecastRank(const FleetIndex::Entry &e)
{
    constexpr qint64 Last = std::numeric_limits<qint64>::max();
    if (!e.forecast)
        return Last;
    switch (e.forecast.status()) {
    case Forecast::Status::Now: return std::numeric_limits<qint64>::min();
    case Forecast::Status::Date: return e.forecast.day().value_or(Last - 4);
    case Forecast::Status::BeyondCap: return Last - 3;
    case Forecast::Status::NoDecline: return Last - 2;
    case Forecast::Status::NotEnoughHistory: return Last - 1;
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
    const QString sort = query.queryItemValue(QStringLiteral("sort"));
    for (int c = 0; c < int(std::size(ColumnNames)); ++c) {
        if (sort == QLatin1String(ColumnNames[c]))
            q.sort = Column(c);
    }
    q.descending = query.queryItemValue(QStringLiteral("dir")) == QLatin1String("desc");
    const QString healthClass = query.queryItemValue(QStringLiteral("class"));
    for (int c = 0; c < 4; ++c) {
        if (healthClass == QLatin1String(ClassNames[c]))
            q.healthClass = c;
    }
    QString text = query.queryItemValue(QStringLiteral("q"), QUrl::FullyDecoded);
    text.replace(QLatin1Char('+'), QLatin1Char(' ')); // a form sends spaces so
    q.text = text.simplified().left(100);
    q.due = std::clamp(query.queryItemValue(QStringLiteral("due")).toInt(), 0, MaximumDueDays);
    q.page = std::max(1, query.queryItemValue(QStringLiteral("page")).toInt());
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

bool BatteryQuery::isDueBy(const std::optional<Forecast> &forecast, qint64 lastDay)
{
    return forecast && forecast->status == Forecast::Status::Date && forecast->day && *forecast->day <= lastDay;
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
        if (query.due > 0 && !BatteryQuery::isDueBy(e.forecast, lastDay))
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
