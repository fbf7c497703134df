#include "ServiceBase.h"

#include "ApplicationArguments.h"
#include "EventSink.h"
#include "ServiceController.h"
#include "ServicePlatform.h"
#include "ServiceStarter.h"
#ifdef Q_OS_UNIX
#include "StopSignalPipe.h"
#endif

#include <QCoreApplication>
#include <QSocketNotifier>
#include <QTimer>
#include <QtGlobal>

#include <cstdio>
#include <memory>

namespace NVL::Engineering::VK {

namespace {

ServiceBase *theInstance = nullptr;

constexpr int maximumNameLength = 255;

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

QString checkedName(QString name)
{
    if (name.size() > maximumNameLength) {
        qWarning("Service: 'name' is longer than 255 characters.");
        name.truncate(maximumNameLength);
    }
    if (name.contains(QLatin1Char('\\'))) {
        qWarning("Service: 'name' contains backslashes '\\'.");
        name.replace(QLatin1Char('\\'), QChar(0));
    }
    return name;
}

// A warning about a failed system request, with the system's reason where one is known.
void systemErrorWarning(const char *text)
{
    const QString reason = ServicePlatform::current().lastErrorText();
    if (reason.isEmpty())
        qWarning("%s", text);
    else
        qWarning("%s [%s]", text, qPrintable(reason));
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

struct ServiceBase::Private
{
    explicit Private(const QString &serviceName)
        : name(serviceName)
        , controller(serviceName)
    {
    }

    QString name;
    QString description;
    StartupType startupType = ManualStartup;
    int flags = 0;
    QStringList arguments;
    ServiceController controller;
    QString startFailure;
    int startExitCode = 0;
};

ServiceBase::ServiceBase(int argc, char **argv, const QString &name)
    : m_d(std::make_unique<Private>(checkedName(name)))
{
    for (int i = 0; i < argc; ++i)
        m_d->arguments.append(QString::fromLocal8Bit(argv[i]));
    theInstance = this;
}

ServiceBase::~ServiceBase()
{
    if (theInstance == this)
        theInstance = nullptr;
}

int ServiceBase::run()
{
    const QByteArray name = m_d->name.toLatin1();
    const QByteArray program = m_d->arguments.value(0).toLatin1();
    const QString option = m_d->arguments.value(1);
    const auto is = [&option](const char *shortForm, const char *longForm) {
        return option == QLatin1String(shortForm) || option == QLatin1String(longForm);
    };
    ServiceController &controller = m_d->controller;

    if (m_d->arguments.size() > 1) {
        if (is("-i", "-install")) {
            if (controller.isInstalled()) {
                std::fprintf(stderr, "The service %s is already installed\n", name.constData());
                return 0;
            }
            if (controller.install(m_d->arguments.value(2), m_d->arguments.value(3))) {
                std::printf("The service %s has been installed under: %s\n", name.constData(), program.constData());
                return 0;
            }
            std::fprintf(stderr, "The service %s could not be installed\n", name.constData());
            return -1;
        }
        if (is("-u", "-uninstall")) {
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
            m_d->arguments.removeAt(1);
            return runInProcess();
        }
        if (is("-t", "-terminate")) {
            if (!controller.stopService())
                systemErrorWarning("The service could not be stopped.");
            return 0;
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
            if (m_d->arguments.size() > 2) {
                bool ok = false;
                code = m_d->arguments.at(2).toInt(&ok);
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

    if (!ServicePlatform::current().runAsService(*this)) {
        // Most who see this started the program by hand: name the way to run it and the help.
        std::fprintf(stderr, "The service %s could not start\nUse -e to run it in the foreground, -h for every option.\n",
                     name.constData());
        return -4;
    }
    return m_d->startExitCode;
}

int ServiceBase::runInProcess()
{
    const EchoToStandardError echo;
    ApplicationArguments applicationArguments(m_d->arguments);
    makeApplication(applicationArguments.count(), applicationArguments.vector());
    if (!hasApplication()) {
        systemErrorWarning("The service could not be executed.");
        return -1;
    }
    int result = 0;
    {
        ServiceStarter starter(*this);
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
        result = runApplication();
    }
    deleteApplication();
    return result;
}

QString ServiceBase::serviceName() const { return m_d->name; }
QString ServiceBase::serviceDescription() const { return m_d->description; }

void ServiceBase::setServiceDescription(const QString &description)
{
    m_d->description = description;
    m_d->controller.setServiceDescription(description);
}

ServiceBase::StartupType ServiceBase::startupType() const { return m_d->startupType; }

void ServiceBase::setStartupType(StartupType type)
{
    m_d->startupType = type;
    m_d->controller.setStartupType(type);
}

int ServiceBase::serviceFlags() const { return m_d->flags; }
void ServiceBase::setServiceFlags(int flags) { m_d->flags = flags & (CanBeSuspended | CannotBeStopped | NeedsStopOnShutdown); }
QStringList ServiceBase::arguments() const { return m_d->arguments; }

ServiceBase *ServiceBase::instance()
{
    return theInstance;
}

QString ServiceBase::startFailure() const
{
    return m_d->startFailure;
}

void ServiceBase::failStart(const QString &reason, int exitCode)
{
    m_d->startFailure = reason.isEmpty() ? QStringLiteral("The service could not start") : reason;
    m_d->startExitCode = exitCode == 0 ? 1 : exitCode;
    QCoreApplication::exit(m_d->startExitCode);
}

void ServiceBase::logEvent(const QString &message, LogType type, quint32 eventId, quint16 category,
                           const QByteArray &data)
{
    const QString source = theInstance ? theInstance->serviceName() : QStringLiteral("Voltkeep");
    EventSink::current().writeEvent(source, message, type, eventId, category, data);
}

void ServiceBase::stop() {}
void ServiceBase::pause() {}
void ServiceBase::resume() {}
void ServiceBase::runCommand(int) {}

} // namespace NVL::Engineering::VK
