#include "ApiServer.h"

#include "AccuracyViews.h"
#include "ApiAnswers.h"
#include "ApiViews.h"
#include "BatteryPageAnswer.h"
#include "BatteryQuery.h"
#include "DashboardPages.h"
#include "FleetAnswer.h"
#include "FleetIndex.h"
#include "HistoryKeeper.h"
#include "HttpListener.h"
#include "InsightPages.h"
#include "LocalDays.h"
#include "Log.h"
#include "OverviewAnswer.h"
#include "PageParts.h"
#include "ServerMetrics.h"
#include "TlsCredentials.h"

#include <QDateTime>
#include <QFile>
#include <QJsonValue>
#include <QUrlQuery>

#include <algorithm>
#include <cstring>
#include <limits>

namespace NVL::Engineering::VK {

namespace {

using Status = HttpStatus;
using namespace ApiAnswers;

constexpr int MaximumWithinDays = 100 * 365;
const QString Prefix = QStringLiteral("/api/v1");

// Every answer: no script but our own file, no style but our own sheet, nothing from elsewhere, no
// framing, no guessing of types and no address of ours handed on.
const std::pair<QByteArray, QByteArray> SecurityHeaders[] = {
    {QByteArrayLiteral("Content-Security-Policy"),
     QByteArrayLiteral("default-src 'none'; script-src 'self'; style-src 'self'; img-src 'self'; connect-src 'self'; "
                       "form-action 'self'; base-uri 'none'; frame-ancestors 'none'")},
    {QByteArrayLiteral("X-Content-Type-Options"), QByteArrayLiteral("nosniff")},
    {QByteArrayLiteral("Referrer-Policy"), QByteArrayLiteral("no-referrer")},
    {QByteArrayLiteral("X-Frame-Options"), QByteArrayLiteral("DENY")},
};

HttpResponse body(QByteArray &&data, bool csv)
{
    return csv ? ApiAnswers::csv(std::move(data)) : json(std::move(data));
}

// An ISO 8601 date or time; a date alone stands for the start of that day, or for its end as an upper bound.
std::optional<qint64> timeParameter(const QUrlQuery &query, const QString &name, bool upper, QString &error)
{
    if (!query.hasQueryItem(name))
        return std::nullopt;
    QString text = query.queryItemValue(name, QUrl::FullyDecoded).trimmed();
    text.replace(QLatin1Char(' '), QLatin1Char('+')); // an offset's plus sign sent unencoded
    const QDate date = QDate::fromString(text, Qt::ISODate);
    if (date.isValid() && !text.contains(QLatin1Char('T')))
        return QDateTime(upper ? date.addDays(1) : date, QTime(0, 0)).toSecsSinceEpoch() - (upper ? 1 : 0);
    const QDateTime time = QDateTime::fromString(text, Qt::ISODate);
    if (!time.isValid()) {
        error = QStringLiteral("%1: not an ISO 8601 date or time (e.g. 2024-05-01 or 2024-05-01T08:00:00+02:00)").arg(name);
        return std::nullopt;
    }
    return time.toSecsSinceEpoch();
}

} // namespace

ApiServer::ApiServer(const HttpSettings &settings, Sources sources, QObject *parent)
    : QObject(parent)
    , m_history(sources.history)
    , m_sources(std::move(sources))
    , m_gate(settings.token)
{
    m_pages = std::make_unique<DashboardPages>(*m_sources.fleet, m_history, m_sources.mails, m_sources.insight,
                                               m_gate.tokenRequired());
    if (m_sources.insight)
        m_insightPages = std::make_unique<InsightPages>(*m_sources.fleet, *m_sources.insight, m_gate.tokenRequired());
    if (!settings.listenError.isEmpty()) {
        Log::error(QStringLiteral("HTTP API not started: ") + settings.listenError);
        return;
    }
    if (!settings.enabled)
        return;
    // Outside the machine the token would cross the network: it needs TLS around it.
    const bool outside = !settings.address.isLoopback();
    if (outside && settings.token.isEmpty()) {
        Log::error(settings.tls.requested()
                       ? QStringLiteral("HTTP API not started: %1 is not a loopback address, and outside "
                                        "the machine the API needs [http] token in vk.cfg")
                             .arg(settings.listenText)
                       : QStringLiteral("HTTP API not started: %1 is not a loopback address, and outside the machine "
                                        "the API needs [http] token, certificate and key in vk.cfg")
                             .arg(settings.listenText));
        return;
    }
    if (outside && !settings.tls.requested()) {
        Log::error(QStringLiteral("HTTP API not started: %1 is not a loopback address, and outside the machine "
                                  "the API needs TLS: [http] certificate and key in vk.cfg")
                       .arg(settings.listenText));
        return;
    }
    std::optional<QSslConfiguration> tls;
    if (settings.tls.requested()) {
        QString error, warning;
        tls = TlsCredentials::load(settings.tls, error, warning);
        if (!tls) {
            Log::error(QStringLiteral("HTTP API not started: ") + error);
            return;
        }
        if (!warning.isEmpty())
            Log::warning(warning);
    }
    m_tls = tls.has_value();
    auto tcp = std::make_unique<HttpListener>(settings.limits);
    if (tls)
        tcp->setTls(*tls);
    if (!tcp->listen(settings.address, settings.port)) {
        Log::error(QStringLiteral("HTTP API not started: cannot listen on %1: %2")
                       .arg(settings.listenText, tcp->errorString()));
        return;
    }
    tcp->setParent(this);
    routeTable();
    m_handler = [this](const HttpRequest &request) { return dispatch(request); };
    tcp->setHandler(&m_handler);
    tcp.release();
    m_listening = true;
    QStringList terms;
    if (m_tls)
        terms << QStringLiteral("TLS");
    if (m_gate.tokenRequired())
        terms << QStringLiteral("bearer token required");
    Log::information(QStringLiteral("HTTP API listening on %1%2")
                         .arg(settings.listenText,
                              terms.isEmpty() ? QString() : QStringLiteral(" (%1)").arg(terms.join(QStringLiteral(", ")))));
}

ApiServer::~ApiServer() = default;

void ApiServer::routeTable()
{
    using Access = HttpRoutes::Access;
    using Kind = HttpRoutes::Kind;
    const QList<QByteArray> read = {QByteArrayLiteral("GET")};
    const auto api = [&](const QString &path, HttpRoutes::Handler handler) {
        m_routes.add({Prefix + path, read, Access::Token, Kind::Api, true, std::move(handler)});
    };
    const auto other = [&](const QString &path, Access access, HttpRoutes::Handler handler) {
        m_routes.add({path, read, access, Kind::Other, false, std::move(handler)});
    };
    const auto page = [&](const QString &path, HttpRoutes::Handler handler) {
        m_routes.add({path, read, Access::Token, Kind::Page, false, std::move(handler)});
    };

    // The fleet, its batteries and their forecasts.
    api(QStringLiteral("/batteries"), [this](const HttpRequest &r, const Match &m) {
        return fleetAnswer(Prefix + QStringLiteral("/batteries"), m.csv, r.query());
    });
    api(QStringLiteral("/batteries/{key}"), [this](const HttpRequest &, const Match &m) { return battery(m.argument, m.csv); });
    api(QStringLiteral("/batteries/{key}/history"),
        [this](const HttpRequest &r, const Match &m) { return history(m.argument, m.csv, r); });
    api(QStringLiteral("/forecast"), [this](const HttpRequest &r, const Match &m) {
        return fleetAnswer(Prefix + QStringLiteral("/forecast"), m.csv, r.query());
    });
    if (m_history)
        api(QStringLiteral("/forecast/accuracy"), [this](const HttpRequest &, const Match &m) { return accuracy(m.csv); });
    // Fleet insight: sites and chargers, silent batteries, the purchase plan.
    if (m_sources.insight) {
        api(QStringLiteral("/sites"), [this](const HttpRequest &, const Match &m) { return sites(m.csv); });
        api(QStringLiteral("/sites/{name}"), [this](const HttpRequest &, const Match &m) { return site(m.argument, m.csv); });
        api(QStringLiteral("/silent"), [this](const HttpRequest &r, const Match &m) { return silent(m.csv, r); });
        api(QStringLiteral("/plan"), [this](const HttpRequest &, const Match &m) { return plan(m.csv); });
    }
    // The description of the routes above; a file of the program, never CSV.
    m_routes.add({Prefix + QStringLiteral("/openapi.json"), read, Access::Token, Kind::Api, false, [](const HttpRequest &, const Match &) {
                      QFile file(QStringLiteral(":/api/openapi.json"));
                      return file.open(QIODevice::ReadOnly) ? HttpResponse(JsonType, file.readAll())
                                                            : plain(QStringLiteral("no such resource"), Status::NotFound);
                  }});

    // For monitoring, and the dashboard's own files (open: the sign-in page needs its stylesheet, and the
    // program's own files tell nothing).
    other(QStringLiteral("/metrics"), Access::Token, [this](const HttpRequest &, const Match &) {
        return HttpResponse(ServerMetrics::ContentType, m_sources.metrics ? m_sources.metrics->exposition() : QByteArray());
    });
    other(QStringLiteral("/healthz"), Access::Token, [this](const HttpRequest &, const Match &) { return healthz(); });
    other(QStringLiteral("/static/{name}"), Access::Open,
          [this](const HttpRequest &, const Match &m) { return staticFile(m.argument); });
    // Signing in with the token, where one is required.
    if (m_gate.tokenRequired()) {
        m_routes.add({QStringLiteral("/signin"), {QByteArrayLiteral("GET"), QByteArrayLiteral("POST")}, Access::Open, Kind::Page,
                      false, [this](const HttpRequest &r, const Match &) { return signInRoute(r); }});
        m_routes.add({QStringLiteral("/signout"), read, Access::Open, Kind::Page, false,
                      [this](const HttpRequest &r, const Match &) { return signOut(r); }});
    }
    // Insight's pages.
    const auto insightPage = [&](const QString &path, bool csvToo, HttpRoutes::Handler handler) {
        m_routes.add({path, read, Access::Token, Kind::Page, csvToo, std::move(handler)});
    };
    if (m_insightPages) {
        insightPage(QStringLiteral("/sites"), false, [this](const HttpRequest &, const Match &) { return HttpResponse(HtmlType, m_insightPages->sites()); });
        insightPage(QStringLiteral("/plan"), true, [this](const HttpRequest &, const Match &m) {
            return m.csv ? plan(true) : HttpResponse(HtmlType, m_insightPages->plan());
        });
        insightPage(QStringLiteral("/silent"), false, [this](const HttpRequest &r, const Match &) { return silentPage(r); });
        insightPage(QStringLiteral("/sites/{name}"), false, [this](const HttpRequest &, const Match &m) {
            const std::optional<QByteArray> html = m_insightPages->site(m.argument);
            if (!html)
                return HttpResponse(HtmlType, InsightPages::missingSite(m.argument), Status::NotFound);
            return HttpResponse(HtmlType, *html);
        });
    }
    if (!m_pages)
        return;

    // The dashboard's pages.
    page(QStringLiteral("/"), [this](const HttpRequest &, const Match &) {
        return HttpResponse::streamed(HtmlType, std::make_unique<OverviewAnswer>(*m_sources.fleet, *m_pages));
    });
    // The list page's rows, and its CSV as filtered and sorted, chosen in parts.
    m_routes.add({QStringLiteral("/batteries"), read, Access::Token, Kind::Page, true, [this](const HttpRequest &r, const Match &m) {
                      if (m.csv)
                          return fleetAnswer(QStringLiteral("/batteries"), true, r.query());
                      return HttpResponse::streamed(HtmlType, std::make_unique<BatteryPageAnswer>(
                                                                  *m_sources.fleet, *m_pages, BatteryQuery::from(r.query())));
                  }});
    page(QStringLiteral("/batteries/{key}"), [this](const HttpRequest &, const Match &m) {
        const auto serial = ApiViews::serialKeyFrom(m.argument);
        if (!serial)
            return plain(QStringLiteral("serial: 16 hexadecimal digits expected, as vkpeer list --keys prints"), Status::BadRequest);
        std::optional<QByteArray> page = m_pages->battery(*serial);
        if (!page)
            return html(PageParts::notFoundPage(QStringLiteral("No battery with serial key %1 has reported to this server; "
                                                               "it may have been deleted.")
                                                    .arg(m.argument)),
                        Status::NotFound);
        return html(std::move(*page));
    });
}

HttpResponse ApiServer::dispatch(const HttpRequest &request)
{
    Match match;
    const HttpRoutes::Route *route = m_routes.find(request.path(), match);
    const AccessGate::Verdict verdict = !route || route->access == HttpRoutes::Access::Token ? access(request)
                                                                                              : AccessGate::Verdict::Allowed;
    HttpResponse response = [&] {
        if (!route)
            return notFound(request, verdict);
        if (verdict != AccessGate::Verdict::Allowed)
            return refusal(request, verdict);
        if (!HttpRoutes::takes(*route, request.method)) {
            HttpResponse refused = plain(route->methods.contains("POST") ? QStringLiteral("use GET or POST")
                                                                         : QStringLiteral("the API only reads: use GET"),
                                         Status::MethodNotAllowed);
            refused.addHeader(QByteArrayLiteral("Allow"), HttpRoutes::allowed(*route));
            return refused;
        }
        if (route->csvToo && route->kind == HttpRoutes::Kind::Api && request.value(QByteArrayLiteral("accept")).contains("text/csv"))
            match.csv = true;
        return route->handler(request, match);
    }();
    for (const auto &header : SecurityHeaders)
        response.addHeader(header.first, header.second);
    // Pages and figures are of the moment; the stylesheet and the script change only with the program.
    response.addHeader(QByteArrayLiteral("Cache-Control"), request.path().startsWith(QLatin1String("/static/"))
                                                               ? QByteArrayLiteral("max-age=3600")
                                                               : QByteArrayLiteral("no-store"));
    return response;
}

HttpResponse ApiServer::notFound(const HttpRequest &request, AccessGate::Verdict verdict) const
{
    const bool allowed = verdict == AccessGate::Verdict::Allowed;
    if (!allowed && (verdict == AccessGate::Verdict::Refused || wantsPage(request)))
        return refusal(request, verdict);
    // A person who mistyped a page's address gets a page with the ways back; programs get a line.
    if (allowed && m_pages && wantsPage(request))
        return html(PageParts::notFoundPage(QStringLiteral("There is no page at %1.").arg(request.path()), m_gate.tokenRequired()),
                    Status::NotFound);
    if (allowed)
        return plain(QStringLiteral("no such resource"), Status::NotFound);
    HttpResponse response = plain(QStringLiteral("a bearer token is required"), Status::Unauthorized);
    response.addHeader(QByteArrayLiteral("WWW-Authenticate"), QByteArrayLiteral("Bearer"));
    return response;
}

HttpResponse ApiServer::staticFile(const QString &name) const
{
    static const QPair<QString, QByteArray> types[] = {
        {QStringLiteral(".css"), QByteArrayLiteral("text/css; charset=utf-8")},
        {QStringLiteral(".js"), QByteArrayLiteral("text/javascript; charset=utf-8")},
        {QStringLiteral(".svg"), QByteArrayLiteral("image/svg+xml")},
    };
    for (const auto &type : types) {
        if (!name.endsWith(type.first) || name.contains(QLatin1Char('/')))
            continue;
        QFile file(QStringLiteral(":/dashboard/") + name);
        if (file.open(QIODevice::ReadOnly))
            return HttpResponse(type.second, file.readAll());
    }
    return plain(QStringLiteral("no such resource"), Status::NotFound);
}

HttpResponse ApiServer::healthz() const
{
    const QStringList problems = m_sources.health ? m_sources.health() : QStringList();
    if (problems.isEmpty())
        return plain(QStringLiteral("ok"), Status::Ok);
    return plain(problems.join(QLatin1Char('\n')), Status::ServiceUnavailable);
}

AccessGate::Verdict ApiServer::access(const HttpRequest &request)
{
    return m_gate.check(request.value(QByteArrayLiteral("authorization")), request.value(QByteArrayLiteral("cookie")),
                        request.peer, true);
}

HttpResponse ApiServer::accuracy(bool csv) const
{
    const auto [record, made] = m_history->accuracy();
    const ApiTable table = AccuracyViews::table(record);
    if (csv)
        return body(table.toCsv(), true);
    return body(table.toJsonList(QStringLiteral("horizons"),
                                 {{QStringLiteral("madeAt"), made > 0 ? QJsonValue(ApiViews::timeText(made)) : QJsonValue()},
                                  {QStringLiteral("ownRecord"), made > 0}}),
                false);
}

HttpResponse ApiServer::fleetAnswer(const QString &path, bool csv, const QUrlQuery &query) const
{
    const FleetIndex &fleet = *m_sources.fleet;
    const ApiTable table(ApiViews::batteryColumns());
    const QByteArray type = csv ? CsvType : JsonType;
    if (path == Prefix + QStringLiteral("/batteries")) {
        // due=N: only the batteries predicted to reach Poor within N days, as the dashboard's cards count them.
        bool ok = true;
        const int due = query.hasQueryItem(QStringLiteral("due")) ? query.queryItemValue(QStringLiteral("due")).toInt(&ok) : 0;
        if (!ok || due < 0 || due > MaximumWithinDays)
            return plain(QStringLiteral("due: a whole number of days from 0 to %1 expected").arg(MaximumWithinDays),
                         Status::BadRequest);
        FleetAnswer::Filter filter;
        if (due > 0)
            filter = [lastDay = LocalDays::today() + due](const FleetIndex::Entry &e) {
                return BatteryQuery::isDueBy(e, lastDay);
            };
        return HttpResponse::streamed(type, std::make_unique<FleetAnswer>(fleet, table.opening(QStringLiteral("batteries"), csv),
                                                                         csv, std::move(filter)));
    }
    if (path == Prefix + QStringLiteral("/forecast")) {
        bool ok = false;
        const int within = query.queryItemValue(QStringLiteral("within")).toInt(&ok);
        if (!query.hasQueryItem(QStringLiteral("within")) || !ok || within < 0 || within > MaximumWithinDays)
            return plain(QStringLiteral("within: a whole number of days from 0 to %1 expected").arg(MaximumWithinDays),
                         Status::BadRequest);
        // Poor now first, then at the boundary, then by date; the same date in serial order.
        const qint64 lastDay = LocalDays::today() + within;
        FleetAnswer::Rank rank = [lastDay](const FleetIndex::Entry &e) -> std::optional<SortKey> {
            const ReplacementOutlook o = e.outlook();
            if (!o.dueBy(lastDay))
                return std::nullopt;
            if (o.kind == ReplacementOutlook::Kind::Date)
                return SortKey::number(*o.day);
            return SortKey::number(std::numeric_limits<qint64>::min() + (o.kind == ReplacementOutlook::Kind::AtBoundary ? 1 : 0));
        };
        // Batteries the start has not fitted yet are in no due list: the answer says how many.
        const qsizetype pending = m_history ? m_history->pendingForecasts() : 0;
        const QByteArray opening = table.opening(QStringLiteral("batteries"), csv,
                                                 {{QStringLiteral("within"), within},
                                                  {QStringLiteral("boundary"), m_history ? m_history->boundary() : 80},
                                                  {QStringLiteral("pending"), pending}});
        HttpResponse response = HttpResponse::streamed(type, std::make_unique<FleetAnswer>(fleet, opening, csv, std::move(rank)));
        if (csv)
            response.addHeader(QByteArrayLiteral("X-Forecasts-Pending"), QByteArray::number(pending));
        return response;
    }
    // The dashboard's list as filtered and sorted, every page of it; one that asks what is not understood
    // gets no file that looks filtered.
    const BatteryQuery asked = BatteryQuery::from(query);
    if (!asked.problems.isEmpty())
        return plain(asked.problems.join(QStringLiteral("; ")), Status::BadRequest);
    return HttpResponse::streamed(CsvType, std::make_unique<FleetAnswer>(fleet, table.opening(QString(), true), true,
                                                                         asked.rank(), asked.descending));
}

HttpResponse ApiServer::battery(const QString &key, bool csv) const
{
    const auto serial = ApiViews::serialKeyFrom(key);
    if (!serial)
        return plain(QStringLiteral("serial: 16 hexadecimal digits expected, as vkpeer list --keys prints"),
                     Status::BadRequest);
    if (const FleetIndex::Entry *entry = m_sources.fleet->find(*serial)) {
        // Brought up to date first if the battery reported since its forecast was fitted.
        QHash<QByteArray, Forecast> forecasts;
        if (const auto f = m_history ? m_history->forecast(*serial) : std::nullopt)
            forecasts.insert(*serial, *f);
        const ApiTable table = ApiViews::batteries({entry->record}, forecasts, m_sources.fleet->typeNames());
        return body(csv ? table.toCsv() : table.toJsonObject(0), csv);
    }
    return plain(QStringLiteral("no battery with serial %1").arg(key), Status::NotFound);
}

HttpResponse ApiServer::history(const QString &key, bool csv, const HttpRequest &request) const
{
    const auto serial = ApiViews::serialKeyFrom(key);
    if (!serial)
        return plain(QStringLiteral("serial: 16 hexadecimal digits expected, as vkpeer list --keys prints"),
                     Status::BadRequest);
    QString error;
    const QUrlQuery query = request.query();
    const auto from = timeParameter(query, QStringLiteral("from"), false, error);
    const auto to = error.isEmpty() ? timeParameter(query, QStringLiteral("to"), true, error) : std::nullopt;
    if (!error.isEmpty())
        return plain(error, Status::BadRequest);
    if (!m_history)
        return plain(QStringLiteral("history is off on this server ([history] in vk.cfg)"), Status::NotFound);
    if (!m_history->isOpen())
        return plain(QStringLiteral("history is on but not kept: %1").arg(m_history->problem()), Status::ServiceUnavailable);
    const auto points = m_history->history(*serial, from.value_or(0), to.value_or(std::numeric_limits<qint64>::max()));
    if (!points)
        return plain(QStringLiteral("no history of serial %1").arg(key), Status::NotFound);
    const ApiTable table = ApiViews::history(*points);
    if (csv)
        return body(table.toCsv(), true);
    return body(table.toJsonList(QStringLiteral("points"), {{QStringLiteral("serial"), serialKeyText(*serial)}}),
                false);
}

} // namespace NVL::Engineering::VK
