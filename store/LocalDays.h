#pragma once

#include <QDate>
#include <QtGlobal>

#include <vector>

namespace NVL::Engineering::VK {

// Local calendar days of epoch seconds, for many look-ups: the midnights of a span of days are worked
// out once (a day is not always 24 hours), then each look-up is a binary search.
class LocalDays
{
public:
    // Days since 1970-01-01 of the local date at the given time.
    qint64 dayOf(qint64 seconds);
    // The first second of a local day.
    static qint64 midnightOf(qint64 day);
    static qint64 today();

private:
    void cover(qint64 seconds);

    qint64 m_firstDay = 0;
    std::vector<qint64> m_midnights; // of m_firstDay, m_firstDay + 1, ...; one past the last covered day
};

} // namespace NVL::Engineering::VK
