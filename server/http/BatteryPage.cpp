// One battery's page: its newest record, the chart of its health with the forecast, capacity and cycles
// over time, and every point of its history.
#include "DashboardPages.h"

#include "ApiViews.h"
#include "HistoryKeeper.h"
#include "Html.h"
#include "LocalDays.h"
#include "PageParts.h"
#include "SvgChart.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace NVL::Engineering::VK {

using namespace PageParts;

namespace {

constexpr double Day = 86400;
constexpr int ChartWidth = 760;

// Noon of a local day, where the history's points of that day gather.
double timeOfDay(qint64 day)
{
    return double(LocalDays::midnightOf(day)) + Day / 2;
}

QList<QPointF> series(const QList<HistoryPoint> &points, int HistoryPoint::*field)
{
    QList<QPointF> out;
    out.reserve(points.size());
    for (const HistoryPoint &p : points)
        out.append(QPointF(double(p.time), double(p.*field)));
    return out;
}

// The health chart: points, the Poor boundary, the fitted line with the range of its crossing and the
// predicted day.
QByteArray healthChart(const QList<HistoryPoint> &points, const std::optional<Forecast> &forecast, int boundary)
{
    std::vector<int> percents;
    for (const HistoryPoint &p : points)
        percents.push_back(p.percent);
    std::sort(percents.begin(), percents.end());
    // A wild report or two must not squeeze the chart: the lowest percent shown is the 2nd percentile's.
    const int low = percents.empty() ? boundary : percents[percents.size() / 50];
    const double bottom = std::max(0.0, std::floor((std::min(low, boundary) - 5) / 5.0) * 5.0);
    // Reports above 100 %, which no wear produces, and those below the range show as markers at its edge.
    const double top = 100;

    const double first = double(points.constFirst().time);
    const double newest = double(points.constLast().time);
    const bool fitted = forecast && forecast->days > 0 && forecast->status != Forecast::Status::NotEnoughHistory;
    const bool dated = fitted && forecast->status == Forecast::Status::Date && forecast->day;
    const bool aheadShown = fitted && forecast->status != Forecast::Status::Now;
    // The forecast is shown ahead of the history by up to as long again as the history, at least a year.
    const double ahead = std::max(365 * Day, newest - first);
    double right = newest;
    if (dated)
        right = std::max(right, std::min(timeOfDay(forecast->latestDay.value_or(*forecast->day)), newest + ahead));
    else if (aheadShown)
        right = newest + std::min(ahead, 180 * Day);
    right += (right - first) * 0.03 + Day;

    SvgChart chart(ChartWidth, 320, QStringLiteral("Health percentage over time"));
    chart.setRange(first, right, bottom, top);
    chart.valueAxis(top - bottom > 30 ? 10 : 5, QStringLiteral(" %"));
    chart.timeAxis();
    if (dated && forecast->earliestDay) {
        // Where the line may plausibly cross: from the fitted level to the earliest and latest days.
        const double lastFitted = timeOfDay(LocalDays().dayOf(qint64(newest)));
        chart.polygon({QPointF(lastFitted, forecast->level), QPointF(timeOfDay(*forecast->earliestDay), boundary),
                       QPointF(forecast->latestDay ? timeOfDay(*forecast->latestDay) : chart.right(), boundary)},
                      "fit-range");
    }
    chart.level(boundary, QStringLiteral("Poor \u2264 %1 %").arg(boundary), "boundary");
    // Dots, not a line: a wild report stands alone instead of drawing a spike.
    chart.dots(series(points, &HistoryPoint::percent), points.size() <= 120 ? "series-dot" : "series-dot small",
               QStringLiteral(" %"));
    if (fitted) {
        // The model the date comes from: one line, a curve, or the older pace up to the bend, fall or knee
        // and the newer one after it. A battery already there is drawn up to its newest day only.
        const double lastFitted = timeOfDay(LocalDays().dayOf(qint64(newest)));
        const double fitStart = forecast->riseDay ? timeOfDay(*forecast->riseDay) - Day / 2 : lastFitted - Forecast::FittedDays * Day;
        const double start = std::max(first, fitStart);
        const double end = dated ? std::min(timeOfDay(*forecast->day), chart.right()) : aheadShown ? chart.right() : lastFitted;
        // The fitted level at a time, the yearly swing included: what the date is read from.
        const auto along = [&](double t) { return forecast->levelAt((t - lastFitted) / Day, LocalDays().dayOf(qint64(t))); };
        double newerStart = start;
        if (forecast->model != Forecast::Model::Line && forecast->model != Forecast::Model::Recent && forecast->sinceDay) {
            newerStart = std::max(start, timeOfDay(*forecast->sinceDay) - Day / 2);
            const double priorPerSecond = forecast->priorSlopePerYear / 365.0 / Day;
            chart.line({QPointF(start, forecast->priorLevel + priorPerSecond * (start - newerStart)), QPointF(newerStart, forecast->priorLevel)},
                       "fit-prior");
            if (forecast->model == Forecast::Model::Drop)
                chart.marker(newerStart, QStringLiteral("Drop on %1").arg(ApiViews::dayText(*forecast->sinceDay)), "drop",
                             true);
        } else if (forecast->model == Forecast::Model::Recent && forecast->sinceDay) {
            newerStart = std::max(start, timeOfDay(*forecast->sinceDay) - Day / 2);
        }
        // A curve or a yearly swing is drawn as a run of short lines, a day or a week apart.
        QList<QPointF> fit;
        const bool straight = forecast->curvePerYear2 == 0 && forecast->seasonSin == 0 && forecast->seasonCos == 0;
        const double step = straight ? std::max(end - newerStart, Day) : std::max(Day, (end - newerStart) / 120);
        for (double t = newerStart; t < end; t += step)
            fit.append(QPointF(t, along(t)));
        fit.append(QPointF(end, along(end)));
        chart.line(fit, "fit");
        if (forecast->riseDay && timeOfDay(*forecast->riseDay) >= first)
            chart.marker(timeOfDay(*forecast->riseDay) - Day / 2,
                         QStringLiteral("Rise on %1: replaced or recalibrated").arg(ApiViews::dayText(*forecast->riseDay)), "rise", true);
    }
    // A day past the chart's end is written as lying beyond it, not drawn at the edge as if it were there.
    if (dated && timeOfDay(*forecast->day) <= chart.right())
        chart.marker(timeOfDay(*forecast->day), QStringLiteral("Poor by %1").arg(ApiViews::dayText(*forecast->day)),
                     "predicted");
    else if (dated)
        chart.beyond(QStringLiteral("Poor by %1, beyond the chart").arg(ApiViews::dayText(*forecast->day)), "predicted");
    return chart.svg();
}

QByteArray smallChart(const QList<HistoryPoint> &points, int HistoryPoint::*field, const QString &valueUnit,
                      const QString &description)
{
    int low = std::numeric_limits<int>::max();
    int high = 0;
    for (const HistoryPoint &p : points) {
        low = std::min(low, p.*field);
        high = std::max(high, p.*field);
    }
    if (high == 0) // batteries that measure their own health may leave it out
        return QByteArrayLiteral("<p class=\"muted\">Not reported by this battery.</p>");
    const double span = std::max(1, high - low);
    const double magnitude = std::pow(10.0, std::floor(std::log10(span)));
    const double step = span / magnitude > 5 ? 2 * magnitude : span / magnitude > 2 ? magnitude : magnitude / 2;
    SvgChart chart(ChartWidth / 2 + 40, 200, description);
    chart.setRange(double(points.constFirst().time), double(points.constLast().time) + Day,
                   std::max(0.0, std::floor((low - step / 2) / step) * step), std::ceil((high + step / 2) / step) * step);
    chart.valueAxis(step, QString(), valueUnit.trimmed());
    chart.timeAxis();
    chart.dots(series(points, field), "series-dot small", valueUnit);
    return chart.svg();
}

QString fitSentence(const Forecast &forecast, int boundary);

QString forecastSentence(const std::optional<Forecast> &f, const ReplacementOutlook &outlook, int percent, int boundary)
{
    // Poor by its newest report: that is what it is, whatever the fit of its history says; no day ahead.
    if (outlook.kind == ReplacementOutlook::Kind::PoorNow)
        return QStringLiteral("The battery is Poor now by its newest report (%1 %): replace it.").arg(percent)
            + (f && f->status != Forecast::Status::NotEnoughHistory && f->slopePerYear < 0
                   ? QStringLiteral(" Its history falls %1 points a year.").arg(std::fabs(f->slopePerYear), 0, 'f', 1)
                   : QString());
    if (!f)
        return QStringLiteral("No forecast has been fitted yet.");
    // A rise that held starts the battery anew: it is never told as a drop.
    const QString rise = f->riseDay ? QStringLiteral("Its health rose from %1 % to about %2 % on %3: the battery was replaced or "
                                                     "recalibrated, and the forecast starts there. ")
                                          .arg(QString::number(f->riseFrom, 'f', 0),
                                               QString::number(f->status == Forecast::Status::NotEnoughHistory ? f->riseFrom : f->level, 'f', 0),
                                               ApiViews::dayText(*f->riseDay))
                                    : QString();
    return rise + fitSentence(*f, boundary);
}

QString fitSentence(const Forecast &forecast, int boundary)
{
    const Forecast *f = &forecast;
    const QString slope = QString::number(std::fabs(f->slopePerYear), 'f', 1);
    switch (f->status) {
    case Forecast::Status::NotEnoughHistory:
        return QStringLiteral("Too little history for a forecast: it takes %1 days of reports spanning %2 days.")
            .arg(Forecast::MinimumDays)
            .arg(Forecast::MinimumSpanDays);
    case Forecast::Status::Now:
        if (f->model == Forecast::Model::Drop && f->sinceDay)
            return QStringLiteral("The battery is at or below the Poor boundary of %1 %: its health fell from %2 % to %3 % on %4.")
                .arg(boundary)
                .arg(QString::number(f->priorLevel, 'f', 0), QString::number(f->level, 'f', 0), ApiViews::dayText(*f->sinceDay));
        return QStringLiteral("The battery is at or below the Poor boundary of %1 %.").arg(boundary);
    case Forecast::Status::NoDecline:
        return QStringLiteral("Its health does not fall over the newest year (fit over %1 days).").arg(f->days);
    case Forecast::Status::BeyondCap:
        return QStringLiteral("Its health falls %1 points a year, too slowly to reach %2 % within ten years.")
            .arg(slope)
            .arg(boundary);
    case Forecast::Status::Date: break;
    }
    QString text;
    if (f->model == Forecast::Model::Bend && f->sinceDay)
        text = QStringLiteral("Its wear changed pace on %1, from %2 to %3 points a year; at the newer pace it ")
                   .arg(ApiViews::dayText(*f->sinceDay), QString::number(std::fabs(f->priorSlopePerYear), 'f', 1), slope);
    else if (f->model == Forecast::Model::Drop && f->sinceDay)
        text = QStringLiteral("Its health fell from %1 % to %2 % on %3 and falls %4 points a year since; it ")
                   .arg(QString::number(f->priorLevel, 'f', 0), QString::number(f->level, 'f', 0),
                        ApiViews::dayText(*f->sinceDay), slope);
    else if (f->model == Forecast::Model::Curve)
        text = QStringLiteral("Its wear speeds up%1: it now falls %2 points a year and faster each month; at that rate it ")
                   .arg(f->sinceDay ? QStringLiteral(" since %1").arg(ApiViews::dayText(*f->sinceDay)) : QString(), slope);
    else if (f->model == Forecast::Model::Recent && f->sinceDay)
        text = QStringLiteral("Since %1 it falls %2 points a year, a pace that foretold its newest weeks better than the "
                              "whole year's; it ")
                   .arg(ApiViews::dayText(*f->sinceDay), slope);
    else
        text = QStringLiteral("The fitted line falls %1 points a year and ").arg(slope);
    text += QStringLiteral("reaches the Poor boundary of %1 % on %2").arg(boundary).arg(f->day ? ApiViews::dayText(*f->day) : QString());
    if (f->earliestDay && f->latestDay)
        text += QStringLiteral(" (plausibly between %1 and %2, a range as wide as this fleet's own forecasts needed)")
                    .arg(ApiViews::dayText(*f->earliestDay), ApiViews::dayText(*f->latestDay));
    else if (f->earliestDay)
        text += QStringLiteral(" (not before %1; a later day cannot be ruled out)").arg(ApiViews::dayText(*f->earliestDay));
    return text + QStringLiteral(". Fit over %1 days of the newest year.").arg(f->days);
}

} // namespace

