#pragma once

#include "AccessGate.h"
#include "BatteryRecord.h"
#include "FleetIndex.h"
#include "Forecast.h"
#include "HttpSettings.h"
#include "HttpStreaming.h"

#include <QHttpServer>
#include <QObject>

#include <functional>
#include <memory>
#include <vector>

class QUrlQuery;

namespace NVL::Engineering::VK {

class DashboardPages;
class FleetIndex;
class HistoryKeeper;
class InsightKeeper;
class InsightPages;
class MailLedger;
class ServerMetrics;

// The server's HTTP side, on Qt's HTTP server in the server's event loop, all of it read-only: the API of
// the fleet under /api/v1 (JSON, or CSV when the path ends in .csv or the request accepts text/csv), the
// dashboard's pages with their stylesheet and script, /metrics for monitoring and /healthz. The fleet and
// its forecasts come from the in-memory index, a battery's history from the keeper (absent: history is
// off), so that no answer reads the whole store while radios wait.
class ApiServer : public QObject
{
    Q_OBJECT

public:
    // What keeps the server from serving; empty when all is well.
    using HealthCheck = std::function<QStringList()>;

    struct Sources
    {
        HistoryKeeper *history = nullptr;
        const FleetIndex *fleet = nullptr; // required
        const ServerMetrics *metrics = nullptr;
        const MailLedger *mails = nullptr; // what the overview tells of each notification's mail
        const InsightKeeper *insight = nullptr; // sites, silent batteries and the plan; absent: not offered
        HealthCheck health;
    };

    // Listens as [http] of vk.cfg says, or logs why not; the radios are served either way.
    ApiServer(const HttpSettings &settings, Sources sources, QObject *parent = nullptr);
    ~ApiServer() override;

    bool isListening() const { return m_listening; }

private:
    enum class Format { Json, Csv };
    using Handler = std::function<QHttpServerResponse(Format, const QHttpServerRequest &)>;

    void addRoutes();
    void addPageRoutes();
    void addSignInRoutes();
    // `gated`: only for those the gate lets through.
    QHttpServerResponse answer(const QHttpServerRequest &request, Format format, const Handler &handler, bool gated = true);
    // A person's browser asking for a page rather than a program for data.
    static bool wantsPage(const QHttpServerRequest &request);
    // A wrong token counts against its address.
    AccessGate::Verdict access(const QHttpServerRequest &request);
    // The answer to a request the gate did not let through: 429 while its address waits, the sign-in page
    // for a browser that asked for a page, 401 otherwise.
    QHttpServerResponse refusal(const QHttpServerRequest &request, AccessGate::Verdict verdict) const;
    QHttpServerResponse signIn(const QHttpServerRequest &request);
    // Whole-fleet answers (the API's battery list and forecast, the dashboard's CSV) as streams; empty,
    // with the reason, when the query is wrong or the path is none of them.
    std::optional<StreamedAnswer> fleetAnswer(const QString &path, bool csv, const QUrlQuery &query, QString &error) const;
    std::optional<StreamedAnswer> streamed(const HttpHead &head);
    QHttpServerResponse fleetResponse(const QString &path, Format format, const QHttpServerRequest &request) const;

    QHttpServerResponse battery(const QString &key, Format format) const;
    QHttpServerResponse history(const QString &key, Format format, const QHttpServerRequest &request) const;
    QHttpServerResponse staticFile(const QString &name) const;
    // Insight's answers (ApiServerInsight.cpp).
    void addInsightRoutes();
    QHttpServerResponse sites(Format format) const;
    QHttpServerResponse site(const QString &name, Format format) const;
    QHttpServerResponse silent(Format format, const QHttpServerRequest &request) const;
    QHttpServerResponse plan(Format format) const;
    QHttpServerResponse healthz() const;

    QHttpServer m_http;
    HistoryKeeper *m_history;
    Sources m_sources;
    std::unique_ptr<DashboardPages> m_pages;
    std::unique_ptr<InsightPages> m_insightPages;
    AccessGate m_gate;
    bool m_tls = false;
    bool m_listening = false;
};

} // namespace NVL::Engineering::VK
