#pragma once

#include "BatteryStore.h"
#include "NotificationData.h"
#include "PostgresBatteryStore.h"
#include "SilentBattery.h"

#include <QDateTime>
#include <QHash>
#include <QObject>

#include <memory>
#include <optional>

namespace NVL::Engineering::VK {

struct DataPaths;
class FleetIndex;
class HistoryKeeper;
struct HistorySettings;
struct ServerSettings;

// Where the fleet's reports, their history and the planner's lock live: this server's own files (vk.db,
// vk-silences.json; this server plans its own mail) or the PostgreSQL database several servers share
// (their rows come in, one of them holds the planner's lock). Chosen once at start; the server holds one
// and asks it, never which kind it is. What differs between the kinds is all here.
// Threads: the event loop's; the shared kind's duties run their own work off it.
class FleetHome : public QObject
{
    Q_OBJECT

public:
    static std::unique_ptr<FleetHome> make(const ServerSettings &settings, const DataPaths &paths);
    ~FleetHome() override;

    virtual BatteryStore &store() = 0;

    // The history file is open (null: history is off); a shared home takes the fleet's points from the
    // database into a new file.
    virtual void historyOpened(HistoryKeeper *history, const HistorySettings &settings) = 0;
    // The server is up: a shared home begins following the other servers' rows and the planner's lock.
    virtual void begin(FleetIndex &fleet, bool historyKept, const HistorySettings &history) = 0;
    // Before the last commit of a stop: other servers may take the planner's lock over from here on.
    virtual void endDuties() = 0;
    // Before the history closes.
    virtual void endHistory() = 0;
    virtual void forecastsFitted(const QHash<QByteArray, Forecast> &fitted) = 0;
    // Reports waiting for the store to be reached again; none where nothing waits.
    virtual std::optional<qint64> spooled() const = 0;
    // Planned mail (periodic reports, silences) goes out from one server of those sharing a store.
    virtual bool sendsPlannedMail() const = 0;
    // Of the silent batteries, those no mail has told yet, now counted as told.
    virtual QList<SilentBattery> untoldSilences(const QList<SilentBattery> &silent) = 0;
    // A periodic notification came due: false where this server sends it now itself, true where the
    // home plans it (claimed by one server, told through claimed()).
    virtual bool planned(const NotificationData &notification, const QString &identity, const QDateTime &due) = 0;
    // The periodic reports this server claimed since last asked.
    virtual QList<NotificationData> claimed() = 0;

signals:
    // The rows other servers wrote, and the spooled reports just stored.
    void caughtUp(const PostgresBatteryStore::CaughtUp &caught);
    // Whether this server holds the planner's lock, and whether that changed; planned mail may be due.
    void plannerLockChecked(bool held, bool changed);

protected:
    FleetHome() = default;
};

} // namespace NVL::Engineering::VK
