#pragma once

#include "ApiSettings.h"
#include "BatteryRecord.h"

#include <QHttpServer>
#include <QObject>

#include <functional>
#include <memory>

class QSettings;

namespace NVL::Engineering::VK {

class DashboardPages;
class FleetIndex;
class HistoryKeeper;
class ServerMetrics;

// The server's HTTP side, on Qt's HTTP server in the server's event loop, all of it read-only: the API of
// the fleet under /api/v1 (JSON, or CSV when the path ends in .csv or the request accepts text/csv), the
// dashboard's pages with their stylesheet and script, /metrics for monitoring and /healthz. The records
// come from the store, the history and forecasts from the keeper (absent: history is off), the pages'
// fleet from the in-memory index.
class ApiServer : public QObject
{
    Q_OBJECT

public:
    using RecordSource = std::function<QList<BatteryRecord>()>;
    // What keeps the server from serving; empty when all is well.
    using HealthCheck = std::function<QStringList()>;

    struct Sources
    {
        RecordSource records;
        HistoryKeeper *history = nullptr;
        const FleetIndex *fleet = nullptr;
        const ServerMetrics *metrics = nullptr;
        HealthCheck health;
    };

    // Reads [http] of vk.cfg and listens, or logs why not; the radios are served either way.
    ApiServer(QSettings &settings, Sources sources, QObject *parent = nullptr);
    ~ApiServer() override;

    bool isListening() const { return m_listening; }

private:
    enum class Format { Json, Csv };
    using Handler = std::function<QHttpServerResponse(Format, const QHttpServerRequest &)>;

    void addRoutes();
    void addPageRoutes();
    QHttpServerResponse answer(const QHttpServerRequest &request, Format format, const Handler &handler) const;
    bool authorised(const QHttpServerRequest &request) const;

    QHttpServerResponse batteryList(Format format) const;
    QHttpServerResponse battery(const QString &key, Format format) const;
    QHttpServerResponse history(const QString &key, Format format, const QHttpServerRequest &request) const;
    QHttpServerResponse forecast(Format format, const QHttpServerRequest &request) const;
    QHttpServerResponse staticFile(const QString &name) const;
    QHttpServerResponse healthz() const;

    QHttpServer m_http;
    RecordSource m_records;
    HistoryKeeper *m_history;
    Sources m_sources;
    std::unique_ptr<DashboardPages> m_pages;
    QByteArray m_token;
    bool m_listening = false;
};

} // namespace NVL::Engineering::VK