std::optional<QByteArray> DashboardPages::battery(const QByteArray &serial) const
{
    const FleetIndex::Entry *entry = m_fleet.find(serial);
    if (!entry)
        return std::nullopt;
    const BatteryRecord &r = entry->record;
    const int boundary = m_history ? m_history->boundary() : 80;
    const QString key = serialKeyText(serial);
    const QString alias = aliasText(r);
    const std::optional<QList<HistoryPoint>> history =
        m_history && m_history->isOpen() ? m_history->history(serial, 0, std::numeric_limits<qint64>::max())
                                         : std::nullopt;
    const QList<HistoryPoint> points = history.value_or(QList<HistoryPoint>());
    // The whole forecast (its curve and yearly swing) is the history's; the index keeps what lists need.
    std::optional<Forecast> forecast = entry->forecast;
    if (history && forecast) {
        if (std::optional<Forecast> full = m_history->forecast(serial))
            forecast = std::move(full);
    }
    const ReplacementOutlook outlook = ReplacementOutlook::of(r, entry->healthClass, forecast);

    Html h;
    h.raw("<p class=\"crumbs\"><a href=\"/batteries\">Batteries</a> \xE2\x80\xBA ").text(serialShown(r)).raw("</p>\n<h1>")
        .text(alias.isEmpty() ? QStringLiteral("Battery %1").arg(serialShown(r)) : alias)
        .raw(" ")
        .raw(classBadge(entry->healthClass))
        .raw("</h1>\n<section class=\"cards\"><div class=\"card\"><span class=\"label\">Health</span><span "
             "class=\"value\">")
        .number(entry->percent)
        .raw(" %</span><span class=\"note\">")
        .raw(className(entry->healthClass))
        .raw("</span></div><div class=\"card card-due\"><span class=\"label\">Reaches Poor</span><span class=\"value\" "
             "id=\"predicted\">")
        .text(outlook.text(forecast))
        .raw("</span><span class=\"note\">at ")
        .number(boundary)
        .raw(" %</span></div><div class=\"card\"><span class=\"label\">Full capacity</span><span class=\"value\">")
        .text(capacityShown(r.fullCapacity))
        .raw("</span><span class=\"note\">")
        .number(r.cycleCount)
        .raw(" cycles</span></div><div class=\"card\"><span class=\"label\">Last report</span><span "
             "class=\"value small\">")
        .text(localTime(r.reportTime))
        .raw("</span><span class=\"note mono\">from ")
        .text(ApiViews::addressText(r.reportAddress))
        .raw("</span></div></section>\n");
    if (const QString doubt = outlook.doubt(); !doubt.isEmpty()) {
        QString sentence = doubt;
        sentence[0] = sentence[0].toUpper();
        h.raw("<p class=\"note-pending\" id=\"reading-doubt\">").text(sentence + QLatin1Char('.')).raw("</p>\n");
    }
    h.raw("<dl class=\"facts\"><dt>Serial#</dt><dd>")
        .text(serialText(r).isEmpty() ? QStringLiteral("\u2014") : serialText(r))
        .raw("</dd><dt>Serial key</dt><dd class=\"mono\">")
        .text(key)
        .raw("</dd><dt>Radio ESN</dt><dd class=\"mono\">")
        .text(esnText(r))
        .raw("</dd><dt>Radio Alias</dt><dd>")
        .text(alias)
        .raw("</dd><dt>Type</dt><dd>");
    // The name where vk.cfg gives one, with its code for whoever reads the radio's own screens.
    if (m_fleet.typeNames().utf8Of(r.typeCode))
        h.text(m_fleet.typeName(r.typeCode)).raw(" <span class=\"muted mono\">").text(TypeNames::codeText(r.typeCode)).raw("</span>");
    else
        h.raw("<span class=\"mono\">").text(TypeNames::codeText(r.typeCode)).raw("</span>");
    h.raw("</dd></dl>\n<section><h2>Health over time</h2>");
    if (points.isEmpty()) {
        h.raw("<p class=\"muted\">");
        if (!m_history)
            h.raw("History is off on this server ([history] in vk.cfg).");
        else if (!m_history->isOpen())
            h.raw("History is on but not kept: ").text(m_history->problem()).raw(".");
        else
            h.raw("No history of this battery yet.");
        h.raw("</p></section>\n");
    } else {
        h.raw("<figure class=\"chart-box\" id=\"health-chart\">")
            .raw(healthChart(points, forecast, boundary))
            .raw("<figcaption><span class=\"key key-series\">reported health</span><span class=\"key key-fit\">fitted "
                 "line</span><span class=\"key key-range\">plausible range</span><span class=\"key "
                 "key-boundary\">Poor boundary</span></figcaption></figure><p id=\"forecast-text\">")
            .text(forecastSentence(forecast, outlook, entry->percent, boundary))
            .raw("</p></section>\n<section class=\"pair\"><div><h2>Full capacity</h2>")
            .raw(smallChart(points, &HistoryPoint::fullCapacity, QStringLiteral(" mAh"),
                            QStringLiteral("Full capacity in mAh over time")))
            .raw("</div><div><h2>Cycle count</h2>")
            .raw(smallChart(points, &HistoryPoint::cycleCount, QStringLiteral(" cycles"), QStringLiteral("Cycle count over time")))
            .raw("</div></section>\n<section><h2>Reports <span class=\"muted\">(")
            .count(points.size())
            .raw(" points)</span></h2><p><a href=\"/api/v1/batteries/")
            .text(key)
            .raw("/history.csv\" download>CSV of all points</a></p><div class=\"table-wrap tall\"><table><thead><tr>"
                 "<th>Time</th><th class=\"num\">Health %</th><th>Health</th><th class=\"num\">Full Capacity</th>"
                 "<th class=\"num\">Cycle Count</th></tr></thead><tbody>\n");
        for (qsizetype i = points.size() - 1; i >= 0; --i) {
            const HistoryPoint &p = points.at(i);
            h.raw("<tr><td>").text(localTime(p.time)).raw("</td><td class=\"num\">").number(p.percent)
                .raw(" %</td><td>").raw(classBadge(p.healthClass)).raw("</td><td class=\"num\">").text(capacityShown(p.fullCapacity))
                .raw("</td><td class=\"num\">").number(p.cycleCount).raw("</td></tr>\n");
        }
        h.raw("</tbody></table></div></section>\n");
    }
    return Html::page(alias.isEmpty() ? serialShown(r) : alias, Html::Section::Battery, h.take(), m_signOut);
}

} // namespace NVL::Engineering::VK
