#include "WindowsServicePlatform.h"

#include "HandlerThread.h"
#include "Log.h"
#include "ServiceAppEventFilter.h"
#include "ServiceManagerApi.h"
#include "ServiceRunState.h"
#include "StopPoll.h"
#include "SystemCalls.h"

#include <QAbstractEventDispatcher>

#include <atomic>
#include <memory>
#include <mutex>
#include <vector>

namespace NVL::Engineering::VK {

namespace {

const Win::WChar *wide(const QString &text)
{
    return reinterpret_cast<const Win::WChar *>(text.utf16());
}

const Win::WChar *wideOrNull(const QString &text)
{
    return text.isEmpty() ? nullptr : wide(text);
}

// The last failure of the binding on this thread, taken right after the failing call so that
// nothing in between can overwrite it.
thread_local std::uint32_t lastFailure = 0;

// What the callbacks of the dispatcher need. The dispatcher's entry points carry no context, so the
// run in progress is reached through one process-wide pointer.
struct ServiceRun
{
    ServiceRun(const ServiceManagerApi &serviceManager, ServiceBase &service)
        : api(serviceManager)
        , name(service.serviceName())
        , state(service, [this](const ServiceStatus &status) { publish(status); })
    {
    }

    void publish(const ServiceStatus &status)
    {
        const Win::StatusHandle handle = statusHandle.load();
        if (!handle)
            return;
        Win::ServiceStatusRecord record = status;
        api.setServiceStatus(handle, &record);
    }

    const ServiceManagerApi &api;
    const QString name;
    std::atomic<Win::StatusHandle> statusHandle{nullptr};
    std::atomic<bool> dispatcherFailed{false};
    std::atomic<bool> startedFromConsole{false};
    ServiceRunState state;
};

std::mutex currentRunMutex;
std::shared_ptr<ServiceRun> currentRun;

std::shared_ptr<ServiceRun> runInProgress()
{
    const std::lock_guard<std::mutex> lock(currentRunMutex);
    return currentRun;
}

void setRunInProgress(std::shared_ptr<ServiceRun> run)
{
    const std::lock_guard<std::mutex> lock(currentRunMutex);
    currentRun = std::move(run);
}

// Threads still blocked in the dispatcher when the run gave up on them; kept, not deleted, because a
// running thread cannot be destroyed.
std::vector<HandlerThread *> abandonedThreads;

void abandon(HandlerThread *thread)
{
    abandonedThreads.push_back(thread);
}

void VK_WINAPI controlHandler(Win::Dword code)
{
    if (const std::shared_ptr<ServiceRun> run = runInProgress())
        run->state.control(code);
}

void VK_WINAPI serviceMain(Win::Dword argc, Win::WChar **argv)
{
    const std::shared_ptr<ServiceRun> run = runInProgress();
    if (!run || !ServiceBase::instance())
        return;
    QStringList arguments;
    for (Win::Dword i = 0; i < argc; ++i)
        arguments.append(QString::fromUtf16(argv[i]));
    run->state.receiveArguments(arguments);
    run->state.waitForApplication();
    const Win::StatusHandle handle = run->api.registerServiceCtrlHandler(wide(run->name), &controlHandler);
    run->statusHandle = handle;
    if (handle)
        controlHandler(ControlInternalStart);
}

} // namespace

class WindowsServicePlatform::Handle
{
public:
    Handle(const ServiceManagerApi &api, Win::ScHandle handle)
        : m_api(api)
        , m_handle(handle)
    {
    }
    ~Handle()
    {
        if (m_handle)
            m_api.closeServiceHandle(m_handle);
    }
    Handle(const Handle &) = delete;
    Handle &operator=(const Handle &) = delete;

