#include "SharedStoreDuties.h"

#include "PostgresSchema.h"
#include "PostgresSessionLock.h"
#include "ServerSettings.h"
#include "SharedForecastWriter.h"
#include "SharedHistoryRetention.h"
#include "SharedPlannedMail.h"
#include "StoreChoice.h"

namespace NVL::Engineering::VK {

SharedStoreDuties::SharedStoreDuties(PostgresBatteryStore &store, const StoreSettings &settings,
                                     std::optional<int> historyYears, const FleetIndex &fleet)
    : m_store(store)
    , m_plannerLock(std::make_unique<PostgresSessionLock>(StoreChoice::postgresTarget(settings),
                                                          PostgresSchema::PlannerLock,
                                                          QStringLiteral("vk-postgresql-planner")))
    , m_plannedMail(std::make_unique<SharedPlannedMail>(store, *m_plannerLock))
    , m_catchUpMs(settings.pollMs)
{
    if (historyYears) {
        m_retention = std::make_unique<SharedHistoryRetention>(store, *historyYears);
        m_forecastWriter = std::make_unique<SharedForecastWriter>(store, fleet);
    }
    m_plannerLockTimer.setInterval(settings.plannerRetrySeconds * 1000);
    connect(&m_catchUpTimer, &QTimer::timeout, this, &SharedStoreDuties::catchUp);
    connect(&m_plannerLockTimer, &QTimer::timeout, this, &SharedStoreDuties::refreshPlannerLock);
}

SharedStoreDuties::~SharedStoreDuties() = default;

void SharedStoreDuties::start()
{
    m_catchUpTimer.start(m_catchUpMs);
    m_plannerLockTimer.start();
    refreshPlannerLock();
}

bool SharedStoreDuties::holdsPlannerLock() const
{
    return m_plannerLock->isHeld();
}

void SharedStoreDuties::forecastsFitted(const QHash<QByteArray, Forecast> &fitted)
{
    if (m_forecastWriter && holdsPlannerLock())
        m_forecastWriter->fitted(fitted);
}

void SharedStoreDuties::refreshPlannerLock()
{
    const bool held = m_plannerLock->isHeld();
    // While the store cannot reach the database the lock's own connection would wait for it too, with the
    // radios; the lock is given up, and sought again once the database is back.
    if (!m_store.isConnected())
        m_plannerLock->drop();
    const bool holds = m_store.isConnected() && m_plannerLock->refresh();
    emit plannerLockChecked(holds, holds != held);
}

void SharedStoreDuties::catchUp()
{
    // In parts: a server joining a large fleet, or back from an outage, holds the radios for one part.
    const PostgresBatteryStore::CaughtUp caught = m_store.catchUp();
    emit caughtUp(caught);
    if (m_retention && holdsPlannerLock())
        m_retention->step();
    // A backlog goes in turns with the radios, not once per poll: a long outage would never drain.
    if (caught.rows >= PostgresBatteryStore::CatchUpRows || (m_store.isConnected() && m_store.spooled() > 0))
        m_catchUpTimer.start(0);
    else if (m_catchUpTimer.interval() == 0)
        m_catchUpTimer.start(m_catchUpMs);
}

} // namespace NVL::Engineering::VK
