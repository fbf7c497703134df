#include "ApiServer.h"

#include "AccuracyViews.h"

#include "PageParts.h"

#include "TlsCredentials.h"
#include "ApiViews.h"
#include "FleetIndex.h"
#include "BatteryQuery.h"
#include "DashboardPages.h"
#include "BatteryPageAnswer.h"
#include "FleetAnswer.h"
#include "HistoryKeeper.h"
#include "OverviewAnswer.h"
#include "HttpListener.h"
#include "InsightPages.h"
#include "LocalDays.h"
#include "Log.h"
#include "SameBytes.h"
#include "ServerMetrics.h"

#include <QDateTime>
#include <QFile>
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
        QString error;
        tls = TlsCredentials::load(settings.tls, error);
        if (!tls) {
            Log::error(QStringLiteral("HTTP API not started: ") + error);
            return;
        }
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
    addRoutes();
    tcp->setStreamer([this](const HttpHead &head) { return streamed(head); });
    m_http.bind(tcp.release());
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

void ApiServer::addRoutes()
{
    addPageRoutes();
    if (m_gate.tokenRequired())
        addSignInRoutes();
    const auto both = [this](const QString &path, const Handler &handler) {
        m_http.route(path, [this, handler](const QHttpServerRequest &request) {
            return answer(request, Format::Json, handler);
        });
        m_http.route(path + QStringLiteral(".csv"), [this, handler](const QHttpServerRequest &request) {
            return answer(request, Format::Csv, handler);
        });
    };
    for (const QString &path : {Prefix + QStringLiteral("/batteries"), Prefix + QStringLiteral("/forecast")})
        both(path, [this, path](Format format, const QHttpServerRequest &request) {
            return fleetResponse(path, format, request);
        });
    if (m_sources.history) {
        both(Prefix + QStringLiteral("/forecast/accuracy"), [this](Format format, const QHttpServerRequest &) {
            const auto [accuracy, made] = m_sources.history->accuracy();
            const ApiTable table = AccuracyViews::table(accuracy);
            if (format == Format::Csv)
                return body(table.toCsv(), true);
            return body(table.toJsonList(QStringLiteral("horizons"),
                                         {{QStringLiteral("madeAt"), made > 0 ? QJsonValue(ApiViews::timeText(made)) : QJsonValue()},
                                          {QStringLiteral("ownRecord"), made > 0}}),
                        false);
        });
    }
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
        const AccessGate::Verdict verdict = access(request);
        const bool allowed = verdict == AccessGate::Verdict::Allowed;
        if (!allowed && (verdict == AccessGate::Verdict::Refused || wantsPage(request))) {
            QHttpServerResponse response = refusal(request, verdict);
            for (const auto &header : SecurityHeaders)
                response.addHeader(header.first, header.second);
            response.addHeader(QByteArrayLiteral("Cache-Control"), QByteArrayLiteral("no-store"));
            response.write(std::move(responder));
            return;
        }
        // A person who mistyped a page's address gets a page with the ways back; programs get a line.
        const bool page = allowed && m_pages && wantsPage(request);
        const QByteArray body = page ? PageParts::notFoundPage(QStringLiteral("There is no page at %1.").arg(request.url().path()),
                                                               m_gate.tokenRequired())
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
        // Open to all: the sign-in page needs its stylesheet, and the program's own files tell nothing.
        return answer(request, Format::Json, [this, name](Format, const QHttpServerRequest &) { return staticFile(name); },
                      false);
    });
    if (!m_pages)
        return;
    page(QStringLiteral("/"), [this](const QHttpServerRequest &) { return QHttpServerResponse(HtmlType, m_pages->overview()); });
    page(QStringLiteral("/batteries"), [this](const QHttpServerRequest &request) {
        return QHttpServerResponse(HtmlType, m_pages->batteries(BatteryQuery::from(request.query())));
    });
    page(QStringLiteral("/batteries.csv"), [this](const QHttpServerRequest &request) {
        return fleetResponse(QStringLiteral("/batteries"), Format::Csv, request);
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

AccessGate::Verdict ApiServer::access(const QHttpServerRequest &request)
{
    return m_gate.check(request.value(QByteArrayLiteral("Authorization")), request.value(QByteArrayLiteral("Cookie")),
                        request.remoteAddress(), true);
}

QHttpServerResponse ApiServer::answer(const QHttpServerRequest &request, Format format, const Handler &handler, bool gated)
{
    const AccessGate::Verdict verdict = gated ? access(request) : AccessGate::Verdict::Allowed;
    if (verdict != AccessGate::Verdict::Allowed)
        return refusal(request, verdict);
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

std::optional<StreamedAnswer> ApiServer::fleetAnswer(const QString &path, bool csv, const QUrlQuery &query,
                                                     QString &error) const
{
    const FleetIndex &fleet = *m_sources.fleet;
    const ApiTable table(ApiViews::batteryColumns());
    StreamedAnswer answer;
    answer.headers.append({QByteArrayLiteral("Content-Type"), csv ? CsvType : JsonType});
    if (path == Prefix + QStringLiteral("/batteries")) {
        // due=N: only the batteries predicted to reach Poor within N days, as the dashboard's cards count them.
        bool ok = true;
        const int due = query.hasQueryItem(QStringLiteral("due")) ? query.queryItemValue(QStringLiteral("due")).toInt(&ok) : 0;
        if (!ok || due < 0 || due > MaximumWithinDays) {
            error = QStringLiteral("due: a whole number of days from 0 to %1 expected").arg(MaximumWithinDays);
            return std::nullopt;
        }
        FleetAnswer::Filter filter;
        if (due > 0)
            filter = [lastDay = LocalDays::today() + due](const FleetIndex::Entry &e) {
                return BatteryQuery::isDueBy(e.forecast, lastDay);
            };
        answer.body = std::make_unique<FleetAnswer>(fleet, table.opening(QStringLiteral("batteries"), csv), csv,
                                                    std::move(filter));
        return answer;
    }
    if (path == Prefix + QStringLiteral("/forecast")) {
        bool ok = false;
        const int within = query.queryItemValue(QStringLiteral("within")).toInt(&ok);
        if (!query.hasQueryItem(QStringLiteral("within")) || !ok || within < 0 || within > MaximumWithinDays) {
            error = QStringLiteral("within: a whole number of days from 0 to %1 expected").arg(MaximumWithinDays);
            return std::nullopt;
        }
        // Poor already first, then by date; the same date in serial order.
        const qint64 lastDay = LocalDays::today() + within;
        FleetAnswer::Rank rank = [lastDay](const FleetIndex::Entry &e) -> std::optional<SortKey> {
            if (e.forecast && e.forecast.status() == Forecast::Status::Now)
                return SortKey::number(std::numeric_limits<qint64>::min());
            if (BatteryQuery::isDueBy(e.forecast, lastDay))
                return SortKey::number(*e.forecast.day());
            return std::nullopt;
        };
        // Batteries the start has not fitted yet are in no due list: the answer says how many.
        const qsizetype pending = m_history ? m_history->pendingForecasts() : 0;
        if (csv)
            answer.headers.append({QByteArrayLiteral("X-Forecasts-Pending"), QByteArray::number(pending)});
        const QByteArray opening = table.opening(QStringLiteral("batteries"), csv,
                                                 {{QStringLiteral("within"), within},
                                                  {QStringLiteral("boundary"), m_history ? m_history->boundary() : 80},
                                                  {QStringLiteral("pending"), pending}});
        answer.body = std::make_unique<FleetAnswer>(fleet, opening, csv, std::move(rank));
        return answer;
    }
    if (path == QStringLiteral("/") && !csv && m_pages) {
        answer.headers.first().second = HtmlType;
        answer.body = std::make_unique<OverviewAnswer>(fleet, *m_pages);
        return answer;
    }
    if (path == QStringLiteral("/batteries") && !csv && m_pages) {
        // The list page's rows chosen in parts.
        const BatteryQuery asked = BatteryQuery::from(query);
        answer.headers.first().second = HtmlType;
        answer.body = std::make_unique<BatteryPageAnswer>(fleet, *m_pages, asked);
        return answer;
    }
    if (path == QStringLiteral("/batteries") && csv && m_pages) {
        // The dashboard's list as filtered and sorted, every page of it; chosen and sorted in parts.
        const BatteryQuery asked = BatteryQuery::from(query);
        answer.body = std::make_unique<FleetAnswer>(fleet, table.opening(QString(), true), true, asked.rank(),
                                                    asked.descending);
        return answer;
    }
    return std::nullopt;
}

std::optional<StreamedAnswer> ApiServer::streamed(const HttpHead &head)
{
    // Refusals (no token, another method, a wrong query) are the HTTP server's to answer, as for any
    // request, and a wrong token is counted there.
    const bool headOnly = head.method == "HEAD";
    if ((head.method != "GET" && !headOnly)
        || m_gate.check(head.value(QByteArrayLiteral("authorization")), head.value(QByteArrayLiteral("cookie")),
                        head.peer, false)
            != AccessGate::Verdict::Allowed)
        return std::nullopt;
    QString path = head.url.path();
    bool csv = path.endsWith(QLatin1String(".csv"));
    if (csv)
        path.chop(4);
    else if (path.startsWith(Prefix) && head.value(QByteArrayLiteral("accept")).contains("text/csv"))
        csv = true;
    QString error;
    std::optional<StreamedAnswer> answer = fleetAnswer(path, csv, QUrlQuery(head.url), error);
    if (!answer)
        return std::nullopt;
    for (const auto &header : SecurityHeaders)
        answer->headers.append({header.first, header.second});
    answer->headers.append({QByteArrayLiteral("Cache-Control"), QByteArrayLiteral("no-store")});
    if (headOnly)
        answer->body.reset();
    return answer;
}

QHttpServerResponse ApiServer::fleetResponse(const QString &path, Format format, const QHttpServerRequest &request) const
{
    // Reached only when the guard did not stream the answer: refusals, and the answer whole otherwise.
    QString error;
    std::optional<StreamedAnswer> answer = fleetAnswer(path, format == Format::Csv, request.query(), error);
    if (!answer)
        return plain(error, Status::BadRequest);
    QByteArray out;
    while (!answer->body->atEnd())
        out += answer->body->next(1 << 20);
    QHttpServerResponse response(answer->headers.first().second, std::move(out));
    for (qsizetype i = 1; i < answer->headers.size(); ++i)
        response.addHeader(answer->headers[i].first, answer->headers[i].second);
    return response;
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

} // namespace NVL::Engineering::VK
