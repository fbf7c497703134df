#pragma once

#include <cstdint>

namespace NVL::Engineering::VK {

// How every platform watches a service it asked to stop: ten looks at its state, 200 ms apart, so that
// -t answers within about two seconds whichever service manager it talks to.
class StopPoll
{
public:
    enum Outcome { Stopped, StillRunning, LookFailed };

    static constexpr int Looks = 10;
    static constexpr std::uint32_t IntervalMs = 200;

    // look answers Stopped, StillRunning or LookFailed; the polling ends at the first answer that is not
    // StillRunning. pause(IntervalMs) separates the looks, and comes before the first one too where
    // pauseFirst is set.
    template <typename Look, typename Pause>
    static Outcome watch(Look look, Pause pause, bool pauseFirst)
    {
        Outcome outcome = StillRunning;
        for (int i = 0; i < Looks && outcome == StillRunning; ++i) {
            if (i > 0 || pauseFirst)
                pause(IntervalMs);
            outcome = look();
        }
        return outcome;
    }
};

} // namespace NVL::Engineering::VK
