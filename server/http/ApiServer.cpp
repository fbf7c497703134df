#include "ApiServer.h"

#include "PageParts.h"

#include "ApiViews.h"
#include "FleetIndex.h"
#include "BatteryQuery.h"
#include "DashboardPages.h"
#include "HistoryKeeper.h"
#include "HttpListener.h"
#include "InsightPages.h"
#include "LocalDays.h"
#include "Log.h"
#include "ServerMetrics.h"

#include <QDateTime>
#include <QFile>
#include <QSettings>
#include <QTcpServer>
#include <QUrlQuery>

#include <algorithm>
#include <cstring>
#include <limits>

namespace NVL::Engineering::VK {

namespace {

using Status = QHttpServerResponder::StatusCode;

const QByteArray JsonType = QByteArrayLiteral("application/json");
const QByteArray CsvType = QByteArrayLiteral("text/csv; charset=utf-8");
constexpr int MaximumWithinDays = 100 * 365;
const QString Prefix = QStringLiteral("/api/v1");
const QByteArray HtmlType = QByteArrayLiteral("text/html; charset=utf-8");

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

QHttpServerResponse plain(const QString &line, Status status)
{
    return QHttpServerResponse(QByteArrayLiteral("text/plain; charset=utf-8"), (line + QLatin1Char('\n')).toUtf8(),
                               status);
}

QHttpServerResponse body(QByteArray &&data, bool csv)
{
    return QHttpServerResponse(csv ? CsvType : JsonType, std::move(data));
}

bool sameBytes(const QByteArray &a, const QByteArray &b)
{
    // Compared in full whatever differs first, so the time taken tells nothing about the token.
    unsigned char difference = a.size() == b.size() ? 0 : 1;
    for (qsizetype i = 0; i < a.size(); ++i)
        difference |= static_cast<unsigned char>(a.at(i) ^ b.at(i % std::max<qsizetype>(b.size(), 1)));
    return difference == 0 && !b.isEmpty();
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

ApiServer::ApiServer(QSettings &settings, Sources sources, const HttpLimits &limits, QObject *parent)
    : QObject(parent)
    , m_history(sources.history)
    , m_sources(std::move(sources))
{
    m_pages = std::make_unique<DashboardPages>(*m_sources.fleet, m_history, m_sources.mails, m_sources.insight);
    if (m_sources.insight)
        m_insightPages = std::make_unique<InsightPages>(*m_sources.fleet, *m_sources.insight);
    QString error;
    const auto config = ApiSettings::read(settings, error);
    if (!config) {
        Log::error(QStringLiteral("HTTP API not started: ") + error);
        return;
    }
    if (!config->enabled)
        return;
    if (!config->address.isLoopback() && config->token.isEmpty()) {
        Log::error(QStringLiteral("HTTP API not started: %1 is not a loopback address, and outside "
                                  "the machine the API needs [http] token in vk.cfg")
                       .arg(config->listenText));
        return;
    }
    m_token = config->token.toUtf8();
    auto *tcp = new HttpListener(limits, this);
    if (!tcp->listen(config->address, config->port)) {
        Log::error(
            QStringLiteral("HTTP API not started: cannot listen on %1: %2").arg(config->listenText, tcp->errorString()));
        delete tcp;
        return;
    }
    addRoutes();
    m_http.bind(tcp);
    m_listening = true;
    Log::information(QStringLiteral("HTTP API listening on %1%2")
                         .arg(config->listenText,
                              m_token.isEmpty() ? QString() : QStringLiteral(" (bearer token required)")));
}

ApiServer::~ApiServer() = default;

void ApiServer::addRoutes()
{
    addPageRoutes();
    const auto both = [this](const QString &path, const Handler &handler) {
        m_http.route(path, [this, handler](const QHttpServerRequest &request) {
            return answer(request, Format::Json, handler);
        });
        m_http.route(path + QStringLiteral(".csv"), [this, handler](const QHttpServerRequest &request) {
            return answer(request, Format::Csv, handler);
        });
    };
    both(Prefix + QStringLiteral("/batteries"),
         [this](Format format, const QHttpServerRequest &request) { return batteryList(format, request); });
    both(Prefix + QStringLiteral("/forecast"),
         [this](Format format, const QHttpServerRequest &request) { return forecast(format, request); });
    if (m_sources.insight)
        addInsightRoutes();
    m_http.route(Prefix + QStringLiteral("/batteries/<arg>/history"),
                 [this](const QString &key, const QHttpServerRequest &request) {
                     return answer(request, Format::Json, [this, key](Format format, const QHttpServerRequest &r) {
                         return history(key, format, r);
                     });
                 });
    m_http.route(Prefix + QStringLiteral("/batteries/<arg>/history.csv"),
                 [this](const QString &key, const QHttpServerRequest &request) {
                     return answer(request, Format::Csv, [this, key](Format format, const QHttpServerRequest &r) {
                         return history(key, format, r);
                     });
                 });
    m_http.route(Prefix + QStringLiteral("/batteries/<arg>"), [this](const QString &key, const QHttpServerRequest &request) {
        const bool csv = key.endsWith(QLatin1String(".csv"));
        const QString serial = csv ? key.chopped(4) : key;
        return answer(request, csv ? Format::Csv : Format::Json,
                      [this, serial](Format format, const QHttpServerRequest &) { return battery(serial, format); });
    });
    m_http.setMissingHandler([this](const QHttpServerRequest &request, QHttpServerResponder &&responder) {
        // Written by hand: the handlers after a request do not see what this one answers.
        const bool allowed = authorised(request);
        // A person who mistyped a page's address gets a page with the ways back; programs get a line.
        const bool page = allowed && m_pages && !request.url().path().startsWith(Prefix + QLatin1Char('/'))
            && request.value(QByteArrayLiteral("Accept")).contains("text/html");
        const QByteArray body = page ? PageParts::notFoundPage(QStringLiteral("There is no page at %1.").arg(request.url().path()))
            : allowed                ? QByteArrayLiteral("no such resource\n")
                                     : QByteArrayLiteral("a bearer token is required\n");
        responder.writeStatusLine(allowed ? Status::NotFound : Status::Unauthorized);
        responder.writeHeader(QByteArrayLiteral("Content-Type"), page ? HtmlType : QByteArrayLiteral("text/plain; charset=utf-8"));
        responder.writeHeader(QByteArrayLiteral("Content-Length"), QByteArray::number(body.size()));
        if (!allowed)
            responder.writeHeader(QByteArrayLiteral("WWW-Authenticate"), QByteArrayLiteral("Bearer"));
        for (const auto &header : SecurityHeaders)
            responder.writeHeader(header.first, header.second);
        responder.writeBody(body);
    });
    m_http.afterRequest([](QHttpServerResponse &&response, const QHttpServerRequest &request) {
        for (const auto &header : SecurityHeaders)
            response.addHeader(header.first, header.second);
        // Pages and figures are of the moment; the stylesheet and the script change only with the program.
        response.addHeader(QByteArrayLiteral("Cache-Control"), request.url().path().startsWith(QLatin1String("/static/"))
                                                                  ? QByteArrayLiteral("max-age=3600")
                                                                  : QByteArrayLiteral("no-store"));
        return std::move(response);
    });
}

void ApiServer::addPageRoutes()
{
    const auto page = [this](const QString &path, std::function<QHttpServerResponse(const QHttpServerRequest &)> view) {
        m_http.route(path, [this, view](const QHttpServerRequest &request) {
            return answer(request, Format::Json, [&view](Format, const QHttpServerRequest &r) { return view(r); });
        });
    };
    page(QStringLiteral("/metrics"), [this](const QHttpServerRequest &) {
        return QHttpServerResponse(ServerMetrics::ContentType,
                                   m_sources.metrics ? m_sources.metrics->exposition() : QByteArray());
    });
    page(QStringLiteral("/healthz"), [this](const QHttpServerRequest &) { return healthz(); });
    m_http.route(QStringLiteral("/static/<arg>"), [this](const QString &name, const QHttpServerRequest &request) {
        return answer(request, Format::Json, [this, name](Format, const QHttpServerRequest &) { return staticFile(name); });
    });
    if (!m_pages)
        return;
    page(QStringLiteral("/"), [this](const QHttpServerRequest &) { return QHttpServerResponse(HtmlType, m_pages->overview()); });
    page(QStringLiteral("/batteries"), [this](const QHttpServerRequest &request) {
        return QHttpServerResponse(HtmlType, m_pages->batteries(BatteryQuery::from(request.query())));
    });
    page(QStringLiteral("/batteries.csv"), [this](const QHttpServerRequest &request) {
        return QHttpServerResponse(CsvType, m_pages->batteriesCsv(BatteryQuery::from(request.query())));
    });
    m_http.route(QStringLiteral("/batteries/<arg>"), [this](const QString &key, const QHttpServerRequest &request) {
        return answer(request, Format::Json, [this, key](Format, const QHttpServerRequest &) {
            const auto serial = ApiViews::serialKeyFrom(key);
            if (!serial)
                return plain(QStringLiteral("serial: 16 hexadecimal digits expected, as vkpeer list --keys prints"),
                             Status::BadRequest);
            const std::optional<QByteArray> html = m_pages->battery(*serial);
            if (!html)
                return QHttpServerResponse(
                    HtmlType,
                    PageParts::notFoundPage(QStringLiteral("No battery with serial key %1 has reported to this server; "
                                                           "it may have been deleted.")
                                                .arg(key)),
                    Status::NotFound);
            return QHttpServerResponse(HtmlType, *html);
        });
    });
}

QHttpServerResponse ApiServer::staticFile(const QString &name) const
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
            return QHttpServerResponse(type.second, file.readAll());
    }
    return plain(QStringLiteral("no such resource"), Status::NotFound);
}

QHttpServerResponse ApiServer::healthz() const
{
    const QStringList problems = m_sources.health ? m_sources.health() : QStringList();
    if (problems.isEmpty())
        return plain(QStringLiteral("ok"), Status::Ok);
    return plain(problems.join(QLatin1Char('\n')), Status::ServiceUnavailable);
}

bool ApiServer::authorised(const QHttpServerRequest &request) const
{
    if (m_token.isEmpty())
        return true;
    const QByteArray header = request.value(QByteArrayLiteral("Authorization")).trimmed();
    const QByteArray scheme = QByteArrayLiteral("bearer ");
    return header.size() > scheme.size() && header.left(scheme.size()).toLower() == scheme
        && sameBytes(header.mid(scheme.size()).trimmed(), m_token);
}

QHttpServerResponse ApiServer::answer(const QHttpServerRequest &request, Format format, const Handler &handler) const
{
    if (!authorised(request)) {
        QHttpServerResponse response = plain(QStringLiteral("a bearer token is required"), Status::Unauthorized);
        response.addHeader(QByteArrayLiteral("WWW-Authenticate"), QByteArrayLiteral("Bearer"));
        return response;
    }
    const bool head = request.method() == QHttpServerRequest::Method::Head;
    if (request.method() != QHttpServerRequest::Method::Get && !head) {
        QHttpServerResponse response = plain(QStringLiteral("the API only reads: use GET"), Status::MethodNotAllowed);
        response.addHeader(QByteArrayLiteral("Allow"), QByteArrayLiteral("GET, HEAD"));
        return response;
    }
    if (format == Format::Json && request.value(QByteArrayLiteral("Accept")).contains("text/csv"))
        format = Format::Csv;
    QHttpServerResponse response = handler(format, request);
    if (!head)
        return response;
    // What GET would answer, without its body.
    QHttpServerResponse bare(response.mimeType(), QByteArray(), response.statusCode());
    for (const QByteArray &name : {QByteArrayLiteral("WWW-Authenticate"), QByteArrayLiteral("X-Forecasts-Pending")}) {
        for (const QByteArray &value : response.headers(name))
            bare.addHeader(name, value);
    }
    return bare;
}

QList<BatteryRecord> ApiServer::fleetRecords(QHash<QByteArray, Forecast> &forecasts) const
{
    const std::vector<const FleetIndex::Entry *> ordered = m_sources.fleet->ordered();
    QList<BatteryRecord> records;
    records.reserve(qsizetype(ordered.size()));
    forecasts.reserve(qsizetype(ordered.size()));
    for (const FleetIndex::Entry *entry : ordered) {
        records.append(entry->record);
        if (entry->forecast)
            forecasts.insert(entry->record.serialKey(), *entry->forecast);
    }
    return records;
}

QHttpServerResponse ApiServer::batteryList(Format format, const QHttpServerRequest &request) const
{
    // due=N: only the batteries predicted to reach Poor within N days, as the dashboard's cards count them.
    const QUrlQuery query = request.query();
    bool ok = true;
    const int due = query.hasQueryItem(QStringLiteral("due")) ? query.queryItemValue(QStringLiteral("due")).toInt(&ok) : 0;
    if (!ok || due < 0 || due > MaximumWithinDays)
        return plain(QStringLiteral("due: a whole number of days from 0 to %1 expected").arg(MaximumWithinDays),
                     Status::BadRequest);
    // Written row by row: a table of a 100,000 fleet's values took the server past 450 MiB.
    const bool csv = format == Format::Csv;
    std::vector<const FleetIndex::Entry *> ordered = m_sources.fleet->ordered();
    if (due > 0) {
        const qint64 lastDay = LocalDays::today() + due;
        ordered.erase(std::remove_if(ordered.begin(), ordered.end(),
                                     [lastDay](const FleetIndex::Entry *e) { return !BatteryQuery::isDueBy(e->forecast, lastDay); }),
                      ordered.end());
    }
    const ApiTable table(ApiViews::batteryColumns());
    QByteArray out = table.opening(QStringLiteral("batteries"), csv);
    for (std::size_t i = 0; i < ordered.size(); ++i)
        table.appendRow(out, ApiViews::batteryRow(ordered[i]->record, ordered[i]->forecast), i == 0, csv);
    if (!csv)
        out += ApiTable::jsonListClosing();
    return body(std::move(out), csv);
}

QHttpServerResponse ApiServer::battery(const QString &key, Format format) const
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
        const ApiTable table = ApiViews::batteries({entry->record}, forecasts);
        return body(format == Format::Csv ? table.toCsv() : table.toJsonObject(0), format == Format::Csv);
    }
    return plain(QStringLiteral("no battery with serial %1").arg(key), Status::NotFound);
}

