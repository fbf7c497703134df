#include "SharedFleetHome.h"

#include "HistorySettings.h"
#include "PostgresBatteryStore.h"
#include "SharedHistoryAdoption.h"
#include "SharedPlannedMail.h"
#include "SharedStoreDuties.h"
#include "StoreChoice.h"

namespace NVL::Engineering::VK {

SharedFleetHome::SharedFleetHome(std::unique_ptr<PostgresBatteryStore> store, const StoreSettings &settings)
    : m_shared(std::move(store))
    , m_settings(settings)
{
}

BatteryStore &SharedFleetHome::store()
{
    return *m_shared;
}

SharedFleetHome::~SharedFleetHome() = default;

void SharedFleetHome::historyOpened(HistoryKeeper *history, const HistorySettings &settings)
{
    if (!history)
        return;
    // Decided before the fleet's newest reports are caught up into the file; read after the banner.
    m_adoption = std::make_unique<SharedHistoryAdoption>(StoreChoice::postgresTarget(m_settings), *history, settings.years);
    m_adoption->start();
}

void SharedFleetHome::begin(FleetIndex &fleet, bool historyKept, const HistorySettings &history)
{
    m_duties = std::make_unique<SharedStoreDuties>(*m_shared, m_settings,
                                                   historyKept ? std::optional<int>(history.years) : std::nullopt, fleet);
    connect(m_duties.get(), &SharedStoreDuties::caughtUp, this, &FleetHome::caughtUp);
    connect(m_duties.get(), &SharedStoreDuties::plannerLockChecked, this, &FleetHome::plannerLockChecked);
    m_duties->start();
}

void SharedFleetHome::endDuties()
{
    m_duties.reset();
}

void SharedFleetHome::endHistory()
{
    m_adoption.reset(); // it hands points to the history
}

void SharedFleetHome::forecastsFitted(const QHash<QByteArray, Forecast> &fitted)
{
    if (m_duties) // those read from the file went there when fitted
        m_duties->forecastsFitted(fitted);
}

std::optional<qint64> SharedFleetHome::spooled() const
{
    return qint64(m_shared->spooled());
}

bool SharedFleetHome::sendsPlannedMail() const
{
    return m_duties && m_duties->holdsPlannerLock();
}

QList<SilentBattery> SharedFleetHome::untoldSilences(const QList<SilentBattery> &silent)
{
    return m_duties ? m_duties->plannedMail().untold(silent) : QList<SilentBattery>();
}

bool SharedFleetHome::planned(const NotificationData &notification, const QString &identity, const QDateTime &due)
{
    if (!m_duties)
        return true; // the duties begin with the server: a mail due before is the fleet's, claimed then
    m_duties->plannedMail().due(notification, identity, due);
    m_duties->refreshPlannerLock();
    return true;
}

QList<NotificationData> SharedFleetHome::claimed()
{
    return m_duties ? m_duties->plannedMail().claim() : QList<NotificationData>();
}

} // namespace NVL::Engineering::VK
