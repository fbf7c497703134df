#include "ApiServer.h"

#include "ApiViews.h"
#include "InsightPages.h"
#include "InsightKeeper.h"
#include "InsightViews.h"

#include <QDateTime>
#include <QUrlQuery>

namespace NVL::Engineering::VK {

namespace {

using Status = QHttpServerResponder::StatusCode;

const QString Prefix = QStringLiteral("/api/v1");
const QByteArray HtmlType = QByteArrayLiteral("text/html; charset=utf-8");
const QByteArray CsvType = QByteArrayLiteral("text/csv; charset=utf-8");
constexpr int MaximumSilentDays = 3650;

QHttpServerResponse plain(const QString &line, Status status)
{
    return QHttpServerResponse(QByteArrayLiteral("text/plain; charset=utf-8"), (line + QLatin1Char('\n')).toUtf8(),
                               status);
}

QHttpServerResponse notYet()
{
    return plain(QStringLiteral("insight is being computed after the start; ask again in a moment"),
                 Status::ServiceUnavailable);
}

QHttpServerResponse json(QByteArray &&data)
{
    return QHttpServerResponse(QByteArrayLiteral("application/json"), std::move(data));
}

QHttpServerResponse csv(QByteArray &&data)
{
    return QHttpServerResponse(CsvType, std::move(data));
}

// days=N of the request, or the configured silence.
std::optional<int> silentDaysOf(const QHttpServerRequest &request, int fallback)
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

void ApiServer::addInsightRoutes()
{
    const auto both = [this](const QString &path, const Handler &handler) {
        m_http.route(path, [this, handler](const QHttpServerRequest &request) {
            return answer(request, Format::Json, handler);
        });
        m_http.route(path + QStringLiteral(".csv"), [this, handler](const QHttpServerRequest &request) {
            return answer(request, Format::Csv, handler);
        });
    };
    both(Prefix + QStringLiteral("/sites"), [this](Format format, const QHttpServerRequest &) { return sites(format); });
    both(Prefix + QStringLiteral("/silent"),
         [this](Format format, const QHttpServerRequest &request) { return silent(format, request); });
    both(Prefix + QStringLiteral("/plan"), [this](Format format, const QHttpServerRequest &) { return plan(format); });
    m_http.route(Prefix + QStringLiteral("/sites/<arg>"), [this](const QString &key, const QHttpServerRequest &request) {
        const bool isCsv = key.endsWith(QLatin1String(".csv"));
        const QString name = isCsv ? key.chopped(4) : key;
        return answer(request, isCsv ? Format::Csv : Format::Json,
                      [this, name](Format format, const QHttpServerRequest &) { return site(name, format); });
    });
    if (!m_insightPages)
        return;
    const auto page = [this](const QString &path, std::function<QHttpServerResponse(const QHttpServerRequest &)> view) {
        m_http.route(path, [this, view](const QHttpServerRequest &request) {
            return answer(request, Format::Json, [&view](Format, const QHttpServerRequest &r) { return view(r); });
        });
    };
    page(QStringLiteral("/sites"), [this](const QHttpServerRequest &) { return QHttpServerResponse(HtmlType, m_insightPages->sites()); });
    page(QStringLiteral("/plan"), [this](const QHttpServerRequest &) { return QHttpServerResponse(HtmlType, m_insightPages->plan()); });
    page(QStringLiteral("/plan.csv"), [this](const QHttpServerRequest &) { return plan(Format::Csv); });
    page(QStringLiteral("/silent"), [this](const QHttpServerRequest &request) {
        const auto days = silentDaysOf(request, m_sources.insight->settings().silentDays);
        if (!days)
            return plain(QStringLiteral("days: a whole number from 1 to %1 expected").arg(MaximumSilentDays), Status::BadRequest);
        return QHttpServerResponse(HtmlType, m_insightPages->silent(*days));
    });
    m_http.route(QStringLiteral("/sites/<arg>"), [this](const QString &name, const QHttpServerRequest &request) {
        return answer(request, Format::Json, [this, name](Format, const QHttpServerRequest &) {
            const std::optional<QByteArray> html = m_insightPages->site(name);
            if (!html)
                return QHttpServerResponse(HtmlType, InsightPages::missingSite(name), Status::NotFound);
            return QHttpServerResponse(HtmlType, *html);
        });
    });
}

QHttpServerResponse ApiServer::sites(Format format) const
{
    const auto result = m_sources.insight->result();
    if (!result)
        return notYet();
    const ApiTable table = InsightViews::sites(result->wear);
    if (format == Format::Csv)
        return csv(table.toCsv());
    return json(table.toJsonList(QStringLiteral("sites"),
                                 {{QStringLiteral("asOf"), ApiViews::timeText(result->asOf)},
                                  {QStringLiteral("falseAlarmRate"), WearReport::FalseAlarmRate},
                                  {QStringLiteral("minimumBatteries"), WearReport::MinimumBatteries},
                                  {QStringLiteral("minimumEffect"), WearReport::MinimumEffect},
                                  {QStringLiteral("flaggedSites"), result->wear.flaggedSites}}));
}

QHttpServerResponse ApiServer::site(const QString &name, Format format) const
{
    const auto result = m_sources.insight->result();
    if (!result)
        return notYet();
    const SiteWear *found = InsightViews::findSite(result->wear, name);
    if (!found)
        return plain(QStringLiteral("no site %1 has batteries that report there mostly").arg(name), Status::NotFound);
    if (format == Format::Csv)
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

QHttpServerResponse ApiServer::silent(Format format, const QHttpServerRequest &request) const
{
    const auto days = silentDaysOf(request, m_sources.insight->settings().silentDays);
    if (!days)
        return plain(QStringLiteral("days: a whole number from 1 to %1 expected").arg(MaximumSilentDays), Status::BadRequest);
    // From the index as it is now: a silence is a matter of the clock, not of the last analysis.
    const qint64 now = QDateTime::currentSecsSinceEpoch();
    const QList<SilentBattery> list = SilentBattery::find(m_sources.fleet->entries(), m_sources.insight->settings().sites,
                                                          now, *days);
    const ApiTable table = InsightViews::silent(list, now);
    if (format == Format::Csv)
        return csv(table.toCsv());
    return json(table.toJsonList(QStringLiteral("batteries"), {{QStringLiteral("days"), *days}}));
}

QHttpServerResponse ApiServer::plan(Format format) const
{
    const auto result = m_sources.insight->result();
    if (!result)
        return notYet();
    const ApiTable table = InsightViews::plan(result->plan);
    if (format == Format::Csv)
        return csv(table.toCsv());
    return json(table.toJsonList(QStringLiteral("months"),
                                 {{QStringLiteral("asOf"), ApiViews::timeText(result->asOf)},
                                  {QStringLiteral("poorNow"), result->plan.total.poorNow},
                                  {QStringLiteral("withoutForecast"), result->plan.total.withoutForecast}}));
}

} // namespace NVL::Engineering::VK
