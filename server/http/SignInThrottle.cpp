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
    if (found == m_addresses.cend())
        return 0;
    const qint64 left = found->refusedUntilMs - m_clock.elapsed();
    return left > 0 ? int((left + 999) / 1000) : 0;
}

void SignInThrottle::failed(const QHostAddress &address)
{
    const qint64 now = m_clock.elapsed();
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
