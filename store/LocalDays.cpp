#include "LocalDays.h"

#include <QDateTime>
#include <QTime>

#include <algorithm>

namespace NVL::Engineering::VK {

namespace {

const QDate &epochDate()
{
    static const QDate date(1970, 1, 1);
    return date;
}

qint64 dayOfSlow(qint64 seconds)
{
    return epochDate().daysTo(QDateTime::fromSecsSinceEpoch(seconds).date());
}

// Enough for a year of points around the first look-up without rebuilding.
constexpr qint64 CoverMarginDays = 400;

} // namespace

qint64 LocalDays::midnightOf(qint64 day)
{
    return QDateTime(epochDate().addDays(day), QTime(0, 0)).toSecsSinceEpoch();
}

qint64 LocalDays::today()
{
    return epochDate().daysTo(QDate::currentDate());
}

qint64 LocalDays::dayOf(qint64 seconds)
{
    if (m_midnights.size() < 2 || seconds < m_midnights.front() || seconds >= m_midnights.back())
        cover(seconds);
    const auto next = std::upper_bound(m_midnights.begin(), m_midnights.end(), seconds);
    return m_firstDay + qint64(next - m_midnights.begin()) - 1;
}

void LocalDays::cover(qint64 seconds)
{
    const qint64 day = dayOfSlow(seconds);
    qint64 first = day - CoverMarginDays;
    qint64 last = day + CoverMarginDays;
    if (!m_midnights.empty()) {
        first = std::min(first, m_firstDay);
        last = std::max(last, m_firstDay + qint64(m_midnights.size()) - 2);
    }
    m_firstDay = first;
    m_midnights.clear();
    m_midnights.reserve(size_t(last - first + 2));
    for (qint64 d = first; d <= last + 1; ++d)
        m_midnights.push_back(midnightOf(d));
}

} // namespace NVL::Engineering::VK
