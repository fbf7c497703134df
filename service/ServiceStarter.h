#pragma once

#include <QObject>

namespace NVL::Engineering::VK {

class ServiceBase;

// Calls the service's start from inside the running event loop, once.
class ServiceStarter : public QObject
{
    Q_OBJECT

public:
    explicit ServiceStarter(ServiceBase &service, QObject *parent = nullptr);

public slots:
    void slotStart();

private:
    ServiceBase &m_service;
    bool m_started = false;
};

} // namespace NVL::Engineering::VK
