#pragma once

namespace NVL::Engineering::VK {

class ServiceBase;

// What a service program does with its command line: install, remove and control the service through
// the platform's service manager, run it in the foreground (-e) or under the service manager. It
// installs the system's log before anything else.
class ServiceHost
{
public:
    explicit ServiceHost(ServiceBase &service);

    // Returns the process exit code.
    int run();

private:
    // Option "-e": the event loop in this process, without the service manager.
    int runInProcess();

    ServiceBase &m_service;
};

} // namespace NVL::Engineering::VK
