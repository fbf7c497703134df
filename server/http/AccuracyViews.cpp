#include "AccuracyViews.h"

#include "Html.h"
#include "PageParts.h"

#include <cmath>

namespace NVL::Engineering::VK::AccuracyViews {

namespace {

QJsonValue rounded(double value, int decimals)
{
    const double scale = std::pow(10.0, decimals);
    return std::round(value * scale) / scale;
}

} // namespace

ApiTable table(const ForecastAccuracy &accuracy)
{
    ApiTable t({QStringLiteral("horizonDays"), QStringLiteral("replays"), QStringLiteral("bandHitRate"),
                QStringLiteral("medianErrorPoints"), QStringLiteral("crossings"), QStringLiteral("medianDateErrorDays")});
    for (const ForecastAccuracy::Horizon &h : accuracy.horizons()) {
        const bool replayed = h.replays > 0;
        t.addRow({h.days, double(h.replays), replayed ? rounded(h.bandHitRate, 3) : QJsonValue(),
                  replayed ? rounded(h.medianError, 1) : QJsonValue(), double(h.crossings),
                  h.crossings > 0 ? rounded(h.medianDateError, 0) : QJsonValue()});
    }
    return t;
}

void panel(Html &h, const ForecastAccuracy &accuracy, qint64 made)
{
    using PageParts::localTime;
    h.raw("<section id=\"date-accuracy\"><h2>How good are our dates</h2>");
    if (made == 0 || accuracy.replays() == 0) {
        h.raw("<p class=\"muted\">This fleet has no track record yet: once a day the server replays each battery's "
              "forecasts of 30, 60, 90 and 180 days ago against what it reported since, and until there is such a "
              "history the bands are as wide as on a typical fleet.</p></section>\n");
        return;
    }
    h.raw("<p>Each battery's forecast as it would have been made 30, 60, 90 and 180 days ago, against what the "
          "battery reported since (the fleet's own past year; made ")
        .text(localTime(made))
        .raw("). The bands are set from these misses so that they hold about 95 % of them.</p>"
             "<div class=\"table-wrap\"><table><thead><tr><th>Made this many days ahead</th><th class=\"num\">Forecasts "
             "replayed</th><th class=\"num\">Band held what came</th><th class=\"num\">Median miss</th><th "
             "class=\"num\">Reached Poor since</th><th class=\"num\">Median miss of their date</th></tr></thead><tbody>");
    for (const ForecastAccuracy::Horizon &r : accuracy.horizons()) {
        h.raw("<tr><td>").number(r.days).raw(" days</td><td class=\"num\">").count(r.replays).raw("</td><td class=\"num\">");
        if (r.replays > 0)
            h.text(QString::number(r.bandHitRate * 100, 'f', 0)).raw(" %</td><td class=\"num\">")
                .text(QString::number(r.medianError, 'f', 1)).raw(" points");
        else
            h.raw("\xE2\x80\x94</td><td class=\"num\">\xE2\x80\x94");
        h.raw("</td><td class=\"num\">").count(r.crossings).raw("</td><td class=\"num\">");
        if (r.crossings > 0)
            h.text(QStringLiteral("%1%2 days").arg(r.medianDateError > 0 ? QStringLiteral("+") : QString()).arg(r.medianDateError, 0, 'f', 0));
        else
            h.raw("\xE2\x80\x94");
        h.raw("</td></tr>\n");
    }
    h.raw("</tbody></table></div><p class=\"muted\">A miss of the date above zero: the battery reached Poor before its "
          "forecast said. <a href=\"/api/v1/forecast/accuracy\">As JSON</a>, <a "
          "href=\"/api/v1/forecast/accuracy.csv\">as CSV</a>.</p></section>\n");
}

} // namespace NVL::Engineering::VK::AccuracyViews
