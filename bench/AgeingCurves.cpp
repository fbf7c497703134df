#include "AgeingCurves.h"

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace NVL::Engineering::VK::Bench {

AgeingCurves AgeingCurves::load()
{
    AgeingCurves curves;
    QFile file(QStringLiteral(":/ageing-curves/baumhofer2014.json"));
    if (!file.open(QIODevice::ReadOnly)) {
        std::fprintf(stderr, "the ageing curves cannot be read\n");
        return curves;
    }
    // The published file writes a missing number as NaN, which JSON does not have.
    QByteArray text = file.readAll();
    text.replace("NaN", "null");
    QJsonParseError error;
    const QJsonArray cells = QJsonDocument::fromJson(text, &error).object().value(QStringLiteral("cells")).toArray();
    if (cells.isEmpty())
        std::fprintf(stderr, "the ageing curves cannot be read: %s\n", qPrintable(error.errorString()));
    for (const QJsonValue &value : cells) {
        const QJsonArray ts = value.toObject().value(QStringLiteral("t_s")).toArray();
        const QJsonArray caps = value.toObject().value(QStringLiteral("cap")).toArray();
        Cell cell;
        for (qsizetype i = 0; i < std::min(ts.size(), caps.size()); ++i) {
            const double t = ts[i].toDouble(std::nan("")), cap = caps[i].toDouble(std::nan(""));
            if (!std::isfinite(t) || !std::isfinite(cap))
                continue;
            // Repeated check-ups at one time: the mean of them.
            if (!cell.t.empty() && t <= cell.t.back()) {
                cell.cap.back() = (cell.cap.back() + cap) / 2;
                continue;
            }
            cell.t.push_back(t);
            cell.cap.push_back(cap);
        }
        if (cell.t.size() < 4)
            continue; // a cell without numbers
        // Fritsch-Carlson slopes: a curve that never rises between falling check-ups.
        const size_t n = cell.t.size();
        std::vector<double> secant(n - 1);
        for (size_t i = 0; i + 1 < n; ++i)
            secant[i] = (cell.cap[i + 1] - cell.cap[i]) / (cell.t[i + 1] - cell.t[i]);
        cell.slope.assign(n, 0);
        cell.slope[0] = secant[0];
        cell.slope[n - 1] = secant[n - 2];
        for (size_t i = 1; i + 1 < n; ++i)
            cell.slope[i] = secant[i - 1] * secant[i] <= 0 ? 0 : (secant[i - 1] + secant[i]) / 2;
        for (size_t i = 0; i + 1 < n; ++i) {
            if (secant[i] == 0) {
                cell.slope[i] = cell.slope[i + 1] = 0;
                continue;
            }
            const double a = cell.slope[i] / secant[i], b = cell.slope[i + 1] / secant[i];
            const double h = a * a + b * b;
            if (h > 9) {
                const double tau = 3 / std::sqrt(h);
                cell.slope[i] = tau * a * secant[i];
                cell.slope[i + 1] = tau * b * secant[i];
            }
        }
        curves.m_cells.push_back(std::move(cell));
    }
    return curves;
}

double AgeingCurves::capacity(int index, double t) const
{
    const Cell &c = m_cells[size_t(index)];
    if (t <= c.t.front())
        return c.cap.front();
    if (t >= c.t.back())
        return c.cap.back() + c.slope.back() * (t - c.t.back());
    const size_t i = size_t(std::upper_bound(c.t.begin(), c.t.end(), t) - c.t.begin()) - 1;
    const double h = c.t[i + 1] - c.t[i], s = (t - c.t[i]) / h;
    const double h00 = (1 + 2 * s) * (1 - s) * (1 - s), h10 = s * (1 - s) * (1 - s), h01 = s * s * (3 - 2 * s),
                 h11 = s * s * (s - 1);
    return h00 * c.cap[i] + h10 * h * c.slope[i] + h01 * c.cap[i + 1] + h11 * h * c.slope[i + 1];
}

double AgeingCurves::timeAt(int index, double fraction) const
{
    const double last = end(index);
    const double step = last / 4000;
    for (double t = 0; t <= last; t += step) {
        if (capacity(index, t) <= fraction)
            return t;
    }
    return -1;
}

} // namespace NVL::Engineering::VK::Bench
