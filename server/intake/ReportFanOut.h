#pragma once

#include "BatteryRecord.h"

#include <QByteArray>
#include <QHash>
#include <QList>
#include <QMetaObject>

#include <functional>
#include <optional>

namespace NVL::Engineering::VK {

class FleetIndex;
class HistoryKeeper;
class InsightKeeper;
class Webhooks;
struct Forecast;

// Where what the store took goes, written once for every way in (radios, another server's rows of the
// shared store, a delete): the fleet model, insight, the history and the health alerts, in that order.
// Only what the store holds comes here: nothing shows a report it did not store. Forecasts the history
// fits or loads come back here too, straight into the fleet model and insight.
// Threads: the event loop's alone, like the fleet model it changes; the history takes its points on its
// own thread.
class ReportFanOut
{
public:
    using Replaced = std::optional<BatteryRecord>;
    // A battery whose class is worse than that of the record its report replaced.
    using HealthFell = std::function<void(const BatteryRecord &report)>;

    struct Intake
    {
        QList<BatteryRecord> points;  // into the history, with their senders' addresses
        QList<QByteArray> senders;
        QList<BatteryRecord> changed; // the newest record of each battery, into the fleet model
        QList<QByteArray> removed;    // serials gone from the store
        QList<BatteryRecord> alerted; // reports that may raise an alert, with the records they replaced
        QList<Replaced> replaced;
    };

    explicit ReportFanOut(FleetIndex &fleet) : m_fleet(fleet) {}

    // Absent until made (history off, insight before the HTTP side): left out meanwhile.
    void setHistory(HistoryKeeper *history);
    void setInsight(InsightKeeper *insight) { m_insight = insight; }
    void setHealthFell(HealthFell alert) { m_healthFell = std::move(alert); }
    void setWebhooks(Webhooks *webhooks) { m_webhooks = webhooks; }

    // The record each report replaces, before the group is stored: the fleet model holds every valid
    // row, and a battery reported twice in the group finds its earlier report there.
    QList<Replaced> replacedBy(const QList<BatteryRecord> &reports) const;
    // Reports stored just now, from radios.
    void stored(const QList<BatteryRecord> &reports, const QList<QByteArray> &senders, const QList<Replaced> &replaced);
    void take(const Intake &intake);
    void removed(const QByteArray &serial);

private:
    void takeForecasts(const QHash<QByteArray, Forecast> &forecasts);

    FleetIndex &m_fleet;
    HistoryKeeper *m_history = nullptr;
    QMetaObject::Connection m_loaded;
    QMetaObject::Connection m_fitted;
    InsightKeeper *m_insight = nullptr;
    HealthFell m_healthFell;
    Webhooks *m_webhooks = nullptr;
};

} // namespace NVL::Engineering::VK
