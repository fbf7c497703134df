#pragma once

#include <QThread>

#include <functional>

namespace NVL::Engineering::VK {

// The thread that blocks in the service manager's dispatcher for the service's lifetime.
class HandlerThread : public QThread
{
    Q_OBJECT

public:
    explicit HandlerThread(std::function<void()> body, QObject *parent = nullptr);

protected:
    void run() override;

private:
    std::function<void()> m_body;
};

} // namespace NVL::Engineering::VK
