#pragma once

#include "FleetHome.h"
#include "SilenceLedger.h"

namespace NVL::Engineering::VK {

// This server's own vk.db: it alone plans and sends its mail, and keeps the silences it told beside it.
class LocalFleetHome : public FleetHome
{
public:
    LocalFleetHome(std::unique_ptr<BatteryStore> store, const QString &silencesFile);

    BatteryStore &store() override { return *m_store; }
    void historyOpened(HistoryKeeper *, const HistorySettings &) override {}
    void begin(FleetIndex &, bool, const HistorySettings &) override {}
    void endDuties() override {}
    void endHistory() override {}
    void forecastsFitted(const QHash<QByteArray, Forecast> &) override {}
    std::optional<qint64> spooled() const override { return std::nullopt; }
    bool sendsPlannedMail() const override { return true; }
    QList<SilentBattery> untoldSilences(const QList<SilentBattery> &silent) override { return m_silences.untold(silent); }
    bool planned(const NotificationData &, const QString &, const QDateTime &) override { return false; }
    QList<NotificationData> claimed() override { return {}; }

private:
    const std::unique_ptr<BatteryStore> m_store;
    SilenceLedger m_silences;
};

} // namespace NVL::Engineering::VK
