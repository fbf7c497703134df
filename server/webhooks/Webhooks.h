#pragma once

#include "BatteryRecord.h"
#include "ServerMetrics.h"
#include "WebhookCourier.h"
#include "WebhookDocument.h"
#include "WebhookOutbox.h"
#include "WebhookSettings.h"

#include <QHash>
#include <QList>
#include <QNetworkAccessManager>
#include <QObject>

#include <array>
#include <map>
#include <optional>

namespace NVL::Engineering::VK {

class FleetIndex;
struct InsightResult;

// What the fleet raises for the receivers of [webhooks]: told of stored reports, refitted forecasts,
// insight's analyses and failed mails, it finds the events each receiver wants, writes them to the
// outbox and wakes the receivers' couriers. A lasting state (due, due now, silent, a flagged site) is
// told once when a battery or site enters it, and again only after it left it.
// Threads: the event loop's alone, like the fleet model it reads.
class Webhooks : public QObject
{
public:
    Webhooks(const WebhookSettings &settings, const QString &outboxFile, const FleetIndex &fleet,
             QObject *parent = nullptr);
    ~Webhooks() override;

    // Why no event is kept (the outbox could not be opened); empty while they are.
    QString problem() const { return m_problem; }
    bool any() const { return !m_settings.endpoints.isEmpty(); }

    // Reports just stored and now in the fleet model, each beside the record it replaced.
    void reportsStored(const QList<BatteryRecord> &reports, const QList<std::optional<BatteryRecord>> &replaced);
    // Batteries whose forecast changed, by serial.
    void forecastsChanged(const QList<QByteArray> &serials);
    void insightComputed(const InsightResult &result);
    void mailFailed(const WebhookDocument::FailedMail &mail);

    qint64 outboxDepth() const { return m_outbox.depth(); }
    QList<ServerMetrics::WebhookCount> deliveries() const;

private:
    struct Batch
    {
        QList<QPair<QString, WebhookOutbox::Event>> posts;
        QList<WebhookOutbox::Told> told;
    };
    // One event to every receiver that wants its kind.
    void post(Batch &batch, const WebhookOutbox::Event &event) const;
    // `subject` is in the state now, or not: a receiver is told when it enters.
    bool enters(Batch &batch, const QString &endpoint, const QString &kind, const QString &subject, bool now);
    // The lasting states of kind of which `present` holds all subjects in the state now.
    void whole(Batch &batch, const QString &kind, const QHash<QString, std::function<WebhookOutbox::Event()>> &present);
    void batteryStates(Batch &batch, const QByteArray &serial, qint64 now, qint64 today);
    void write(Batch &batch);
    bool wanted(const QString &kind) const { return m_wanted.contains(kind); }

    WebhookSettings m_settings;
    const FleetIndex &m_fleet;
    WebhookOutbox m_outbox;
    QString m_problem;
    WebhookOutbox::ToldSets m_told;
    QStringList m_wanted; // every kind some receiver wants
    QNetworkAccessManager m_network;
    QList<WebhookCourier *> m_couriers;
    std::map<QString, std::array<quint64, WebhookCourier::OutcomeCount>> m_counts;
};

} // namespace NVL::Engineering::VK
