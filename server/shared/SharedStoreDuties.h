#pragma once

#include "Forecast.h"
#include "PostgresBatteryStore.h"

#include <QObject>
#include <QTimer>

#include <memory>
#include <optional>

namespace NVL::Engineering::VK {

class FleetIndex;
class PostgresLease;
class SharedForecastWriter;
class SharedHistoryRetention;
class SharedPlannedMail;
struct StoreSettings;

// What a server sharing a PostgreSQL database does besides storing its reports: it fetches the rows other
// servers wrote and drains its outage spool, a part per turn, and takes or renews the planner's lease
// (its holder every third of the lease, the others every plannerRetrySeconds). The lease's holder alone
// sends the fleet's planned mail, keeps the database's history points to the kept years (with the
// history on) and writes the forecasts there.
class SharedStoreDuties : public QObject
{
    Q_OBJECT

public:
    // `historyYears` with the history on, else none.
    SharedStoreDuties(PostgresBatteryStore &store, const StoreSettings &settings, std::optional<int> historyYears,
                      const FleetIndex &fleet);
    ~SharedStoreDuties() override;

    void start();
    bool holdsPlannerLock() const;
    SharedPlannedMail &plannedMail() { return *m_plannedMail; }
    // Written to the database while this server holds the lock: every server fits the same.
    void forecastsFitted(const QHash<QByteArray, Forecast> &fitted);
    // Renews or takes the lease now: a holder whose lease another server took stops planning at once.
    void refreshPlannerLock();

signals:
    // Rows that came from the database, to go into the fleet, the history and the alerts; before the next
    // part is asked for.
    void caughtUp(const PostgresBatteryStore::CaughtUp &caught);
    // The lock was checked: `changed` when it was taken or lost since the last check.
    void plannerLockChecked(bool held, bool changed);

private:
    void catchUp();

    PostgresBatteryStore &m_store;
    std::unique_ptr<PostgresLease> m_plannerLock;
    std::unique_ptr<SharedPlannedMail> m_plannedMail;
    std::unique_ptr<SharedHistoryRetention> m_retention;
    std::unique_ptr<SharedForecastWriter> m_forecastWriter;
    QTimer m_catchUpTimer;
    QTimer m_plannerLockTimer;
    int m_retryMs = 0;
    int m_catchUpMs = 0;
};

} // namespace NVL::Engineering::VK
