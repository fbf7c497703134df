#include "SharedStoreDuties.h"

#include "PostgresSchema.h"
#include "PostgresLease.h"
#include "ServerSettings.h"
#include "SharedForecastWriter.h"
#include "SharedHistoryRetention.h"
#include "SharedPlannedMail.h"
#include "StoreChoice.h"

#include <QCoreApplication>
#include <QRandomGenerator>

#include <algorithm>

namespace NVL::Engineering::VK {

SharedStoreDuties::SharedStoreDuties(PostgresBatteryStore &store, const StoreSettings &settings,
                                     std::optional<int> historyYears, const FleetIndex &fleet)
    : m_store(store)
    , m_plannerLock(std::make_unique<PostgresLease>(QStringLiteral("%1/%2/%3")
                                                        .arg(store.site())
                                                        .arg(QCoreApplication::applicationPid())
                                                        .arg(QRandomGenerator::system()->generate64(), 0, 16),
                                                    settings.leaseSeconds))
    , m_plannedMail(std::make_unique<SharedPlannedMail>(store, *m_plannerLock))
    , m_retryMs(settings.plannerRetrySeconds * 1000)
    , m_catchUpMs(settings.pollMs)
{
    if (historyYears) {
        m_retention = std::make_unique<SharedHistoryRetention>(store, *historyYears);
        m_forecastWriter = std::make_unique<SharedForecastWriter>(store, fleet);
    }
    m_plannerLockTimer.setInterval(m_retryMs);
    connect(&m_catchUpTimer, &QTimer::timeout, this, &SharedStoreDuties::catchUp);
    connect(&m_plannerLockTimer, &QTimer::timeout, this, &SharedStoreDuties::refreshPlannerLock);
}

SharedStoreDuties::~SharedStoreDuties()
{
    // Given up at a stop: the next server takes it at its next try, not when the lease ends.
    if (m_store.isConnected())
        m_plannerLock->release(m_store.database());
}

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
    // While the store cannot reach the database nothing is claimed; the lease ends there by itself, and
    // is sought again once the database is back.
    if (!m_store.isConnected())
        m_plannerLock->lose();
    const bool holds = m_store.isConnected() && m_plannerLock->refresh(m_store.database());
    // The holder renews well before its hold ends; the others ask as often as they are told to.
    m_plannerLockTimer.setInterval(holds ? std::max(1, m_plannerLock->seconds() / 3) * 1000 : m_retryMs);
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
