#pragma once

#include <QObject>

namespace NVL::Engineering::VK {

class ServiceBase;

// Calls the service's start from inside the running event loop, once, and its stop when the run in the
// foreground is asked to end.
class ServiceStarter : public QObject
{
    Q_OBJECT

public:
    explicit ServiceStarter(ServiceBase &service, QObject *parent = nullptr);

public slots:
    void slotStart();
    // Stops a service that started and ends the event loop; after it nothing starts.
    void slotStop();

private:
    ServiceBase &m_service;
    bool m_started = false;
    bool m_stopped = false;
};

} // namespace NVL::Engineering::VK
