#include "ServiceHost.h"

#include "ApplicationArguments.h"
#include "EventSink.h"
#include "ServiceBase.h"
#include "ServiceController.h"
#include "ServicePlatform.h"
#include "ServiceStarter.h"
#include "SystemEventLog.h"
#ifdef Q_OS_UNIX
#include "StopSignalPipe.h"
#endif

#include <QCoreApplication>
#include <QSocketNotifier>
#include <QTimer>

#include <cstdio>
#include <memory>

namespace NVL::Engineering::VK {

namespace {

const char usageText[] =
    "\n%s -[i|u|e|t|p|r|c|v|h]\n"
    "\t-i(nstall) [account] [password]\t: Install the service, optionally using given account and password\n"
    "\t-u(ninstall)\t: Uninstall the service.\n"
    "\t-e(xec)\t\t: Run as a regular application. Useful for debugging.\n"
    "\t-t(erminate)\t: Stop the service.\n"
    "\t-p(ause)\t: Pause the service.\n"
    "\t-r(esume)\t: Resume a paused service.\n"
    "\t-c(ommand) num\t: Send command code num to the service.\n"
    "\t-v(ersion)\t: Print version and status information.\n"
    "\t-h(elp)   \t: Show this help\n"
    "\tNo arguments\t: Start the service.\n";

// A warning about a failed system request, with the system's reason where one is known.
void systemErrorWarning(const char *text)
{
    const QString reason = ServicePlatform::current().lastErrorText();
    if (reason.isEmpty())
        qWarning("%s", text);
    else
        qWarning("%s [%s]", text, qPrintable(reason));
}

// A service that another installer put there is theirs to change: says who, and how to remove it.
bool refusedAsForeign(const ServiceController &controller, const QByteArray &name)
{
    const QString installer = controller.foreignInstallation();
    if (installer.isEmpty())
        return false;
    std::fprintf(stderr, "The service %s is %s\n", name.constData(), qPrintable(installer));
    return true;
}

// Switches the echo of log entries to standard error on for one scope.
class EchoToStandardError
{
public:
    EchoToStandardError()
        : m_previous(EventSink::echoToStandardError())
    {
        EventSink::setEchoToStandardError(true);
    }
    ~EchoToStandardError() { EventSink::setEchoToStandardError(m_previous); }

    EchoToStandardError(const EchoToStandardError &) = delete;
    EchoToStandardError &operator=(const EchoToStandardError &) = delete;

private:
    bool m_previous;
};

} // namespace

ServiceHost::ServiceHost(ServiceBase &service)
    : m_service(service)
{
}

int ServiceHost::run()
{
    // Whatever the command line asks for may log, and its entries belong in the system's log.
    SystemEventLog::install();
    const QStringList arguments = m_service.arguments();
    const QByteArray name = m_service.serviceName().toLatin1();
    const QByteArray program = arguments.value(0).toLatin1();
    const QString option = arguments.value(1);
    const auto is = [&option](const char *shortForm, const char *longForm) {
        return option == QLatin1String(shortForm) || option == QLatin1String(longForm);
    };
    ServiceController controller(m_service.serviceName());
    controller.setServiceDescription(m_service.serviceDescription());
    controller.setStartupType(m_service.startupType());

    if (arguments.size() > 1) {
        if (is("-i", "-install")) {
            if (refusedAsForeign(controller, name))
                return 0;
            if (controller.isInstalled()) {
                std::fprintf(stderr, "The service %s is already installed\n", name.constData());
                return 0;
            }
            if (controller.install(arguments.value(2), arguments.value(3))) {
                std::printf("The service %s has been installed under: %s\n", name.constData(), program.constData());
                return 0;
            }
            std::fprintf(stderr, "The service %s could not be installed\n", name.constData());
            return -1;
        }
        if (is("-u", "-uninstall")) {
            if (refusedAsForeign(controller, name))
                return -1;
            if (!controller.isInstalled()) {
                std::fprintf(stderr, "The service %s is not installed\n", name.constData());
                return 0;
            }
            if (controller.uninstall()) {
                std::printf("The service %s has been uninstalled.\n", name.constData());
                return 0;
            }
            std::fprintf(stderr, "The service %s could not be uninstalled\n", name.constData());
            return -1;
        }
        if (is("-v", "-version")) {
            std::printf("The service\n\t%s\n\t%s\n\n", name.constData(), program.constData());
            std::printf("is %s", controller.isInstalled() ? "installed" : "not installed");
            std::printf(" and %s\n\n", controller.isRunning() ? "running" : "not running");
            return 0;
        }
        if (is("-e", "-exec")) {
            m_service.removeArgument(1);
            return runInProcess();
        }
        if (is("-t", "-terminate")) {
            if (controller.stopService())
                return 0;
            systemErrorWarning("The service could not be stopped.");
            return -1;
        }
        if (is("-p", "-pause")) {
            controller.pauseService();
            return 0;
        }
        if (is("-r", "-resume")) {
            controller.resumeService();
            return 0;
        }
        if (is("-c", "-command")) {
            int code = 0;
            if (arguments.size() > 2) {
                bool ok = false;
                code = arguments.at(2).toInt(&ok);
                // A number that does not read as one must not turn into user command 0.
                if (!ok)
                    return 0;
            }
            controller.sendCommand(code);
            return 0;
        }
        if (is("-h", "-help")) {
            std::printf(usageText, program.constData());
            return 0;
        }
    }

    if (!ServicePlatform::current().runAsService(m_service)) {
        // Most who see this started the program by hand: name the way to run it and the help.
        std::fprintf(stderr, "The service %s could not start\nUse -e to run it in the foreground, -h for every option.\n",
                     name.constData());
        return -4;
    }
    return m_service.startExitCode();
}

int ServiceHost::runInProcess()
{
    const EchoToStandardError echo;
    ApplicationArguments applicationArguments(m_service.arguments());
    m_service.makeApplication(applicationArguments.count(), applicationArguments.vector());
    if (!m_service.hasApplication()) {
        systemErrorWarning("The service could not be executed.");
        return -1;
    }
    int result = 0;
    {
        ServiceStarter starter(m_service);
#ifdef Q_OS_UNIX
        // Ctrl+C and SIGTERM end the run as a service manager's stop request would.
        StopSignalPipe stopSignals;
        std::unique_ptr<QSocketNotifier> stopNotifier;
        if (stopSignals.isValid()) {
            stopNotifier = std::make_unique<QSocketNotifier>(stopSignals.descriptor(), QSocketNotifier::Read);
            QObject::connect(stopNotifier.get(), &QSocketNotifier::activated, &starter,
                             [&stopSignals, &stopNotifier, &starter] {
                                 stopNotifier->setEnabled(false);
                                 stopSignals.wait();
                                 starter.slotStop();
                             });
        }
#endif
        QTimer::singleShot(0, &starter, &ServiceStarter::slotStart);
        result = m_service.runApplication();
    }
    m_service.deleteApplication();
    return result;
}

} // namespace NVL::Engineering::VK
