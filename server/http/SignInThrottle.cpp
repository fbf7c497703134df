#include "SignInThrottle.h"

#include "Log.h"

#include <algorithm>

namespace NVL::Engineering::VK {

SignInThrottle::SignInThrottle()
{
    m_clock.start();
}

int SignInThrottle::waitSeconds(const QHostAddress &address) const
{
    const auto found = m_addresses.constFind(address);
    const qint64 until = std::max(found == m_addresses.cend() ? 0 : found->refusedUntilMs, m_fleetUntilMs);
    const qint64 left = until - m_clock.elapsed();
    return left > 0 ? int((left + 999) / 1000) : 0;
}

void SignInThrottle::failedAnywhere(qint64 now)
{
    while (!m_recent.empty() && now - m_recent.front() > FleetWindowMs)
        m_recent.pop_front();
    if (m_recent.empty())
        m_fleetDoublings = -1; // a quiet window ends the episode
    m_recent.push_back(now);
    if (m_recent.size() < size_t(FleetFailures))
        return;
    m_recent.pop_front();
    m_fleetDoublings = std::min(m_fleetDoublings + 1, 16);
    m_fleetUntilMs = now + std::min(LongestFleetWaitMs, qint64(1000) << m_fleetDoublings);
    if (m_fleetDoublings == 0)
        Log::warning(QStringLiteral("HTTP: %1 wrong tokens within a minute from all addresses together; every token "
                                    "waits for a while, longer while they go on (signed-in sessions are not touched)")
                         .arg(FleetFailures));
}

void SignInThrottle::failed(const QHostAddress &address)
{
    const qint64 now = m_clock.elapsed();
    failedAnywhere(now);
    auto found = m_addresses.find(address);
    if (found != m_addresses.end() && now - found->lastMs > WindowMs)
        found->count = 0;
    if (found == m_addresses.end()) {
        if (m_addresses.size() >= MostAddresses)
            forgetOne();
        found = m_addresses.insert(address, Failures());
    }
    Failures &failures = *found;
    failures.lastMs = now;
    if (++failures.count < FreeFailures)
        return;
    const int doublings = std::min(failures.count - FreeFailures, 20);
    failures.refusedUntilMs = now + std::min(LongestWaitMs, qint64(1000) << doublings);
    if (failures.count == FreeFailures)
        Log::warning(QStringLiteral("HTTP: %1 wrong tokens from %2 in a row; its tries are refused for a while, "
                                    "longer after each further wrong one")
                         .arg(FreeFailures)
                         .arg(address.toString()));
}

void SignInThrottle::forgetOne()
{
    const auto quietest = std::min_element(m_addresses.begin(), m_addresses.end(),
                                           [](const Failures &a, const Failures &b) { return a.lastMs < b.lastMs; });
    m_addresses.erase(quietest);
}

} // namespace NVL::Engineering::VK
