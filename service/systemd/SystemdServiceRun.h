#pragma once

namespace NVL::Engineering::VK {

class ServiceBase;

// One run of the service as a systemd notify service: a dispatcher thread hands the start and every
// SIGTERM or SIGINT to the service-run state as control requests, which reach the service on the
// event-loop thread; the published states become sd_notify messages.
class SystemdServiceRun
{
public:
    explicit SystemdServiceRun(ServiceBase &service);

    // Until the event loop ended; false if no application could be made.
    bool run();

private:
    ServiceBase &m_service;
};

} // namespace NVL::Engineering::VK
