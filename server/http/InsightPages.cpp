#include "InsightPages.h"

#include "ApiViews.h"
#include "FleetIndex.h"
#include "Html.h"
#include "InsightKeeper.h"
#include "InsightViews.h"
#include "PageParts.h"

#include <QDateTime>
#include <QUrl>

#include <algorithm>
#include <cmath>

namespace NVL::Engineering::VK {

using namespace PageParts;

namespace {

constexpr int TypeColours = 6; // classes type-0 .. type-5 of the stylesheet
constexpr int ChartAddresses = 12;
constexpr qsizetype BatteriesListed = 300;
constexpr double StripMaximum = 4.0;

QString fixed(double value, int places)
{
    return std::isnan(value) ? QString::fromUtf8("\xE2\x80\x94") : QString::number(value, 'f', places);
}

QString effectText(const WearGroup &g)
{
    if (std::isnan(g.effect))
        return QString::fromUtf8("\xE2\x80\x94");
    return QString::fromUtf8("%1\xC3\x97 (%2\xE2\x80\x93%3)").arg(fixed(g.effect, 2), fixed(g.effectLow, 2), fixed(g.effectHigh, 2));
}

QByteArray sitePath(const QString &name)
{
    return QByteArrayLiteral("/sites/") + QUrl::toPercentEncoding(name);
}

void flagBadge(Html &h, const WearGroup &g)
{
    if (g.flagged)
        h.raw("<span class=\"badge c-poor\"><span class=\"shape\" aria-hidden=\"true\">\xE2\x96\xB2</span>Wears faster</span>");
    else if (g.compared < WearReport::MinimumBatteries)
        h.raw("<span class=\"muted\">too few to judge</span>");
    else
        h.raw("<span class=\"muted\">no</span>");
}

void groupCells(Html &h, const WearGroup &g)
{
    h.raw("<td class=\"num\">").count(g.batteries).raw("</td><td class=\"num\">").text(fixed(g.medianFade, 1))
        .raw("</td><td class=\"num\">").text(fixed(g.typeMedianFade, 1)).raw("</td><td class=\"num\">").text(effectText(g))
        .raw("</td><td>");
    flagBadge(h, g);
    h.raw("</td><td class=\"num wide\">").count(g.fasterThanType).raw("</td>");
}

// Short heads: every column fits at 1,280 pixels.
const char *const GroupHeads = "<th class=\"num\">Batteries</th><th class=\"num\">Median fade, pts/year</th>"
                               "<th class=\"num\">Its types' median</th><th class=\"num\">Against the types' usual "
                               "(95 %)</th><th>Flagged</th><th class=\"num wide\">Faster than type</th>";

// One row per address (the most batteries first), each battery a dot at its fade over its type's median.
QByteArray fadeStrip(const SiteWear &site, const FleetIndex &fleet)
{
    QList<const WearGroup *> rows;
    for (const WearGroup &g : site.addresses) {
        if (rows.size() < ChartAddresses)
            rows.append(&g);
    }
    const int rowHeight = 26;
    const int left = 170, right = 20, top = 24, width = 900;
    const int height = top + rowHeight * int(std::max<qsizetype>(rows.size(), 1)) + 30;
    const double plotWidth = double(width - left - right);
    const auto x = [&](double ratio) { return left + plotWidth * std::clamp(ratio, 0.0, StripMaximum) / StripMaximum; };
    Html h;
    h.raw("<svg class=\"chart strip\" viewBox=\"0 0 ").number(width).raw(" ").number(height)
        .raw("\" role=\"img\" aria-label=\"")
        .text(QStringLiteral("Fade of each battery of %1 against the median of its type, by address").arg(site.site.name))
        .raw("\"><rect class=\"plot\" x=\"").number(left).raw("\" y=\"").number(top).raw("\" width=\"")
        .number(int(plotWidth)).raw("\" height=\"").number(height - top - 30).raw("\"/>");
    for (int tick = 0; tick <= int(StripMaximum); ++tick) {
        h.raw("<line class=\"grid\" x1=\"").number(qint64(x(tick))).raw("\" x2=\"").number(qint64(x(tick)))
            .raw("\" y1=\"").number(top).raw("\" y2=\"").number(height - 30).raw("\"/><text class=\"axis\" x=\"")
            .number(qint64(x(tick))).raw("\" y=\"").number(height - 12).raw("\" text-anchor=\"middle\">").number(tick)
            .raw("\xC3\x97</text>");
    }
    h.raw("<line class=\"ref-fleet\" x1=\"").number(qint64(x(1.0))).raw("\" x2=\"").number(qint64(x(1.0))).raw("\" y1=\"")
        .number(top - 6).raw("\" y2=\"").number(height - 30).raw("\"/><text class=\"axis\" x=\"").number(qint64(x(1.0)) + 4)
        .raw("\" y=\"").number(top - 8).raw("\">fleet median</text><line class=\"ref-flag\" x1=\"")
        .number(qint64(x(WearReport::MinimumEffect))).raw("\" x2=\"").number(qint64(x(WearReport::MinimumEffect)))
        .raw("\" y1=\"").number(top).raw("\" y2=\"").number(height - 30).raw("\"/>");
    for (qsizetype r = 0; r < rows.size(); ++r) {
        const int y = top + rowHeight * int(r) + rowHeight / 2;
        h.raw("<text class=\"axis\" x=\"").number(left - 8).raw("\" y=\"").number(y + 4)
            .raw("\" text-anchor=\"end\">").text(rows[r]->name).raw("</text>");
        const QByteArray address = SiteMap::addressFrom(rows[r]->name);
        int n = 0;
        for (const WearBattery &b : site.batteries) {
            if (b.home != address || std::isnan(b.ratio))
                continue;
            // Spread within the row so that equal rates stay apart.
            const int jitter = (n++ * 7) % 15 - 7;
            h.raw("<circle class=\"").raw(rows[r]->flagged ? "strip-dot flagged" : "strip-dot").raw("\" cx=\"")
                .raw(QByteArray::number(x(b.ratio), 'f', 1)).raw("\" cy=\"").number(y + jitter).raw("\" r=\"3.2\"><title>")
                .text(QString::fromUtf8("%1: %2 points/year, %3\xC3\x97 its type").arg(b.texts(fleet).serialShown, fixed(b.fade, 1), fixed(b.ratio, 2)))
                .raw("</title></circle>");
        }
        if (rows[r]->compared > 0 && !std::isnan(rows[r]->effect)) {
            h.raw("<line class=\"strip-median\" x1=\"").number(qint64(x(rows[r]->effect))).raw("\" x2=\"")
                .number(qint64(x(rows[r]->effect))).raw("\" y1=\"").number(y - 10).raw("\" y2=\"").number(y + 10).raw("\"/>");
        }
    }
    if (rows.isEmpty())
        h.raw("<text class=\"axis\" x=\"").number(left + 10).raw("\" y=\"").number(top + 16)
            .raw("\">No address of this site holds most of any battery's reports.</text>");
    h.raw("</svg>");
    return h.take();
}

// Bars per month, each stacked by type, with the total's range as a whisker.
QByteArray planChart(const PurchasePlan &plan, const FleetIndex &fleet)
{
    const int width = 960, height = 330, left = 56, right = 16, top = 26, bottom = 44;
    double highest = 1;
    for (const PurchasePlan::Cell &c : plan.total.months)
        highest = std::max(highest, c.high);
    double step = std::pow(10.0, std::floor(std::log10(highest)));
    if (highest / step < 2.5)
        step /= 5;
    else if (highest / step < 5)
        step /= 2;
    step = std::max(step, 1.0);
    const double ceiling = std::ceil(highest / step) * step;
    const double plotHeight = double(height - top - bottom);
    const double slot = double(width - left - right) / PurchasePlan::Months;
    const auto y = [&](double v) { return top + plotHeight * (1.0 - v / ceiling); };
    Html h;
    h.raw("<svg class=\"chart plan\" viewBox=\"0 0 ").number(width).raw(" ").number(height)
        .raw("\" role=\"img\" aria-label=\"Batteries expected to reach the boundary in each of the next 12 months, by type\">"
             "<rect class=\"plot\" x=\"").number(left).raw("\" y=\"").number(top).raw("\" width=\"").number(width - left - right)
        .raw("\" height=\"").number(int(plotHeight)).raw("\"/>");
    // Units on the axes: a count of batteries up the side, months (and their expected total) along the foot.
    h.raw("<text class=\"axis\" x=\"").number(left - 6).raw("\" y=\"").number(top - 4).raw("\" text-anchor=\"start\">batteries</text>");
    for (double v = 0; v <= ceiling + step / 2; v += step) {
        h.raw("<line class=\"grid\" x1=\"").number(left).raw("\" x2=\"").number(width - right).raw("\" y1=\"")
            .raw(QByteArray::number(y(v), 'f', 1)).raw("\" y2=\"").raw(QByteArray::number(y(v), 'f', 1))
            .raw("\"/><text class=\"axis\" x=\"").number(left - 6).raw("\" y=\"").raw(QByteArray::number(y(v) + 4, 'f', 1))
            .raw("\" text-anchor=\"end\">").count(qint64(v)).raw("</text>");
    }
    for (int m = 0; m < PurchasePlan::Months; ++m) {
        const double x0 = left + slot * m + slot * 0.18;
        const double barWidth = slot * 0.64;
        double base = 0;
        for (qsizetype t = 0; t < plan.types.size(); ++t) {
            const PurchasePlan::Cell &c = plan.types[t].months[size_t(m)];
            if (c.expected <= 0)
                continue;
            h.raw("<rect class=\"bar type-").number(t % TypeColours).raw("\" x=\"").raw(QByteArray::number(x0, 'f', 1))
                .raw("\" y=\"").raw(QByteArray::number(y(base + c.expected), 'f', 1)).raw("\" width=\"")
                .raw(QByteArray::number(barWidth, 'f', 1)).raw("\" height=\"")
                .raw(QByteArray::number(y(base) - y(base + c.expected), 'f', 1)).raw("\"><title>")
                .text(QString::fromUtf8("%1, %2: %3 expected (%4\xE2\x80\x93%5)")
                          .arg(fleet.typeName(plan.types[t].typeCode),
                               plan.monthStarts[size_t(m)].toString(QStringLiteral("MMMM yyyy")), fixed(c.expected, 1),
                               fixed(c.low, 1), fixed(c.high, 1)))
                .raw("</title></rect>");
            base += c.expected;
        }
        const PurchasePlan::Cell &total = plan.total.months[size_t(m)];
        const double mid = x0 + barWidth / 2;
        h.raw("<path class=\"whisker\" d=\"M").raw(QByteArray::number(mid, 'f', 1)).raw(" ")
            .raw(QByteArray::number(y(total.low), 'f', 1)).raw("V").raw(QByteArray::number(y(total.high), 'f', 1))
            .raw("M").raw(QByteArray::number(mid - 6, 'f', 1)).raw(" ").raw(QByteArray::number(y(total.low), 'f', 1))
            .raw("h12M").raw(QByteArray::number(mid - 6, 'f', 1)).raw(" ").raw(QByteArray::number(y(total.high), 'f', 1))
            .raw("h12\"/><text class=\"axis\" x=\"").raw(QByteArray::number(mid, 'f', 1)).raw("\" y=\"").number(height - bottom + 16)
            .raw("\" text-anchor=\"middle\">").text(plan.monthStarts[size_t(m)].toString(QStringLiteral("MMM")))
            .raw("</text><text class=\"axis\" x=\"").raw(QByteArray::number(mid, 'f', 1)).raw("\" y=\"").number(height - bottom + 32)
            .raw("\" text-anchor=\"middle\">").text(fixed(total.expected, 0)).raw("</text>");
    }
    h.raw("</svg><figcaption>");
    for (qsizetype t = 0; t < plan.types.size(); ++t)
        h.raw("<span class=\"key-type type-").number(t % TypeColours).raw("\">").text(fleet.typeName(plan.types[t].typeCode))
            .raw("</span>");
    h.raw("<span class=\"key-whisker\">range of the month's total: its 95 % counting range, or every battery at an end "
          "of its band, whichever is wider</span></figcaption>");
    return h.take();
}

QByteArray waiting(const QString &title, Html::Section section, bool signOut)
{
    Html h;
    h.raw("<h1>").text(title).raw("</h1><p class=\"note-pending\">Insight is being computed after the start; this page "
                                  "fills in a moment.</p>");
    return Html::page(title, section, h.take(), signOut);
}

} // namespace

InsightPages::InsightPages(const FleetIndex &fleet, const InsightKeeper &insight, bool signOut)
    : m_fleet(fleet)
    , m_insight(insight)
    , m_signOut(signOut)
{
}

QByteArray InsightPages::missingSite(const QString &name)
{
    return notFoundPage(QStringLiteral("No site named %1 has batteries that report there mostly.").arg(name));
}

QByteArray InsightPages::sites() const
{
    const auto result = m_insight.result();
    if (!result)
        return waiting(QStringLiteral("Sites"), Html::Section::Sites, m_signOut);
    const WearReport &wear = result->wear;
    Html h;
    h.raw("<h1>Sites</h1>\n<p class=\"summary\" id=\"summary\">").count(wear.sites.size())
        .raw(" sites with batteries that report there mostly; <strong>").count(wear.flaggedSites)
        .raw(" flagged</strong>, and <strong>").count(wear.flaggedAddresses)
        .raw(" chargers and gateways</strong>. A site is flagged when its batteries fade faster than the fleet's batteries of the same "
             "types by a rank test at a false-alarm rate of ")
        .text(QString::number(WearReport::FalseAlarmRate * 100.0, 'g', 2))
        .raw(" % per site, with at least ")
        .number(WearReport::MinimumBatteries).raw(" batteries and an effect whose 95 % range reaches ")
        .text(QString::number(WearReport::MinimumEffect, 'f', 1))
        .raw("\xC3\x97: the factor that, taken out of their fades, leaves them ranking like the fleet's. \xC2\xB7 "
             "<a id=\"csv\" href=\"/api/v1/sites.csv\" download>CSV</a></p>\n");
    if (wear.sites.isEmpty()) {
        h.raw("<section><p class=\"muted\">No battery has a site yet: a battery belongs to the site of most of its newest "
              "90 days' reports, and reports are placed from this version on.</p></section>");
        return Html::page(QStringLiteral("Sites"), Html::Section::Sites, h.take(), m_signOut);
    }
    // Flagged chargers and gateways, whichever site they belong to: one worn charger hides in a large site.
    if (wear.flaggedAddresses > 0) {
        h.raw("<section id=\"flagged-addresses\"><h2>Chargers and gateways that wear batteries faster</h2><div "
              "class=\"table-wrap\"><table><thead><tr><th>Address</th><th>Site</th>").raw(GroupHeads)
            .raw("</tr></thead><tbody>\n");
        for (const SiteWear &s : wear.sites) {
            for (const WearGroup &g : s.addresses) {
                if (!g.flagged)
                    continue;
                h.raw("<tr class=\"flagged\"><td class=\"mono\">").text(g.name).raw("</td><td><a href=\"")
                    .raw(sitePath(s.site.name)).raw("\">").text(s.site.name).raw("</a></td>");
                groupCells(h, g);
                h.raw("</tr>\n");
            }
        }
        h.raw("</tbody></table></div></section>\n");
    }
    h.raw("<div class=\"table-wrap\"><table id=\"site-table\"><thead><tr><th>Site</th>").raw(GroupHeads)
        .raw("<th class=\"num wide\">Addresses</th></tr></thead><tbody>\n");
    for (const SiteWear &s : wear.sites) {
        h.raw(s.site.flagged ? "<tr class=\"flagged\"><td><a href=\"" : "<tr><td><a href=\"").raw(sitePath(s.site.name))
            .raw("\">").text(s.site.name).raw("</a></td>");
        groupCells(h, s.site);
        h.raw("<td class=\"num wide\">").count(s.addresses.size()).raw("</td></tr>\n");
    }
    h.raw("</tbody></table></div>\n<p class=\"muted\">As of ").text(localTime(result->asOf))
        .raw(". Fade: health points lost a year by each battery's forecast fit.</p>");
    return Html::page(QStringLiteral("Sites"), Html::Section::Sites, h.take(), m_signOut);
}

std::optional<QByteArray> InsightPages::site(const QString &name) const
{
    const auto result = m_insight.result();
    if (!result)
        return waiting(name, Html::Section::Sites, m_signOut);
    const SiteWear *found = InsightViews::findSite(result->wear, name);
    if (!found)
        return std::nullopt;
    const SiteWear &s = *found;
    Html h;
    h.raw("<p class=\"crumbs\"><a href=\"/sites\">Sites</a> \xE2\x80\xBA</p><h1>").text(s.site.name);
    if (s.site.flagged)
        flagBadge(h, s.site);
    h.raw("</h1>\n<dl class=\"facts\"><dt>Batteries reporting here mostly</dt><dd>").count(s.site.batteries)
        .raw(" (").count(s.site.compared).raw(" with a fade to compare)</dd><dt>Median fade</dt><dd>")
        .text(fixed(s.site.medianFade, 1)).raw(" points/year, the fleet's batteries of the same types ")
        .text(fixed(s.site.typeMedianFade, 1)).raw("</dd><dt>Against the fleet</dt><dd>").text(effectText(s.site))
        .raw("</dd><dt>Rank score</dt><dd>").text(fixed(s.site.score, 2)).raw(" (flagged from ")
        .text(QString::number(WearReport::FlagScore, 'f', 2)).raw(")</dd></dl>\n<section><h2>Fade against each battery's type</h2>"
                                                                    "<figure class=\"chart-box\">")
        .raw(fadeStrip(s, m_fleet))
        .raw("<figcaption><span class=\"key-dot\">a battery</span><span class=\"key-median\">median of the address</span>"
             "<span class=\"key-ref\">1\xC3\x97 fleet, ")
        .text(QString::number(WearReport::MinimumEffect, 'f', 1))
        .raw("\xC3\x97 that a flagged place's range reaches</span></figcaption></figure></section>\n<section><h2>Addresses</h2>");
    if (s.addresses.isEmpty()) {
        h.raw("<p class=\"muted\">No single address holds most of any battery's reports.</p>");
    } else {
        h.raw("<div class=\"table-wrap\"><table id=\"address-table\"><thead><tr><th>Address</th>").raw(GroupHeads)
            .raw("</tr></thead><tbody>\n");
        for (const WearGroup &g : s.addresses) {
            h.raw("<tr><td class=\"mono\">").text(g.name).raw("</td>");
            groupCells(h, g);
            h.raw("</tr>\n");
        }
        h.raw("</tbody></table></div>");
    }
    QList<const WearBattery *> batteries;
    for (const WearBattery &b : s.batteries)
        batteries.append(&b);
    std::sort(batteries.begin(), batteries.end(), [](const WearBattery *a, const WearBattery *b) {
        const double x = std::isnan(a->ratio) ? -1 : a->ratio, y = std::isnan(b->ratio) ? -1 : b->ratio;
        return x > y;
    });
    h.raw("</section>\n<section><h2>Batteries, fastest first</h2><p class=\"summary\"><a href=\"/api/v1/sites/")
        .raw(QUrl::toPercentEncoding(s.site.name)).raw(".csv\" download>CSV of all ").count(batteries.size())
        .raw("</a></p><div class=\"table-wrap tall\"><table><thead><tr><th>Serial#</th><th>Radio Alias</th><th>Type</th>"
             "<th class=\"wide\">Address</th><th class=\"num\">Fade, points/year</th><th class=\"num\">\xC3\x97 its type</th>"
             "<th>Fading faster than its type</th></tr></thead><tbody>\n");
    for (qsizetype i = 0; i < std::min(batteries.size(), BatteriesListed); ++i) {
        const WearBattery &b = *batteries[i];
        const WearBattery::Texts texts = b.texts(m_fleet);
        h.raw("<tr><td><a href=\"/batteries/").raw(serialKeyText(b.serial()).toLatin1()).raw("\">").text(texts.serialShown)
            .raw("</a></td><td>").text(texts.alias).raw("</td><td>").text(m_fleet.typeName(b.typeCode))
            .raw("</td><td class=\"wide mono\">").text(SiteMap::addressText(b.home)).raw("</td><td class=\"num\">")
            .text(fixed(b.fade, 1)).raw("</td><td class=\"num\">").text(fixed(b.ratio, 2)).raw("</td><td>")
            .raw(b.fasterThanType ? "<span class=\"badge c-fair\">fading faster than its type</span>" : "")
            .raw("</td></tr>\n");
    }
    h.raw("</tbody></table></div></section>\n");
    return Html::page(s.site.name, Html::Section::Sites, h.take(), m_signOut);
}

QByteArray InsightPages::silent(int days) const
{
    const qint64 now = QDateTime::currentSecsSinceEpoch();
    const QList<SilentBattery> list = SilentBattery::find(m_fleet.entries(), m_insight.settings().sites, now, days);
    Html h;
    h.raw("<h1>Silent batteries</h1>\n<form class=\"filters\" method=\"get\" action=\"/silent\"><label>Silent for at least, days "
          "<input type=\"search\" name=\"days\" inputmode=\"numeric\" size=\"5\" value=\"")
        .number(days).raw("\"></label><button type=\"submit\">Apply</button></form>\n<p class=\"summary\" id=\"summary\">")
        .count(list.size()).raw(" of ").count(qint64(m_fleet.entries().size()))
        .raw(" batteries have not reported for ").number(days)
        .raw(days == 1 ? " day" : " days").raw(" or more: lost, stolen, broken, or in a drawer. \xC2\xB7 <a id=\"csv\" href=\"/api/v1/silent.csv?days=")
        .number(days).raw("\" download>CSV</a></p>\n");
    if (list.isEmpty()) {
        h.raw("<section><p class=\"muted\">Every battery has reported within ").number(days).raw(days == 1 ? " day.</p></section>" : " days.</p></section>");
        return Html::page(QStringLiteral("Silent batteries"), Html::Section::Silent, h.take(), m_signOut);
    }
    h.raw("<div class=\"table-wrap\"><table id=\"silent-table\"><thead><tr><th>Serial#</th><th>Radio Alias</th><th>Type</th>"
          "<th>Health</th><th>Last report</th><th class=\"num\">Silent, days</th><th>Last site</th>"
          "<th class=\"wide\">Last address</th></tr></thead><tbody>\n");
    for (const SilentBattery &s : list) {
        h.raw("<tr><td><a href=\"").raw(batteryPath(s.record)).raw("\">").text(serialShown(s.record)).raw("</a></td><td>")
            .text(aliasText(s.record)).raw("</td><td>").text(m_fleet.typeName(s.record.typeCode))
            .raw("</td><td>").raw(classBadge(s.healthClass)).raw("</td><td>").text(localTime(s.record.reportTime))
            .raw("</td><td class=\"num\">").count((now - qint64(s.record.reportTime)) / 86400).raw("</td><td>");
        if (s.lastSite.isEmpty())
            h.raw("<span class=\"muted\">unknown</span>");
        else
            h.raw("<a href=\"").raw(sitePath(s.lastSite)).raw("\">").text(s.lastSite).raw("</a>");
        h.raw("</td><td class=\"wide mono\">").text(SiteMap::addressText(s.lastAddress)).raw("</td></tr>\n");
    }
    h.raw("</tbody></table></div>\n");
    return Html::page(QStringLiteral("Silent batteries"), Html::Section::Silent, h.take(), m_signOut);
}

QByteArray InsightPages::plan() const
{
    const auto result = m_insight.result();
    if (!result)
        return waiting(QStringLiteral("Purchase plan"), Html::Section::Plan, m_signOut);
    const PurchasePlan &plan = result->plan;
    Html h;
    h.raw("<h1>Purchase plan</h1>\n<p class=\"summary\" id=\"summary\">Batteries expected to reach the boundary in each "
          "of the next 12 months, by type: the sum of each battery's probability from its forecast and band, so that no "
          "battery counts twice. The ")
        .count(plan.total.poorNow).raw(" already Poor are in the first month; ").count(plan.total.withoutForecast)
        .raw(" without a forecast yet are in none. \xC2\xB7 <a id=\"csv\" href=\"/plan.csv\" download>CSV</a></p>\n"
             "<section><h2>By month</h2><figure class=\"chart-box\">")
        .raw(planChart(plan, m_fleet)).raw("</figure></section>\n<section><h2>By type</h2><div class=\"table-wrap\"><table "
                                  "id=\"plan-table\"><thead><tr><th>Type</th><th class=\"num\">Batteries</th>");
    for (const QDate &month : plan.monthStarts)
        h.raw("<th class=\"num\">").text(month.toString(QStringLiteral("MMM yy"))).raw("</th>");
    h.raw("</tr></thead><tbody>\n");
    const auto row = [&](const PurchasePlan::Row &r, const QString &name, bool total) {
        h.raw(total ? "<tr class=\"total\"><th>" : "<tr><td>").text(name).raw(total ? "</th>" : "</td>")
            .raw("<td class=\"num\">").count(r.batteries).raw("</td>");
        for (const PurchasePlan::Cell &c : r.months)
            h.raw("<td class=\"num\"><strong>").text(fixed(c.expected, 1)).raw("</strong><br><span class=\"muted\">")
                .text(fixed(c.low, 0)).raw("\xE2\x80\x93").text(fixed(c.high, 0)).raw("</span></td>");
        h.raw("</tr>\n");
    };
    for (const PurchasePlan::Row &r : plan.types)
        row(r, m_fleet.typeName(r.typeCode), false);
    row(plan.total, QStringLiteral("All types"), true);
    h.raw("</tbody></table></div></section>\n<p class=\"muted\">As of ").text(localTime(result->asOf)).raw(".</p>");
    return Html::page(QStringLiteral("Purchase plan"), Html::Section::Plan, h.take(), m_signOut);
}

void InsightPages::cards(Html &h, const InsightResult *result)
{
    // Until the first analysis after the start, whose forecasts are fitted, a card shows no figure.
    const auto computing = [&h] { h.raw("computing\xE2\x80\xA6</span><span class=\"note\">after the start</span></a>"); };
    h.raw("<a class=\"card card-poor\" href=\"/sites\"><span class=\"label\">Flagged sites</span><span class=\"value\" "
          "id=\"flagged-sites\">");
    if (result)
        h.count(result->wear.flaggedSites).raw("</span><span class=\"note\">of ").count(result->wear.sites.size())
            .raw(" sites wear batteries faster</span></a>");
    else
        computing();
    h.raw("<a class=\"card card-poor\" href=\"/sites#flagged-addresses\"><span class=\"label\">Flagged chargers</span>"
          "<span class=\"value\" id=\"flagged-addresses\">");
    if (result)
        h.count(result->wear.flaggedAddresses).raw("</span><span class=\"note\">chargers and gateways wear batteries "
                                                   "faster, in any site</span></a>");
    else
        computing();
    h.raw("<a class=\"card card-due\" href=\"/silent\"><span class=\"label\">Silent batteries</span><span class=\"value\" "
          "id=\"silent-batteries\">");
    if (result)
        h.count(result->silent.size()).raw("</span><span class=\"note\">no report for ").number(result->silentDays)
            .raw(" days</span></a>");
    else
        computing();
    h.raw("<a class=\"card\" href=\"/plan\"><span class=\"label\">To buy within 3 months</span><span class=\"value\" "
          "id=\"plan-3\">");
    if (result) {
        const PurchasePlan::Cell &three = result->plan.total.byEnd[2];
        h.text(QString::number(three.expected, 'f', 0)).raw("</span><span class=\"note\">range ")
            .text(QString::number(three.low, 'f', 0)).raw("\xE2\x80\x93").text(QString::number(three.high, 'f', 0))
            .raw(", by type on the plan</span></a>");
    } else {
        computing();
    }
}

} // namespace NVL::Engineering::VK
