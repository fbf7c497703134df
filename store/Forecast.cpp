#include "Forecast.h"

#include <algorithm>
#include <cmath>
#include <numeric>

namespace NVL::Engineering::VK {

qsizetype DailyHealth::indexOfValue(const std::vector<int> &percents)
{
    if (percents.empty())
        return -1;
    std::vector<qsizetype> order(percents.size());
    std::iota(order.begin(), order.end(), 0);
    const auto worn = std::stable_partition(order.begin(), order.end(), [&](qsizetype i) { return percents[size_t(i)] <= 100; });
    const auto end = worn == order.begin() ? order.end() : worn;
    // Ties by position: equal values keep their order, so the later report of the middle value is taken.
    std::stable_sort(order.begin(), end, [&](qsizetype a, qsizetype b) { return percents[size_t(a)] < percents[size_t(b)]; });
    const qsizetype count = qsizetype(end - order.begin());
    qsizetype mid = count / 2;
    while (mid + 1 < count && percents[size_t(order[size_t(mid + 1)])] == percents[size_t(order[size_t(mid)])])
        ++mid;
    return order[size_t(mid)];
}

int DailyHealth::valueOf(std::vector<int> percents)
{
    const qsizetype i = indexOfValue(percents);
    return i < 0 ? 0 : percents[size_t(i)];
}

double Forecast::levelAt(double t, qint64 day) const
{
    const double years = t / 365.0;
    const double phase = 6.283185307179586 * double(day) / 365.25;
    return level + slopePerYear * years + curvePerYear2 * years * years + seasonSin * std::sin(phase)
        + seasonCos * std::cos(phase);
}

const char *Forecast::statusName(Status status)
{
    switch (status) {
    case Status::NotEnoughHistory: return "not-enough-history";
    case Status::NoDecline: return "no-decline";
    case Status::Now: return "now";
    case Status::Date: return "date";
    case Status::BeyondCap: return "beyond-cap";
    }
    return "not-enough-history";
}

const char *Forecast::modelName(Model model)
{
    switch (model) {
    case Model::Line: return "line";
    case Model::Bend: return "bend";
    case Model::Drop: return "drop";
    case Model::Curve: return "curve";
    case Model::Recent: return "recent";
    }
    return "line";
}

} // namespace NVL::Engineering::VK
