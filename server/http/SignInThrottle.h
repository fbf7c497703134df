#pragma once

#include <QElapsedTimer>
#include <QHash>
#include <QHostAddress>

#include <deque>

namespace NVL::Engineering::VK {

// Slows the guessing of the token down: after FreeFailures wrong tokens from one address, each within
// WindowMs of the one before, that address is refused for a time that doubles with every further wrong
// one, up to LongestWaitMs. A right token, or a window without a wrong one, ends the episode; each episode
// is logged once. Guesses from many addresses at once meet a bound of all of them together: past
// FleetFailures wrong tokens within FleetWindowMs every token waits, for a second that doubles while they
// go on (up to LongestFleetWaitMs), with one Warning an episode; sessions already signed in are not
// touched. Refusing costs nothing, so nothing waits in the event loop.
class SignInThrottle
{
public:
    static constexpr int FreeFailures = 5;
    static constexpr qint64 WindowMs = 15 * 60 * 1000;
    static constexpr qint64 LongestWaitMs = 5 * 60 * 1000;
    // Addresses remembered at once; past it the one quiet longest is forgotten.
    static constexpr int MostAddresses = 4096;
    static constexpr int FleetFailures = 60;
    static constexpr qint64 FleetWindowMs = 60 * 1000;
    static constexpr qint64 LongestFleetWaitMs = 60 * 1000;

    SignInThrottle();

    // Whole seconds the address must wait before its next token counts; 0: it may try now.
    int waitSeconds(const QHostAddress &address) const;
    void failed(const QHostAddress &address);
    void succeeded(const QHostAddress &address) { m_addresses.remove(address); }

private:
    struct Failures
    {
        int count = 0;
        qint64 lastMs = 0;
        qint64 refusedUntilMs = 0;
    };
    void forgetOne();

    void failedAnywhere(qint64 now);

    QElapsedTimer m_clock;
    QHash<QHostAddress, Failures> m_addresses;
    std::deque<qint64> m_recent; // of every address, at most FleetFailures, oldest first
    qint64 m_fleetUntilMs = 0;
    int m_fleetDoublings = -1; // -1: no episode
};

} // namespace NVL::Engineering::VK
