#pragma once

#include "LogType.h"

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <memory>

namespace NVL::Engineering::VK {

class ServiceController;

// One program that is at once an operating-system service, its own installer and its remote control
// (its command line is the service host's, see Service::run). Exactly one instance exists per process.
class ServiceBase
{
public:
    enum StartupType { AutoStartup, ManualStartup };
    enum ServiceFlag { CanBeSuspended = 0x1, CannotBeStopped = 0x2, NeedsStopOnShutdown = 0x4 };

    ServiceBase(int argc, char **argv, const QString &name);
    virtual ~ServiceBase();

    ServiceBase(const ServiceBase &) = delete;
    ServiceBase &operator=(const ServiceBase &) = delete;

    QString serviceName() const;
    QString serviceDescription() const;
    void setServiceDescription(const QString &description);
    StartupType startupType() const;
    void setStartupType(StartupType type);
    int serviceFlags() const;
    void setServiceFlags(int flags);
    QStringList arguments() const;

    // The one instance of the process, or nullptr.
    static ServiceBase *instance();

    // Why the start failed (see failStart); empty while it has not.
    QString startFailure() const;

    // One entry in the event log under the service name (Log::write, kept for the service's own calls).
    static void logEvent(const QString &message, LogType type, quint32 eventId = 0xC0000001u,
                         quint16 category = 0, const QByteArray &data = QByteArray());

protected:
    virtual void start() = 0;
    // For start, when the service cannot run; the reason is logged already. The run ends once start
    // returns, without stop: the process exits with exitCode (never 0), a service manager never hears
    // that the service runs and learns the code as the service's own exit code.
    void failStart(const QString &reason, int exitCode = 1);
    virtual void stop();
    virtual void pause();
    virtual void resume();
    virtual void runCommand(int code);
    virtual void makeApplication(int &argc, char **argv) = 0;
    virtual int runApplication() = 0;
    virtual void deleteApplication() = 0;
    virtual bool hasApplication() const = 0;

private:
    void removeArgument(int index);
    // The exit code failStart asked for, else 0.
    int startExitCode() const;

    friend class ServiceHost;
    friend class ServiceStarter;
    friend class ServicePlatform;
    friend class ServiceRunState;
    struct Private;
    std::unique_ptr<Private> m_d;
};

} // namespace NVL::Engineering::VK
