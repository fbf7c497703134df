#pragma once

#include "ApiSettings.h"
#include "BatteryRecord.h"

#include <QHttpServer>
#include <QObject>

#include <functional>

class QSettings;

namespace NVL::Engineering::VK {

class HistoryKeeper;

// The read-only HTTP API of the fleet, on Qt's HTTP server in the server's event loop. Every answer is
// JSON, or CSV when the path ends in .csv or the request accepts text/csv. It changes nothing: the
// records come from the store, the history and forecasts from the keeper (absent: history is off).
class ApiServer : public QObject
{
    Q_OBJECT

public:
    using RecordSource = std::function<QList<BatteryRecord>()>;

    // Reads [http] of vk.cfg and listens, or logs why not; the radios are served either way.
    ApiServer(QSettings &settings, RecordSource records, HistoryKeeper *history, QObject *parent = nullptr);

    bool isListening() const { return m_listening; }

private:
    enum class Format { Json, Csv };
    using Handler = std::function<QHttpServerResponse(Format, const QHttpServerRequest &)>;

    void addRoutes();
    QHttpServerResponse answer(const QHttpServerRequest &request, Format format, const Handler &handler) const;
    bool authorised(const QHttpServerRequest &request) const;

    QHttpServerResponse batteryList(Format format) const;
    QHttpServerResponse battery(const QString &key, Format format) const;
    QHttpServerResponse history(const QString &key, Format format, const QHttpServerRequest &request) const;
    QHttpServerResponse forecast(Format format, const QHttpServerRequest &request) const;

    QHttpServer m_http;
    RecordSource m_records;
    HistoryKeeper *m_history;
    QByteArray m_token;
    bool m_listening = false;
};

} // namespace NVL::Engineering::VK
