#include "ApiServer.h"

#include "ApiViews.h"
#include "InsightPages.h"
#include "InsightKeeper.h"
#include "InsightViews.h"

#include <QDateTime>
#include <QUrlQuery>

namespace NVL::Engineering::VK {

namespace {

using Status = HttpStatus;

const QString Prefix = QStringLiteral("/api/v1");
const QByteArray HtmlType = QByteArrayLiteral("text/html; charset=utf-8");
const QByteArray CsvType = QByteArrayLiteral("text/csv; charset=utf-8");
constexpr int MaximumSilentDays = 3650;

HttpResponse plain(const QString &line, Status status)
{
    return HttpResponse::plain(line, status);
}

HttpResponse notYet()
{
    return plain(QStringLiteral("insight is being computed after the start; ask again in a moment"),
                 Status::ServiceUnavailable);
}

HttpResponse json(QByteArray &&data)
{
    return HttpResponse(QByteArrayLiteral("application/json"), std::move(data));
}

HttpResponse csv(QByteArray &&data)
{
    return HttpResponse(CsvType, std::move(data));
}

// days=N of the request, or the configured silence.
std::optional<int> silentDaysOf(const HttpRequest &request, int fallback)
{
    const QUrlQuery query = request.query();
    if (!query.hasQueryItem(QStringLiteral("days")))
        return fallback;
    bool ok = false;
    const int days = query.queryItemValue(QStringLiteral("days")).toInt(&ok);
    if (!ok || days < 1 || days > MaximumSilentDays)
        return std::nullopt;
    return days;
}

} // namespace

void ApiServer::insightRoutes()
{
    using Access = HttpRoutes::Access;
    using Kind = HttpRoutes::Kind;
    const QList<QByteArray> read = {QByteArrayLiteral("GET")};
    const auto api = [&](const QString &path, HttpRoutes::Handler handler) {
        m_routes.add({Prefix + path, read, Access::Token, Kind::Api, true, std::move(handler)});
    };
    api(QStringLiteral("/sites"), [this](const HttpRequest &, const Match &m) { return sites(m.csv); });
    api(QStringLiteral("/sites/{name}"), [this](const HttpRequest &, const Match &m) { return site(m.argument, m.csv); });
    api(QStringLiteral("/silent"), [this](const HttpRequest &r, const Match &m) { return silent(m.csv, r); });
    api(QStringLiteral("/plan"), [this](const HttpRequest &, const Match &m) { return plan(m.csv); });
    if (!m_insightPages)
        return;
    const auto page = [&](const QString &path, bool csvToo, HttpRoutes::Handler handler) {
        m_routes.add({path, read, Access::Token, Kind::Page, csvToo, std::move(handler)});
    };
    page(QStringLiteral("/sites"), false, [this](const HttpRequest &, const Match &) { return HttpResponse(HtmlType, m_insightPages->sites()); });
    page(QStringLiteral("/plan"), true, [this](const HttpRequest &, const Match &m) {
        return m.csv ? plan(true) : HttpResponse(HtmlType, m_insightPages->plan());
    });
    page(QStringLiteral("/silent"), false, [this](const HttpRequest &request, const Match &) {
        const auto days = silentDaysOf(request, m_sources.insight->settings().silentDays);
        if (!days)
            return plain(QStringLiteral("days: a whole number from 1 to %1 expected").arg(MaximumSilentDays), Status::BadRequest);
        return HttpResponse(HtmlType, m_insightPages->silent(*days));
    });
    page(QStringLiteral("/sites/{name}"), false, [this](const HttpRequest &, const Match &m) {
        const std::optional<QByteArray> html = m_insightPages->site(m.argument);
        if (!html)
            return HttpResponse(HtmlType, InsightPages::missingSite(m.argument), Status::NotFound);
        return HttpResponse(HtmlType, *html);
    });
}

HttpResponse ApiServer::sites(bool asCsv) const
{
    const auto result = m_sources.insight->result();
    if (!result)
        return notYet();
    const ApiTable table = InsightViews::sites(result->wear);
    if (asCsv)
        return csv(table.toCsv());
    QByteArray out = table.toJsonList(QStringLiteral("sites"),
                                      {{QStringLiteral("asOf"), ApiViews::timeText(result->asOf)},
                                       {QStringLiteral("falseAlarmRate"), WearReport::FalseAlarmRate},
                                       {QStringLiteral("minimumBatteries"), WearReport::MinimumBatteries},
                                       {QStringLiteral("minimumEffect"), WearReport::MinimumEffect},
                                       {QStringLiteral("flaggedSites"), result->wear.flaggedSites},
                                       {QStringLiteral("flaggedAddressCount"), result->wear.flaggedAddresses}});
    // Every flagged charger and gateway, whichever site it is in, before the sites: its columns in order.
    out.insert(1, "\"flaggedAddresses\":" + InsightViews::flaggedAddresses(result->wear).toJsonArray() + ',');
    return json(std::move(out));
}

HttpResponse ApiServer::site(const QString &name, bool asCsv) const
{
    const auto result = m_sources.insight->result();
    if (!result)
        return notYet();
    const SiteWear *found = InsightViews::findSite(result->wear, name);
    if (!found)
        return plain(QStringLiteral("no site %1 has batteries that report there mostly").arg(name), Status::NotFound);
    if (asCsv)
        return csv(InsightViews::batteries(*found, *m_sources.fleet).toCsv());
    QByteArray out = "{\"site\":";
    out += InsightViews::site(*found).toJsonObject(0).trimmed();
    out += ",\"addresses\":";
    out += InsightViews::addresses(*found).toJsonArray();
    out += ",\"batteries\":";
    out += InsightViews::batteries(*found, *m_sources.fleet).toJsonArray();
    out += "}\n";
    return json(std::move(out));
}

HttpResponse ApiServer::silent(bool asCsv, const HttpRequest &request) const
{
    const auto days = silentDaysOf(request, m_sources.insight->settings().silentDays);
    if (!days)
        return plain(QStringLiteral("days: a whole number from 1 to %1 expected").arg(MaximumSilentDays), Status::BadRequest);
    // From the index as it is now: a silence is a matter of the clock, not of the last analysis.
    const qint64 now = QDateTime::currentSecsSinceEpoch();
    const QList<SilentBattery> list = SilentBattery::find(m_sources.fleet->entries(), m_sources.insight->settings().sites,
                                                          now, *days);
    const ApiTable table = InsightViews::silent(list, now, *m_sources.fleet);
    if (asCsv)
        return csv(table.toCsv());
    return json(table.toJsonList(QStringLiteral("batteries"), {{QStringLiteral("days"), *days}}));
}

HttpResponse ApiServer::plan(bool asCsv) const
{
    const auto result = m_sources.insight->result();
    if (!result)
        return notYet();
    const ApiTable table = InsightViews::plan(result->plan, *m_sources.fleet);
    if (asCsv)
        return csv(table.toCsv());
    return json(table.toJsonList(QStringLiteral("months"),
                                 {{QStringLiteral("asOf"), ApiViews::timeText(result->asOf)},
                                  {QStringLiteral("poorNow"), result->plan.total.poorNow},
                                  {QStringLiteral("withoutForecast"), result->plan.total.withoutForecast}}));
}

} // namespace NVL::Engineering::VK
