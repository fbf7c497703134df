#pragma once

#include "AccessGate.h"
#include "BatteryRecord.h"
#include "FleetIndex.h"
#include "Forecast.h"
#include "HttpConnection.h"
#include "HttpRoutes.h"
#include "HttpSettings.h"

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

// The server's HTTP side, in the server's event loop, all of it read-only: the API of the fleet under
// /api/v1 (JSON, or CSV when the path ends in .csv or the request accepts text/csv), the dashboard's pages
// with their stylesheet and script, /metrics for monitoring and /healthz, every one of them a row of one
// route table (routeTable). The fleet and its forecasts come from the in-memory index, a battery's history
// from the keeper (absent: history is off), so that no answer reads the whole store while radios wait.
// Threads: everything here lives on the event loop; what it reads of other threads (the history, insight's
// result) it reads through their keepers' locked calls or shared pointers, never their members.
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
    using Match = HttpRoutes::Match;

    // Every route, in one place.
    void routeTable();
    // The answer to any request: the route's after the gate and the method, or 404/405 from the table.
    HttpResponse dispatch(const HttpRequest &request);
    HttpResponse notFound(const HttpRequest &request, AccessGate::Verdict verdict) const;
    // A person's browser asking for a page rather than a program for data.
    static bool wantsPage(const HttpRequest &request);
    // A wrong token counts against its address.
    AccessGate::Verdict access(const HttpRequest &request);
    // The answer to a request the gate did not let through: 429 while its address waits, the sign-in page
    // for a browser that asked for a page, 401 otherwise.
    HttpResponse refusal(const HttpRequest &request, AccessGate::Verdict verdict) const;
    HttpResponse signIn(const HttpRequest &request);
    // GET shows the form, POST signs in; GET /signout ends the session.
    HttpResponse signInRoute(const HttpRequest &request);
    HttpResponse signOut(const HttpRequest &request);
    // Whole-fleet answers (the API's battery list and forecast, the dashboard's list and its CSV), given
    // out in parts; 400 with the reason when the query is wrong.
    HttpResponse fleetAnswer(const QString &path, bool csv, const QUrlQuery &query) const;

    HttpResponse battery(const QString &key, bool csv) const;
    HttpResponse history(const QString &key, bool csv, const HttpRequest &request) const;
    HttpResponse staticFile(const QString &name) const;
    HttpResponse accuracy(bool csv) const;
    // Insight's answers (ApiServerInsight.cpp).
    HttpResponse sites(bool csv) const;
    HttpResponse site(const QString &name, bool csv) const;
    HttpResponse silent(bool csv, const HttpRequest &request) const;
    HttpResponse silentPage(const HttpRequest &request) const;
    HttpResponse plan(bool csv) const;
    HttpResponse healthz() const;

    HttpRoutes m_routes;
    HttpHandler m_handler; // dispatch, as the connections call it
    HistoryKeeper *m_history;
    Sources m_sources;
    std::unique_ptr<DashboardPages> m_pages;
    std::unique_ptr<InsightPages> m_insightPages;
    AccessGate m_gate;
    bool m_tls = false;
    bool m_listening = false;
};

} // namespace NVL::Engineering::VK
