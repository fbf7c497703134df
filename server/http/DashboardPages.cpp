#include "DashboardPages.h"

#include "AccuracyViews.h"

#include "ApiViews.h"
#include "HistoryKeeper.h"
#include "Html.h"
#include "InsightKeeper.h"
#include "InsightPages.h"
#include "LocalDays.h"
#include "MailLedger.h"
#include "OverviewTally.h"
#include "PageParts.h"

#include <QtEndian>

#include <algorithm>
#include <tuple>

namespace NVL::Engineering::VK {

using namespace PageParts;

namespace {


struct ColumnHead
{
    BatteryQuery::Column column;
    const char *title;
    const char *cssClass; // columns a phone leaves out
};

// On a phone the alias, the column people know a radio by, comes right after the serial: a copy of it shown
// only there, the desktop's order kept.
const ColumnHead ListColumns[] = {
    {BatteryQuery::Column::Serial, "Serial#", ""},
    {BatteryQuery::Column::Alias, "Radio Alias", "narrow"},
    {BatteryQuery::Column::Health, "Health", ""},
    {BatteryQuery::Column::Percent, "Health %", "num"},
    {BatteryQuery::Column::Forecast, "Reaches Poor", ""},
    {BatteryQuery::Column::Capacity, "Full Capacity", "num wide"},
    {BatteryQuery::Column::Cycles, "Cycle Count", "num wide"},
    {BatteryQuery::Column::Esn, "Radio ESN", "wide"},
    {BatteryQuery::Column::Alias, "Radio Alias", "wide"},
    {BatteryQuery::Column::Reported, "Report Date", "wide"},
    {BatteryQuery::Column::Address, "Report IP", "wide"},
};

void batteryRow(Html &h, const FleetIndex::Entry &e)
{
    const BatteryRecord &r = e.record;
    h.raw("<tr><td><a href=\"").raw(batteryPath(r)).raw("\">").text(serialShown(r)).raw("</a></td><td class=\"narrow\">")
        .text(aliasText(r))
        .raw("</td><td>")
        .raw(classBadge(e.healthClass))
        .raw("</td><td class=\"num\">")
        .number(e.percent)
        .raw(" %</td><td>")
        .text(forecastText(e))
        .raw("</td><td class=\"num wide\">")
        .text(capacityShown(r.fullCapacity))
        .raw("</td><td class=\"num wide\">")
        .number(r.cycleCount)
        .raw("</td><td class=\"wide mono\">")
        .text(esnText(r))
        .raw("</td><td class=\"wide\">")
        .text(aliasText(r))
        .raw("</td><td class=\"wide\">")
        .text(localTime(r.reportTime))
        .raw("</td><td class=\"wide mono\">")
        .text(ApiViews::addressText(r.reportAddress))
        .raw("</td></tr>\n");
}

// Counts per class as one bar, each part patterned as well as coloured.
void classBar(Html &h, const std::array<qint64, 4> &counts)
{
    const qint64 total = counts[0] + counts[1] + counts[2] + counts[3];
    h.raw("<svg class=\"classbar\" viewBox=\"0 0 1000 44\" preserveAspectRatio=\"none\" role=\"img\" aria-label=\"")
        .text(QStringLiteral("Health classes: %1 excellent, %2 good, %3 fair, %4 poor")
                  .arg(counts[3]).arg(counts[2]).arg(counts[1]).arg(counts[0]))
        .raw("\"><defs><pattern id=\"hatch-fair\" width=\"10\" height=\"10\" patternUnits=\"userSpaceOnUse\" "
             "patternTransform=\"rotate(45)\"><rect class=\"c-fair-fill\" width=\"10\" height=\"10\"/><line "
             "class=\"hatch\" x1=\"0\" y1=\"0\" x2=\"0\" y2=\"10\"/></pattern><pattern id=\"hatch-poor\" width=\"8\" "
             "height=\"8\" patternUnits=\"userSpaceOnUse\"><rect class=\"c-poor-fill\" width=\"8\" height=\"8\"/>"
             "<path class=\"hatch\" d=\"M0 0L8 8M8 0L0 8\"/></pattern></defs>");
    double at = 0;
    for (int c = 3; c >= 0; --c) {
        if (total == 0 || counts[std::size_t(c)] == 0)
            continue;
        const double width = 1000.0 * double(counts[std::size_t(c)]) / double(total);
        h.raw("<rect class=\"seg seg-").raw(classKey(c)).raw("\" x=\"").raw(QByteArray::number(at, 'f', 2))
            .raw("\" y=\"0\" width=\"").raw(QByteArray::number(width, 'f', 2)).raw("\" height=\"44\"/>");
        at += width;
    }
    if (total == 0)
        h.raw("<rect class=\"seg-empty\" width=\"1000\" height=\"44\"/>");
    h.raw("</svg><ul class=\"legend\">");
    for (int c = 3; c >= 0; --c) {
        const qint64 n = counts[std::size_t(c)];
        h.raw("<li><a href=\"/batteries?class=").raw(classKey(c)).raw("\">").raw(classBadge(c)).raw(" <strong>")
            .count(n).raw("</strong> <span class=\"muted\">")
            .text(total > 0 ? QString::number(100.0 * double(n) / double(total), 'f', 1) + QStringLiteral(" %")
                            : QString())
            .raw("</span></a></li>");
    }
    h.raw("</ul>");
}

} // namespace

DashboardPages::DashboardPages(const FleetIndex &fleet, HistoryKeeper *history, const MailLedger *mails,
                               const InsightKeeper *insight, bool signOut)
    : m_fleet(fleet)
    , m_history(history)
    , m_mails(mails)
    , m_insight(insight)
    , m_signOut(signOut)
{
}

void DashboardPages::notificationMail(Html &h) const
{
    h.raw("<section><h2>Notification mail</h2>");
    const QList<MailLedger::NotificationRecord> records = m_mails->notifications();
    if (records.isEmpty()) {
        h.raw("<p class=\"muted\">No notification has been mailed since the server started.</p></section>\n");
        return;
    }
    h.raw("<div class=\"table-wrap\"><table><thead><tr><th>Notification</th><th>Last mailed</th><th>Outcome</th>"
          "<th class=\"wide\">Last success</th></tr></thead><tbody>");
    for (const MailLedger::NotificationRecord &r : records) {
        h.raw("<tr><td>").text(r.alias).raw("</td><td>").text(localTime(r.lastAttempt.toSecsSinceEpoch()))
            .raw("</td><td>");
        if (r.lastSucceeded) {
            h.raw("<span class=\"outcome outcome-sent\">\xE2\x9C\x93 Sent</span>");
        } else {
            h.raw("<span class=\"outcome outcome-failed\">\xE2\x9C\x97 Failed</span> ").text(r.lastFailure);
            if (r.failuresInARow > 1)
                h.raw(" (").number(r.failuresInARow).raw(" times in a row)");
        }
        h.raw("</td><td class=\"wide\">")
            .text(r.lastSuccess.isValid() ? localTime(r.lastSuccess.toSecsSinceEpoch()) : QStringLiteral("never"))
            .raw("</td></tr>\n");
    }
    h.raw("</tbody></table></div></section>\n");
}

QByteArray DashboardPages::overview() const
{
    OverviewTally tally(LocalDays::today());
    for (const FleetIndex::Entry &e : m_fleet.entries())
        tally.add(e);
    tally.finish();
    return overview(tally);
}

QByteArray DashboardPages::overview(const OverviewTally &tally) const
{
    const qint64 today = tally.today();
    const std::array<qint64, 4> counts = m_fleet.classCounts();
    const qint64 total = counts[0] + counts[1] + counts[2] + counts[3];
    // The rows kept by serial; a battery deleted since it was looked at is left out.
    const auto rows = [this](const std::vector<OverviewTally::Ranked> &ranked) {
        std::vector<std::pair<qint64, const FleetIndex::Entry *>> found;
        for (const OverviewTally::Ranked &r : ranked) {
            char serial[8];
            qToBigEndian(r.key, serial);
            if (const FleetIndex::Entry *entry = m_fleet.find(QByteArray::fromRawData(serial, 8)))
                found.emplace_back(r.rank, entry);
        }
        return found;
    };
    const auto due = rows(tally.due());
    const auto newest = rows(tally.newest());
    const auto &DueSpans = OverviewTally::DueSpans;

    Html h;
    h.raw("<h1>Fleet overview</h1>\n<section class=\"cards\" aria-label=\"Replacement outlook\">"
          "<a class=\"card\" href=\"/batteries\"><span class=\"label\">Batteries</span><span class=\"value\">")
        .count(total)
        .raw("</span><span class=\"note\">newest report of each</span></a>"
             "<a class=\"card card-poor\" href=\"/batteries?class=poor\"><span class=\"label\">Poor now</span>"
             "<span class=\"value\">")
        .count(counts[Poor])
        .raw("</span><span class=\"note\" id=\"poor-note\">by their newest report");
    if (tally.doubted() > 0)
        h.raw("; ").count(tally.doubted()).raw(" of them far from their history: check their readings");
    if (tally.atBoundary() > 0)
        h.raw("; ").count(tally.atBoundary()).raw(" more at the boundary by their fit");
    h.raw("</span></a>");
    for (std::size_t s = 0; s < std::size(DueSpans); ++s) {
        h.raw("<a class=\"card card-due\" href=\"/batteries?due=").number(DueSpans[s])
            .raw("&amp;sort=forecast\"><span class=\"label\">Reach Poor within ")
            .number(DueSpans[s])
            .raw(" days</span><span class=\"value\" id=\"due-")
            .number(DueSpans[s])
            .raw("\">")
            .count(tally.dueWithin()[s])
            .raw("</span><span class=\"note\">Poor now or by ")
            .text(ApiViews::dayText(today + DueSpans[s]))
            .raw("</span></a>");
    }
    if (m_insight)
        InsightPages::cards(h, m_insight->result().get());
    h.raw("</section>\n");
    if (const qsizetype pending = m_history ? m_history->pendingForecasts() : 0) {
        h.raw("<p class=\"note-pending\" id=\"forecasts-pending\">The forecasts of ")
            .count(pending)
            .raw(" batteries are still being fitted after the start: until then they are in none of these counts.</p>\n");
    }
    h.raw("<section><h2>Health classes</h2>");
    classBar(h, counts);
    h.raw("</section>\n<section><h2>Next to reach Poor</h2>");
    if (due.empty()) {
        h.raw("<p class=\"muted\">No battery is predicted to reach Poor within 180 days.</p>");
    } else {
        h.raw("<div class=\"table-wrap\"><table><thead><tr><th>Serial#</th><th>Radio Alias</th><th>Health</th>"
              "<th class=\"num\">Health %</th><th>Reaches Poor</th><th class=\"num\">In days</th></tr></thead><tbody>");
        for (const auto &[day, entry] : due) {
            const FleetIndex::Entry &e = *entry;
            h.raw("<tr><td><a href=\"").raw(batteryPath(e.record)).raw("\">").text(serialShown(e.record))
                .raw("</a></td><td>").text(aliasText(e.record)).raw("</td><td>").raw(classBadge(e.healthClass))
                .raw("</td><td class=\"num\">").number(e.percent).raw(" %</td><td>").text(forecastText(e));
            // A battery silent since: its date passed by its fit as of its last report, not "in 0 days".
            if (day < today)
                h.raw(" <span class=\"muted\">as of its last report, ").text(localTime(e.record.reportTime).left(10))
                    .raw("</span></td><td class=\"num\">passed");
            else
                h.raw("</td><td class=\"num\">").number(day - today);
            h.raw("</td></tr>\n");
        }
        h.raw("</tbody></table></div><p><a href=\"/batteries?due=180&amp;sort=forecast\">All ").count(tally.dueCount())
            .raw(" due within 180 days, by predicted date \xE2\x86\x92</a></p>");
    }
    h.raw("</section>\n<section><h2>Newest reports</h2>");
    if (newest.empty())
        h.raw("<p class=\"muted\">No battery has reported yet: batteries appear here with their first report.</p>");
    else
        h.raw("<div class=\"table-wrap\"><table><thead><tr><th>Report Date</th>"
              "<th>Serial#</th><th>Radio Alias</th><th>Health</th><th class=\"num\">Health %</th>"
              "<th class=\"wide\">Report IP</th></tr></thead><tbody>");
    for (const auto &[time, entry] : newest) {
        const FleetIndex::Entry &e = *entry;
        h.raw("<tr><td>").text(localTime(e.record.reportTime)).raw("</td><td><a href=\"").raw(batteryPath(e.record))
            .raw("\">").text(serialShown(e.record)).raw("</a></td><td>").text(aliasText(e.record)).raw("</td><td>")
            .raw(classBadge(e.healthClass)).raw("</td><td class=\"num\">").number(e.percent)
            .raw(" %</td><td class=\"wide mono\">").text(ApiViews::addressText(e.record.reportAddress))
            .raw("</td></tr>\n");
    }
    h.raw(newest.empty() ? "</section>\n" : "</tbody></table></div></section>\n");
    if (m_history) {
        const auto [accuracy, made] = m_history->accuracy();
        AccuracyViews::panel(h, accuracy, made);
    }
    if (m_mails)
        notificationMail(h);
    return Html::page(QStringLiteral("Fleet overview"), Html::Section::Overview, h.take(), m_signOut);
}

QByteArray DashboardPages::batteries(const BatteryQuery &query) const
{
    return batteries(query, query.select(m_fleet));
}

QByteArray DashboardPages::batteries(const BatteryQuery &query, const BatteryQuery::Selection &selection) const
{
    const qint64 count = qint64(selection.matched);
    const int pages = int(std::max<qint64>(1, (count + BatteryQuery::PageSize - 1) / BatteryQuery::PageSize));
    BatteryQuery shown = query;
    shown.page = selection.page;
    const qint64 first = qint64(shown.page - 1) * BatteryQuery::PageSize;
    const qint64 last = first + qint64(selection.rows.size());

    Html h;
    h.raw("<h1>Batteries</h1>\n<form class=\"filters\" id=\"filters\" method=\"get\" action=\"/batteries\">"
          "<label>Class <select name=\"class\"><option value=\"\">All classes</option>");
    for (int c = 3; c >= 0; --c) {
        h.raw("<option value=\"").raw(classKey(c)).raw(c == query.healthClass ? "\" selected>" : "\">")
            .raw(className(c)).raw("</option>");
    }
    h.raw("</select></label><label class=\"grow\">Search <input type=\"search\" name=\"q\" value=\"")
        .text(query.text)
        .raw("\" placeholder=\"Alias, serial or ESN\" autocomplete=\"off\"></label><label>Due <select name=\"due\">"
             "<option value=\"\">Any time</option>");
    // The spans of the overview's cards and the plan, and the one asked for if it is another.
    QList<int> spans = {30, 90, 180, 365};
    if (query.due > 0 && !spans.contains(query.due))
        spans.append(query.due);
    for (const int days : spans)
        h.raw("<option value=\"").number(days).raw(days == query.due ? "\" selected>" : "\">").raw("Poor now or within ")
            .number(days).raw(" days</option>");
    h.raw("</select></label>");
    if (query.sort != BatteryQuery::Column::Percent)
        h.raw("<input type=\"hidden\" name=\"sort\" value=\"").raw(BatteryQuery::columnName(query.sort)).raw("\">");
    if (query.descending)
        h.raw("<input type=\"hidden\" name=\"dir\" value=\"desc\">");
    BatteryQuery csv = shown;
    h.raw("<button type=\"submit\">Apply</button></form>\n");
    if (!query.problems.isEmpty()) {
        h.raw("<p class=\"note-pending\" id=\"not-understood\" role=\"alert\">Not understood: ");
        for (qsizetype i = 0; i < query.problems.size(); ++i)
            h.text(i == 0 ? query.problems[i] : QStringLiteral("; ") + query.problems[i]);
        h.raw(".</p>\n");
    }
    h.raw("<p class=\"summary\" id=\"summary\">");
    const qint64 fleetSize = qint64(m_fleet.entries().size());
    if (fleetSize == 0)
        h.raw("No battery has reported yet: batteries appear here with their first report.");
    else if (count == 0)
        h.raw("None of the ").count(fleetSize).raw(" batteries matches.");
    else
        h.raw("Showing ").count(first + 1).raw("\xE2\x80\x93").count(last).raw(" of ").count(count);
    if (count > 0 && count != fleetSize)
        h.raw(" (of ").count(fleetSize).raw(" batteries)");
    else if (count > 0)
        h.raw(" batteries");
    if (query.due > 0) {
        BatteryQuery all = query;
        all.due = 0;
        all.page = 1;
        h.raw(" \xC2\xB7 Poor now or due within ").number(query.due).raw(" days (<a href=\"")
            .text(QString::fromUtf8(all.link(QByteArrayLiteral("/batteries")))).raw("\">show all</a>)");
    }
    if (count > 0)
        h.raw(" \xC2\xB7 <a id=\"csv\" href=\"").text(QString::fromUtf8(csv.link(QByteArrayLiteral("/batteries.csv"))))
            .raw("\" download>CSV of all ").count(count).raw(" matching rows</a>");
    h.raw("</p>\n<div class=\"table-wrap\"><table class=\"batteries\" id=\"battery-table\"><thead><tr>");
    for (const ColumnHead &head : ListColumns) {
        const bool sorted = head.column == query.sort;
        BatteryQuery sortBy = query;
        sortBy.sort = head.column;
        sortBy.descending = sorted && !query.descending;
        sortBy.page = 1;
        h.raw("<th class=\"").raw(head.cssClass).raw("\"");
        if (sorted)
            h.raw(query.descending ? " aria-sort=\"descending\"" : " aria-sort=\"ascending\"");
        h.raw("><a class=\"sort\" href=\"").text(QString::fromUtf8(sortBy.link(QByteArrayLiteral("/batteries"))))
            .raw("\">").raw(head.title);
        if (sorted)
            h.raw(query.descending ? " <span aria-hidden=\"true\">\xE2\x96\xBE</span>"
                                   : " <span aria-hidden=\"true\">\xE2\x96\xB4</span>");
        h.raw("</a></th>");
    }
    h.raw("</tr></thead><tbody>\n");
    for (const FleetIndex::Entry *entry : selection.rows)
        batteryRow(h, *entry);
    h.raw("</tbody></table></div>\n<nav class=\"pager\" id=\"pager\" aria-label=\"Pages\">");
    const auto pageLink = [&](int page, const char *title, bool enabled) {
        BatteryQuery to = shown;
        to.page = page;
        if (enabled)
            h.raw("<a href=\"").text(QString::fromUtf8(to.link(QByteArrayLiteral("/batteries")))).raw("\">").raw(title)
                .raw("</a>");
        else
            h.raw("<span class=\"off\">").raw(title).raw("</span>");
    };
    pageLink(1, "\xC2\xAB First", shown.page > 1);
    pageLink(shown.page - 1, "\xE2\x80\xB9 Previous", shown.page > 1);
    h.raw("<span class=\"at\">Page ").count(shown.page).raw(" of ").count(pages).raw("</span>");
    pageLink(shown.page + 1, "Next \xE2\x80\xBA", shown.page < pages);
    pageLink(pages, "Last \xC2\xBB", shown.page < pages);
    h.raw("</nav>\n");
    return Html::page(QStringLiteral("Batteries"), Html::Section::Batteries, h.take(), m_signOut);
}

} // namespace NVL::Engineering::VK
