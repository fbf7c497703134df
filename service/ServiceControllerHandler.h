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

    // The posted event: its type is the request, its sequence number lets the waiter know it was handled.
    class ControlEvent : public QEvent
    {
    public:
        ControlEvent(int type, quint64 sequence)
            : QEvent(QEvent::Type(type))
            , m_sequence(sequence)
        {
        }
        quint64 sequence() const { return m_sequence; }

    private:
        quint64 m_sequence;
    };

protected:
    void customEvent(QEvent *event) override;

private:
    ServiceRunState &m_state;
};

} // namespace NVL::Engineering::VK
