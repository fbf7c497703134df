#pragma once

#include <QEvent>
#include <QObject>

namespace NVL::Engineering::VK {

class ServiceRunState;

// Lives on the event-loop thread and turns the events that the control handler posts into calls of
// the service's operations, then wakes the control handler that waits for it.
class ServiceControllerHandler : public QObject
{
    Q_OBJECT

public:
    explicit ServiceControllerHandler(ServiceRunState &state, QObject *parent = nullptr);

protected:
    void customEvent(QEvent *event) override;

private:
    ServiceRunState &m_state;
};

} // namespace NVL::Engineering::VK