    Win::ScHandle get() const { return m_handle; }
    explicit operator bool() const { return m_handle != nullptr; }

private:
    const ServiceManagerApi &m_api;
    Win::ScHandle m_handle;
};

WindowsServicePlatform::WindowsServicePlatform(const ServiceManagerApi &api, int startWaitMs)
    : m_api(api)
    , m_startWaitMs(startWaitMs)
{
}

void WindowsServicePlatform::noteFailure() const
{
    lastFailure = SystemCalls::lastError();
}

QString WindowsServicePlatform::lastErrorText() const
{
    return lastFailure == 0 ? QString() : SystemCalls::errorText(lastFailure);
}

bool WindowsServicePlatform::install(const QString &name, const QString &description,
                                     ServiceBase::StartupType startupType, const QString &account,
                                     const QString &password)
{
    lastFailure = 0;
    const Handle manager(m_api, m_api.openSCManager(nullptr, nullptr, Win::ManagerAllAccess));
    if (!manager) {
        noteFailure();
        return false;
    }
    QString serviceAccount = account;
    if (!serviceAccount.isEmpty() && !serviceAccount.contains(QLatin1Char('\\')))
        serviceAccount.prepend(QStringLiteral(".\\"));
    // The built-in system account is chosen by passing no account at all.
    if (serviceAccount.endsWith(QLatin1String("\\LocalSystem")))
        serviceAccount.clear();
    const bool withAccount = !serviceAccount.isEmpty();
    const QString servicePassword = withAccount ? password : QString();
    const Win::Dword serviceType = withAccount ? Win::ServiceWin32OwnProcess
                                               : Win::ServiceWin32OwnProcess | Win::ServiceInteractiveProcess;
    const Win::Dword startType =
        startupType == ServiceBase::AutoStartup ? Win::ServiceAutoStart : Win::ServiceDemandStart;
    const QString programPath = SystemCalls::programFilePath();

    const Handle service(m_api, m_api.createService(manager.get(), wide(name), wide(name), Win::ServiceAllAccess,
                                                    serviceType, startType, Win::ServiceErrorNormal,
                                                    wide(programPath), nullptr, nullptr, nullptr,
                                                    wideOrNull(serviceAccount), wideOrNull(servicePassword)));
    if (!service) {
        noteFailure();
        return false;
    }
    if (!description.isEmpty()) {
        QString text = description;
        Win::ServiceDescription info{const_cast<Win::WChar *>(wide(text))};
        // The registration stands even if the description could not be stored.
        m_api.changeServiceConfig2(service.get(), Win::ServiceConfigDescription, &info);
    }
    return true;
}

bool WindowsServicePlatform::uninstall(const QString &name)
{
    lastFailure = 0;
    const Handle manager(m_api, m_api.openSCManager(nullptr, nullptr, Win::ManagerAllAccess));
    if (!manager) {
        noteFailure();
        return false;
    }
    const Handle service(m_api, m_api.openService(manager.get(), wide(name), Win::Delete));
    if (!service || !m_api.deleteService(service.get())) {
        noteFailure();
        return false;
    }
    return true;
}

bool WindowsServicePlatform::isInstalled(const QString &name)
{
    lastFailure = 0;
    const Handle manager(m_api, m_api.openSCManager(nullptr, nullptr, 0));
    if (!manager) {
        noteFailure();
        return false;
    }
    const Handle service(m_api, m_api.openService(manager.get(), wide(name), Win::ServiceQueryConfig));
    if (!service)
        noteFailure();
    return bool(service);
}

bool WindowsServicePlatform::isRunning(const QString &name)
{
    lastFailure = 0;
    const Handle manager(m_api, m_api.openSCManager(nullptr, nullptr, 0));
    if (!manager) {
        noteFailure();
        return false;
    }
    const Handle service(m_api, m_api.openService(manager.get(), wide(name), Win::ServiceQueryStatus));
    Win::ServiceStatusRecord status;
    if (!service || !m_api.queryServiceStatus(service.get(), &status)) {
        noteFailure();
        return false;
    }
    return status.currentState != ServiceStopped;
}

bool WindowsServicePlatform::startService(const QString &name, const QStringList &arguments)
{
    lastFailure = 0;
    const Handle manager(m_api, m_api.openSCManager(nullptr, nullptr, Win::ManagerConnect));
    if (!manager) {
        noteFailure();
        return false;
    }
    const Handle service(m_api, m_api.openService(manager.get(), wide(name), Win::ServiceStart));
    if (!service) {
        noteFailure();
        return false;
    }
    std::vector<const Win::WChar *> vector;
    vector.reserve(size_t(arguments.size()));
    for (const QString &argument : arguments)
        vector.push_back(wide(argument));
    if (!m_api.startService(service.get(), Win::Dword(vector.size()), vector.empty() ? nullptr : vector.data())) {
        noteFailure();
        return false;
    }
    return true;
}

bool WindowsServicePlatform::stopService(const QString &name)
{
    lastFailure = 0;
    const Handle manager(m_api, m_api.openSCManager(nullptr, nullptr, Win::ManagerConnect));
    if (!manager) {
        noteFailure();
        return false;
    }
    const Handle service(m_api, m_api.openService(manager.get(), wide(name),
                                                  Win::ServiceStop | Win::ServiceQueryStatus));
    if (!service) {
        noteFailure();
        return false;
    }
    Win::ServiceStatusRecord status;
    if (!m_api.controlService(service.get(), ControlStop, &status)) {
        noteFailure();
        const QString reason = lastErrorText();
        if (reason.isEmpty())
            qWarning("stopping");
        else
            qWarning("stopping [%s]", qPrintable(reason));
        return false;
    }
    const auto look = [this, &service, &status] {
        if (!m_api.queryServiceStatus(service.get(), &status)) {
            noteFailure();
            return StopPoll::LookFailed;
        }
        return status.currentState == ServiceStopped ? StopPoll::Stopped : StopPoll::StillRunning;
    };
    return StopPoll::watch(look, SystemCalls::sleepMilliseconds, true) == StopPoll::Stopped;
}

bool WindowsServicePlatform::control(const QString &name, std::uint32_t serviceAccess, std::uint32_t code)
{
    lastFailure = 0;
    const Handle manager(m_api, m_api.openSCManager(nullptr, nullptr, Win::ManagerConnect));
    if (!manager) {
        noteFailure();
        return false;
    }
    const Handle service(m_api, m_api.openService(manager.get(), wide(name), serviceAccess));
    Win::ServiceStatusRecord status;
    if (!service || !m_api.controlService(service.get(), code, &status)) {
        noteFailure();
        return false;
    }
    return true;
}

bool WindowsServicePlatform::pauseService(const QString &name)
{
    return control(name, Win::ServicePauseContinue, ControlPause);
}

bool WindowsServicePlatform::resumeService(const QString &name)
{
    return control(name, Win::ServicePauseContinue, ControlContinue);
}

bool WindowsServicePlatform::sendCommand(const QString &name, int code)
{
    if (code < 0 || code > 127)
        return false;
    return control(name, Win::ServiceUserDefinedControl, ControlUserFirst + std::uint32_t(code));
}

bool WindowsServicePlatform::runAsService(ServiceBase &service)
{
    auto run = std::make_shared<ServiceRun>(m_api, service);
    setRunInProgress(run);

    auto thread = std::make_unique<HandlerThread>([run] {
        std::u16string name = run->name.toStdU16String();
        const Win::ServiceTableEntry table[] = {{name.data(), &serviceMain}, {nullptr, nullptr}};
        if (run->api.startServiceCtrlDispatcher(table))
            return;
        const std::uint32_t error = SystemCalls::lastError();
        if (error == Win::ErrorFailedServiceControllerConnect) {
            run->startedFromConsole = true;
        } else {
            Log::write(QStringLiteral("The Service failed to start [%1]").arg(SystemCalls::errorText(error)),
                       LogType::Error, 0);
        }
        run->dispatcherFailed = true;
        run->state.releaseStart();
    });
    thread->start();

    if (!run->state.waitForStart(m_startWaitMs)) {
        setRunInProgress(nullptr);
        abandon(thread.release());
        return false;
    }

    if (run->dispatcherFailed) {
        thread->wait();
        thread.reset();
        setRunInProgress(nullptr);
        // Not started by the service manager: ask it to start the installed service instead.
        return run->startedFromConsole && startService(run->name, service.arguments().mid(1));
    }

    ServiceAppEventFilter filter;
    const bool ran = run->state.runApplication([&filter] {
        if (QAbstractEventDispatcher *dispatcher = QAbstractEventDispatcher::instance())
            dispatcher->installNativeEventFilter(&filter);
    });
    thread->wait(1000);
    run->state.endApplication();
    if (!thread->isFinished())
        abandon(thread.release());
    setRunInProgress(nullptr);
    return ran;
}

} // namespace NVL::Engineering::VK