QHttpServerResponse ApiServer::history(const QString &key, Format format, const QHttpServerRequest &request) const
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
    if (format == Format::Csv)
        return body(table.toCsv(), true);
    return body(table.toJsonList(QStringLiteral("points"), {{QStringLiteral("serial"), serialKeyText(*serial)}}),
                false);
}

QHttpServerResponse ApiServer::forecast(Format format, const QHttpServerRequest &request) const
{
    const QUrlQuery query = request.query();
    bool ok = false;
    const int within = query.queryItemValue(QStringLiteral("within")).toInt(&ok);
    if (!query.hasQueryItem(QStringLiteral("within")) || !ok || within < 0 || within > MaximumWithinDays)
        return plain(QStringLiteral("within: a whole number of days from 0 to %1 expected").arg(MaximumWithinDays),
                     Status::BadRequest);
    QHash<QByteArray, Forecast> forecasts;
    const QList<BatteryRecord> records = fleetRecords(forecasts);
    const ApiTable table = ApiViews::forecastWithin(records, forecasts, LocalDays::today() + within);
    // Batteries the start has not fitted yet are in no due list: the answer says how many.
    const qsizetype pending = m_history ? m_history->pendingForecasts() : 0;
    if (format == Format::Csv) {
        QHttpServerResponse response = body(table.toCsv(), true);
        response.addHeader(QByteArrayLiteral("X-Forecasts-Pending"), QByteArray::number(pending));
        return response;
    }
    return body(table.toJsonList(QStringLiteral("batteries"),
                                 {{QStringLiteral("within"), within},
                                  {QStringLiteral("boundary"), m_history ? m_history->boundary() : 80},
                                  {QStringLiteral("pending"), pending}}),
                false);
}

} // namespace NVL::Engineering::VK
