#pragma once

namespace NVL::Engineering::VK {

// The system's log for the service host: the event log where the service manager's library resolves,
// else syslog; where there is neither, entries stay on standard error.
class SystemEventLog
{
public:
    SystemEventLog() = delete;

    // Makes it the log that entries go to while no other sink is installed; calling it again changes nothing.
    static void install();
};

} // namespace NVL::Engineering::VK
