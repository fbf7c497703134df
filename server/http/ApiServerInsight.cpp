#include "ApiServer.h"

#include "ApiAnswers.h"
#include "ApiViews.h"
#include "InsightPages.h"
#include "InsightKeeper.h"
#include "InsightViews.h"

#include <QDateTime>
#include <QUrlQuery>

namespace NVL::Engineering::VK {

namespace {

using Status = HttpStatus;
using namespace ApiAnswers;

constexpr int MaximumSilentDays = 3650;

HttpResponse notYet()
{
    return plain(QStringLiteral("insight is being computed after the start; ask again in a moment"),
                 Status::ServiceUnavailable);
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

HttpResponse ApiServer::silentPage(const HttpRequest &request) const
{
    const auto days = silentDaysOf(request, m_sources.insight->settings().silentDays);
    if (!days)
        return plain(QStringLiteral("days: a whole number from 1 to %1 expected").arg(MaximumSilentDays), Status::BadRequest);
    return HttpResponse(HtmlType, m_insightPages->silent(*days));
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
