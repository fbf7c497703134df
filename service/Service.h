#pragma once

#include "ServiceBase.h"
#include "ServiceHost.h"

#include <QCoreApplication>

#include <memory>

namespace NVL::Engineering::VK {

// Binds the service host to a Qt application class that is constructed from (int &argc, char **argv).
template <typename Application = QCoreApplication>
class Service : public ServiceBase
{
public:
    Service(int argc, char **argv, const QString &name)
        : ServiceBase(argc, argv, name)
    {
    }

    ~Service() override { m_application.reset(); }

    // Evaluates the command line and returns the process exit code.
    int run() { return ServiceHost(*this).run(); }

protected:
    Application *application() const { return m_application.get(); }

    void makeApplication(int &argc, char **argv) override
    {
        // Qt allows one application object per process; an existing one (not ours) is left alone and
        // the run reports that no application could be made.
        if (m_application || QCoreApplication::instance())
            return;
        m_application = std::make_unique<Application>(argc, argv);
    }

    int runApplication() override { return m_application ? m_application->exec() : -1; }
    void deleteApplication() override { m_application.reset(); }
    bool hasApplication() const override { return m_application != nullptr; }

private:
    std::unique_ptr<Application> m_application;
};

} // namespace NVL::Engineering::VK
