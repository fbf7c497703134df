#pragma once

#include "FleetHome.h"
#include "StoreSettings.h"

namespace NVL::Engineering::VK {

class PostgresBatteryStore;
class SharedHistoryAdoption;
class SharedStoreDuties;

// The PostgreSQL database several servers share: other servers' rows come in (SharedStoreDuties), a new
// history file takes the fleet's points from it (SharedHistoryAdoption), and the server holding the
// planner's lock sends the fleet's planned mail.
class SharedFleetHome : public FleetHome
{
public:
    SharedFleetHome(std::unique_ptr<PostgresBatteryStore> store, const StoreSettings &settings);
    ~SharedFleetHome() override;

    BatteryStore &store() override;
    void historyOpened(HistoryKeeper *history, const HistorySettings &settings) override;
    void begin(FleetIndex &fleet, bool historyKept, const HistorySettings &history) override;
    void endDuties() override;
    void endHistory() override;
    void forecastsFitted(const QHash<QByteArray, Forecast> &fitted) override;
    std::optional<qint64> spooled() const override;
    bool sendsPlannedMail() const override;
    QList<SilentBattery> untoldSilences(const QList<SilentBattery> &silent) override;
    bool planned(const NotificationData &notification, const QString &identity, const QDateTime &due) override;
    QList<NotificationData> claimed() override;

private:
    const std::unique_ptr<PostgresBatteryStore> m_shared;
    const StoreSettings m_settings;
    std::unique_ptr<SharedStoreDuties> m_duties;
    std::unique_ptr<SharedHistoryAdoption> m_adoption;
};

} // namespace NVL::Engineering::VK
