// A stand-in for the Windows service manager and event log, built as "advapi32" for the tests.
// It exports the operations the service binding resolves, with Windows' signatures (declared here
// on their own, so a wrong signature on the binding's side shows), and simulates:
//  - a registry of services with configuration and state, kept in a JSON file so that a sequence
//    of processes (installer, service, remote control) sees one service manager;
//  - handles with access rights, the service manager's error codes and the last error;
//  - the dispatcher: in a process it started as a service it calls the service main function on a
//    thread of its own and takes control requests over a local socket, calling the registered
//    handler on the dispatcher's thread, one request at a time, only for accepted controls;
//  - the event log: every entry, and every published status, goes to a journal file.
#include "StandInFiles.h"
#include "StandInLock.h"

#include <QByteArray>
#include <QDateTime>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QMutex>
#include <QString>
#include <QStringList>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <fcntl.h>
#include <map>
#include <mutex>
#include <poll.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

extern char **environ;

namespace {

using DWORD = std::uint32_t;
using WORD = std::uint16_t;
using BOOL = int;
using WCHAR = char16_t;
using HANDLE = void *;

struct SERVICE_STATUS
{
    DWORD dwServiceType, dwCurrentState, dwControlsAccepted, dwWin32ExitCode, dwServiceSpecificExitCode,
        dwCheckPoint, dwWaitHint;
};
using LPSERVICE_MAIN_FUNCTIONW = void (*)(DWORD, WCHAR **);
using LPHANDLER_FUNCTION = void (*)(DWORD);
struct SERVICE_TABLE_ENTRYW
{
    WCHAR *lpServiceName;
    LPSERVICE_MAIN_FUNCTIONW lpServiceProc;
};
struct SERVICE_DESCRIPTIONW
{
    WCHAR *lpDescription;
};

constexpr DWORD errorAccessDenied = 5;
constexpr DWORD errorInvalidHandle = 6;
constexpr DWORD errorInvalidParameter = 87;
constexpr DWORD errorCallNotImplemented = 120;
constexpr DWORD errorInvalidName = 123;
constexpr DWORD errorInvalidServiceControl = 1052;
constexpr DWORD errorServiceAlreadyRunning = 1056;
constexpr DWORD errorServiceDoesNotExist = 1060;
constexpr DWORD errorServiceCannotAcceptControl = 1061;
constexpr DWORD errorServiceNotActive = 1062;
constexpr DWORD errorFailedServiceControllerConnect = 1063;
constexpr DWORD errorServiceExists = 1073;

// What a non-administrator is granted on the manager and on a service.
constexpr DWORD managerUserRights = 0x0001 | 0x0004 | 0x0010 | 0x20000;
constexpr DWORD serviceUserRights = 0x0001 | 0x0004 | 0x0008 | 0x0080 | 0x0100 | 0x20000;

thread_local DWORD lastError = 0;

BOOL fail(DWORD error)
{
    lastError = error;
    errno = int(error);
    return 0;
}

template <typename T>
T *failNull(DWORD error)
{
    fail(error);
    return nullptr;
}

QString text(const WCHAR *wide)
{
    return wide ? QString::fromUtf16(wide) : QString();
}

QString folder()
{
    return qEnvironmentVariable(VK_STANDIN_DIR_VARIABLE);
}

QString inFolder(const QString &file)
{
    return folder() + QLatin1Char('/') + file;
}

bool onMainThread()
{
    return gettid() == getpid();
}

void journal(const QStringList &fields)
{
    if (folder().isEmpty())
        return;
    const QByteArray line = fields.join(QLatin1Char('\t')).toUtf8() + '\n';
    const int fd = ::open(QFile::encodeName(inFolder(QStringLiteral(VK_STANDIN_JOURNAL_FILE))).constData(),
                          O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0)
        return;
    // One write per line: appends of whole lines from several threads and processes stay whole.
    [[maybe_unused]] const ssize_t written = ::write(fd, line.constData(), size_t(line.size()));
    ::close(fd);
}

// The registry file, read and written under the stand-in's lock.
class Registry
{
public:
    Registry()
    {
        QFile file(inFolder(QStringLiteral(VK_STANDIN_REGISTRY_FILE)));
        if (file.open(QIODevice::ReadOnly))
            root = QJsonDocument::fromJson(file.readAll()).object();
    }
    ~Registry()
    {
        if (m_dirty) {
            QFile file(inFolder(QStringLiteral(VK_STANDIN_REGISTRY_FILE)));
            if (file.open(QIODevice::WriteOnly | QIODevice::Truncate))
                file.write(QJsonDocument(root).toJson());
        }
    }
    Registry(const Registry &) = delete;
    Registry &operator=(const Registry &) = delete;

    bool admin() const { return root.value(QStringLiteral("admin")).toBool(true); }
    bool has(const QString &name) const { return services().contains(name); }
    QJsonObject service(const QString &name) const { return services().value(name).toObject(); }
    void setService(const QString &name, const QJsonObject &entry)
    {
        QJsonObject all = services();
        all.insert(name, entry);
        root.insert(QStringLiteral("services"), all);
        m_dirty = true;
    }
    void removeService(const QString &name)
    {
        QJsonObject all = services();
        all.remove(name);
        root.insert(QStringLiteral("services"), all);
        m_dirty = true;
    }

    QJsonObject root;

private:
    QJsonObject services() const { return root.value(QStringLiteral("services")).toObject(); }

    StandInLock m_lock{folder()};
    bool m_dirty = false;
};

enum class Kind { Manager, Service, Status, EventSource };

struct HandleInfo
{
    Kind kind;
    DWORD access;
    QString name;
};

std::mutex handleMutex;
std::map<std::uintptr_t, HandleInfo> handles;
std::uintptr_t nextHandle = 0x1000;

HANDLE newHandle(Kind kind, DWORD access, const QString &name)
{
    const std::lock_guard<std::mutex> lock(handleMutex);
    nextHandle += 8;
    handles[nextHandle] = {kind, access, name};
    return reinterpret_cast<HANDLE>(nextHandle);
}

bool lookUp(HANDLE handle, Kind kind, HandleInfo &info)
{
    const std::lock_guard<std::mutex> lock(handleMutex);
    const auto it = handles.find(reinterpret_cast<std::uintptr_t>(handle));
    if (it == handles.end() || it->second.kind != kind)
        return false;
    info = it->second;
    return true;
}

bool closeHandle(HANDLE handle, Kind kind)
{
    const std::lock_guard<std::mutex> lock(handleMutex);
    const auto it = handles.find(reinterpret_cast<std::uintptr_t>(handle));
    if (it == handles.end() || it->second.kind != kind)
        return false;
    handles.erase(it);
    return true;
}

SERVICE_STATUS statusOf(const QJsonObject &entry)
{
    SERVICE_STATUS status{};
    status.dwServiceType = DWORD(entry.value(QStringLiteral("type")).toInteger());
    status.dwCurrentState = DWORD(entry.value(QStringLiteral("state")).toInteger(1));
    status.dwControlsAccepted = DWORD(entry.value(QStringLiteral("controls")).toInteger());
    status.dwWin32ExitCode = DWORD(entry.value(QStringLiteral("exitCode")).toInteger());
    return status;
}

QString controlSocketPath(const QString &name)
{
    return inFolder(name + QStringLiteral(VK_STANDIN_CONTROL_SUFFIX));
}

bool fillAddress(const QString &name, sockaddr_un &address)
{
    const QByteArray path = QFile::encodeName(controlSocketPath(name));
    std::memset(&address, 0, sizeof address);
    address.sun_family = AF_UNIX;
    if (size_t(path.size()) >= sizeof address.sun_path)
        return false;
    std::memcpy(address.sun_path, path.constData(), size_t(path.size()));
    return true;
}

bool readAll(int fd, void *buffer, size_t size)
{
    auto *bytes = static_cast<char *>(buffer);
    while (size > 0) {
        const ssize_t n = ::read(fd, bytes, size);
        if (n <= 0)
            return false;
        bytes += n;
        size -= size_t(n);
    }
    return true;
}

bool writeAll(int fd, const void *buffer, size_t size)
{
    const auto *bytes = static_cast<const char *>(buffer);
    while (size > 0) {
        const ssize_t n = ::write(fd, bytes, size);
        if (n <= 0)
            return false;
        bytes += n;
        size -= size_t(n);
    }
    return true;
}

struct ControlReply
{
    DWORD error;
    SERVICE_STATUS status;
};

// Hands a control code to the dispatcher of the running service; false if no dispatcher listens.
bool deliver(const QString &name, DWORD code, ControlReply &reply)
{
    sockaddr_un address;
    if (!fillAddress(name, address))
        return false;
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return false;
    bool delivered = ::connect(fd, reinterpret_cast<const sockaddr *>(&address), sizeof address) == 0
                     && writeAll(fd, &code, sizeof code) && readAll(fd, &reply, sizeof reply);
    ::close(fd);
    return delivered;
}

DWORD accessForControl(DWORD code)
{
    switch (code) {
    case 1: return 0x0020;
    case 2:
    case 3: return 0x0040;
    case 4: return 0x0080;
    default: return code >= 128 && code <= 255 ? 0x0100 : 0;
    }
}

// Runs the installed program as a service process, as the service manager would.
void spawnService(const QString &name, const QJsonObject &entry, const QStringList &arguments)
{
    const QByteArray program = QFile::encodeName(entry.value(QStringLiteral("path")).toString());
    std::vector<QByteArray> environment;
    for (char **variable = environ; *variable; ++variable) {
        const QByteArray line(*variable);
        if (!line.startsWith(VK_STANDIN_SERVICE_VARIABLE "=") && !line.startsWith(VK_STANDIN_ARGUMENTS_VARIABLE "="))
            environment.push_back(line);
    }
    environment.push_back(QByteArray(VK_STANDIN_SERVICE_VARIABLE "=") + name.toUtf8());
    environment.push_back(QByteArray(VK_STANDIN_ARGUMENTS_VARIABLE "=")
                          + QJsonDocument(QJsonArray::fromStringList(arguments)).toJson(QJsonDocument::Compact));
    std::vector<char *> envp;
    for (QByteArray &line : environment)
        envp.push_back(line.data());
    envp.push_back(nullptr);
    QByteArray programCopy = program;
    char *argv[] = {programCopy.data(), nullptr};

    const QByteArray output = QFile::encodeName(inFolder(name + QStringLiteral(VK_STANDIN_OUTPUT_SUFFIX)));
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, output.constData(), O_WRONLY | O_CREAT | O_APPEND, 0644);
    posix_spawn_file_actions_adddup2(&actions, 1, 2);
    pid_t pid = 0;
    const int result = posix_spawn(&pid, program.constData(), &actions, nullptr, argv, envp.data());
    posix_spawn_file_actions_destroy(&actions);
    if (result != 0)
        return;
    // Reaped here, so that a finished service does not linger as a zombie of this process.
    std::thread([pid] {
        int status = 0;
        ::waitpid(pid, &status, 0);
    }).detach();
}

// The dispatcher of this process, while StartServiceCtrlDispatcherW runs.
struct Dispatcher
{
    std::mutex mutex;
    QString name;
    LPHANDLER_FUNCTION handler = nullptr;
    HANDLE statusHandle = nullptr;
    SERVICE_STATUS status{};
    bool stopped = false;
};

Dispatcher dispatcher;

// The dispatcher's answer to one control request, as the service manager decides it.
ControlReply handleRequest(DWORD code)
{
    LPHANDLER_FUNCTION handler;
    SERVICE_STATUS status;
    QString name;
    {
        const std::lock_guard<std::mutex> lock(dispatcher.mutex);
        handler = dispatcher.handler;
        status = dispatcher.status;
        name = dispatcher.name;
    }
    ControlReply reply{0, status};
    const DWORD state = status.dwCurrentState;
    const DWORD accepted = status.dwControlsAccepted;
    bool acceptable = false;
    if (code == 4)
        acceptable = true;
    else if (!handler || state == 1 || state == 2 || state == 3) {
        reply.error = errorServiceCannotAcceptControl;
        return reply;
    } else if (code == 1)
        acceptable = accepted & 0x1;
    else if (code == 2 || code == 3)
        acceptable = accepted & 0x2;
    else if (code == 5)
        acceptable = accepted & 0x4;
    else if (code >= 128 && code <= 255)
        acceptable = true;
    if (!acceptable || !handler) {
        reply.error = handler ? errorInvalidServiceControl : errorServiceCannotAcceptControl;
        return reply;
    }
    journal({QStringLiteral("control-begin"), name, QString::number(code)});
    handler(code);
    journal({QStringLiteral("control-end"), name, QString::number(code)});
    const std::lock_guard<std::mutex> lock(dispatcher.mutex);
    reply.status = dispatcher.status;
    return reply;
}

} // namespace

extern "C" {

DWORD GetLastError()
{
    return lastError;
}

HANDLE OpenSCManagerW(const WCHAR *machine, const WCHAR *database, DWORD access)
{
    if (folder().isEmpty())
        return failNull<void>(errorAccessDenied);
    if (!text(machine).isEmpty() || !text(database).isEmpty())
        return failNull<void>(errorInvalidParameter);
    const Registry registry;
    if (!registry.admin() && (access & ~managerUserRights))
        return failNull<void>(errorAccessDenied);
    // Connecting is implied in every opening.
    return newHandle(Kind::Manager, access | 0x0001, QString());
}

HANDLE OpenServiceW(HANDLE manager, const WCHAR *name, DWORD access)
{
    HandleInfo info;
    if (!lookUp(manager, Kind::Manager, info))
        return failNull<void>(errorInvalidHandle);
    const QString service = text(name);
    if (service.isEmpty())
        return failNull<void>(errorInvalidName);
    const Registry registry;
    if (!registry.has(service))
        return failNull<void>(errorServiceDoesNotExist);
    if (!registry.admin() && (access & ~serviceUserRights))
        return failNull<void>(errorAccessDenied);
    return newHandle(Kind::Service, access, service);
}

HANDLE CreateServiceW(HANDLE manager, const WCHAR *name, const WCHAR *displayName, DWORD access, DWORD serviceType,
                      DWORD startType, DWORD errorControl, const WCHAR *binaryPath, const WCHAR *loadOrderGroup,
                      DWORD *tagId, const WCHAR *dependencies, const WCHAR *account, const WCHAR *password)
{
    HandleInfo info;
    if (!lookUp(manager, Kind::Manager, info))
        return failNull<void>(errorInvalidHandle);
    if (!(info.access & 0x0002))
        return failNull<void>(errorAccessDenied);
    const QString service = text(name);
    if (service.isEmpty() || service.contains(QLatin1Char('\\')))
        return failNull<void>(errorInvalidName);
    const bool interactive = serviceType & 0x100;
    if ((serviceType & ~0x100u) != 0x10 || startType > 4 || errorControl > 3 || text(binaryPath).isEmpty()
        || (interactive && account) || tagId || text(loadOrderGroup).size() || text(dependencies).size())
        return failNull<void>(errorInvalidParameter);
    Registry registry;
    if (registry.has(service))
        return failNull<void>(errorServiceExists);
    QJsonObject entry{{QStringLiteral("displayName"), text(displayName)},
                      {QStringLiteral("type"), qint64(serviceType)},
                      {QStringLiteral("start"), qint64(startType)},
                      {QStringLiteral("errorControl"), qint64(errorControl)},
                      {QStringLiteral("path"), text(binaryPath)},
                      {QStringLiteral("account"), text(account)},
                      {QStringLiteral("description"), QString()},
                      {QStringLiteral("state"), 1},
                      {QStringLiteral("controls"), 0},
                      {QStringLiteral("exitCode"), 0}};
    if (password)
        entry.insert(QStringLiteral("password"), text(password));
    registry.setService(service, entry);
    return newHandle(Kind::Service, access, service);
}

BOOL ChangeServiceConfig2W(HANDLE service, DWORD infoLevel, void *info)
{
    HandleInfo handle;
    if (!lookUp(service, Kind::Service, handle))
        return fail(errorInvalidHandle);
    if (!(handle.access & 0x0002))
        return fail(errorAccessDenied);
    if (infoLevel != 1 || !info)
        return fail(errorInvalidParameter);
    Registry registry;
    if (!registry.has(handle.name))
        return fail(errorServiceDoesNotExist);
    QJsonObject entry = registry.service(handle.name);
    const WCHAR *description = static_cast<SERVICE_DESCRIPTIONW *>(info)->lpDescription;
    if (description)
        entry.insert(QStringLiteral("description"), text(description));
    registry.setService(handle.name, entry);
    return 1;
}

BOOL DeleteService(HANDLE service)
{
    HandleInfo handle;
    if (!lookUp(service, Kind::Service, handle))
        return fail(errorInvalidHandle);
    if (!(handle.access & 0x10000))
        return fail(errorAccessDenied);
    Registry registry;
    if (!registry.has(handle.name))
        return fail(errorServiceDoesNotExist);
    registry.removeService(handle.name);
    return 1;
}

BOOL CloseServiceHandle(HANDLE handle)
{
    if (closeHandle(handle, Kind::Service) || closeHandle(handle, Kind::Manager))
        return 1;
    return fail(errorInvalidHandle);
}

BOOL StartServiceW(HANDLE service, DWORD argc, const WCHAR **argv)
{
    HandleInfo handle;
    if (!lookUp(service, Kind::Service, handle))
        return fail(errorInvalidHandle);
    if (!(handle.access & 0x0010))
        return fail(errorAccessDenied);
    if (argc > 0 && !argv)
        return fail(errorInvalidParameter);
    QStringList arguments;
    for (DWORD i = 0; i < argc; ++i)
        arguments.append(text(argv[i]));
    Registry registry;
    if (!registry.has(handle.name))
        return fail(errorServiceDoesNotExist);
    QJsonObject entry = registry.service(handle.name);
    if (entry.value(QStringLiteral("state")).toInt(1) != 1)
        return fail(errorServiceAlreadyRunning);
    journal(QStringList{QStringLiteral("start-request"), handle.name} + arguments);
    entry.insert(QStringLiteral("state"), 2);
    registry.setService(handle.name, entry);
    if (entry.value(QStringLiteral("spawn")).toBool(true))
        spawnService(handle.name, entry, arguments);
    return 1;
}

BOOL ControlService(HANDLE service, DWORD control, SERVICE_STATUS *status)
{
    HandleInfo handle;
    if (!lookUp(service, Kind::Service, handle))
        return fail(errorInvalidHandle);
    const DWORD needed = accessForControl(control);
    if (!needed || !status)
        return fail(errorInvalidParameter);
    if (!(handle.access & needed))
        return fail(errorAccessDenied);
    QJsonObject entry;
    {
        const Registry registry;
        if (!registry.has(handle.name))
            return fail(errorServiceDoesNotExist);
        entry = registry.service(handle.name);
    }
    if (entry.value(QStringLiteral("state")).toInt(1) == 1) {
        journal({QStringLiteral("control"), handle.name, QString::number(control),
                 QString::number(errorServiceNotActive)});
        return fail(errorServiceNotActive);
    }
    ControlReply reply{};
    if (!deliver(handle.name, control, reply)) {
        // A service without a process of its own: the registry plays it.
        Registry registry;
        entry = registry.service(handle.name);
        reply.status = statusOf(entry);
        if (entry.value(QStringLiteral("refuseControls")).toBool()) {
            reply.error = errorInvalidServiceControl;
        } else if (control == 1) {
            const bool immediately = entry.value(QStringLiteral("stopAfterQueries")).toInt(-1) == 0;
            entry.insert(QStringLiteral("state"), immediately ? 1 : 3);
            registry.setService(handle.name, entry);
            reply.status = statusOf(entry);
        }
    }
    journal({QStringLiteral("control"), handle.name, QString::number(control), QString::number(reply.error)});
    *status = reply.status;
    if (reply.error)
        return fail(reply.error);
    return 1;
}

BOOL QueryServiceStatus(HANDLE service, SERVICE_STATUS *status)
{
    HandleInfo handle;
    if (!lookUp(service, Kind::Service, handle))
        return fail(errorInvalidHandle);
    if (!(handle.access & 0x0004))
        return fail(errorAccessDenied);
    if (!status)
        return fail(errorInvalidParameter);
    Registry registry;
    if (!registry.has(handle.name))
        return fail(errorServiceDoesNotExist);
    QJsonObject entry = registry.service(handle.name);
    const int remaining = entry.value(QStringLiteral("stopAfterQueries")).toInt(-1);
    if (entry.value(QStringLiteral("state")).toInt() == 3 && remaining > 0) {
        entry.insert(QStringLiteral("stopAfterQueries"), remaining - 1);
        if (remaining == 1)
            entry.insert(QStringLiteral("state"), 1);
        registry.setService(handle.name, entry);
    }
    *status = statusOf(entry);
    journal({QStringLiteral("query"), handle.name, QString::number(QDateTime::currentMSecsSinceEpoch()),
             QString::number(status->dwCurrentState)});
    return 1;
}

BOOL StartServiceCtrlDispatcherW(const SERVICE_TABLE_ENTRYW *table)
{
    if (!table || !table[0].lpServiceName || !table[0].lpServiceProc)
        return fail(errorInvalidParameter);
    int silentMs = 0;
    {
        const Registry registry;
        if (const DWORD error = DWORD(registry.root.value(QStringLiteral("dispatcherError")).toInteger()))
            return fail(error);
        silentMs = registry.root.value(QStringLiteral("dispatcherSilentMs")).toInt();
    }
    const QString name = text(table[0].lpServiceName);
    // Only a process that the service manager started can connect to it.
    if (qEnvironmentVariable(VK_STANDIN_SERVICE_VARIABLE) != name)
        return fail(errorFailedServiceControllerConnect);
    if (silentMs > 0) {
        std::this_thread::sleep_for(std::chrono::milliseconds(silentMs));
        return fail(errorFailedServiceControllerConnect);
    }

    sockaddr_un address;
    if (!fillAddress(name, address))
        return fail(errorInvalidParameter);
    ::unlink(address.sun_path);
    const int listener = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (listener < 0 || ::bind(listener, reinterpret_cast<const sockaddr *>(&address), sizeof address) != 0
        || ::listen(listener, 8) != 0) {
        if (listener >= 0)
            ::close(listener);
        return fail(errorInvalidParameter);
    }
    {
        const std::lock_guard<std::mutex> lock(dispatcher.mutex);
        dispatcher.name = name;
        dispatcher.handler = nullptr;
        dispatcher.statusHandle = nullptr;
        dispatcher.status = SERVICE_STATUS{};
        dispatcher.stopped = false;
    }

    // The service main function gets the service name and the start arguments.
    QStringList arguments{name};
    const QJsonArray started =
        QJsonDocument::fromJson(qgetenv(VK_STANDIN_ARGUMENTS_VARIABLE)).array();
    for (const QJsonValue &value : started)
        arguments.append(value.toString());
    journal(QStringList{QStringLiteral("service-main"), name} + arguments.mid(1));
    std::thread serviceMain([proc = table[0].lpServiceProc, arguments] {
        std::vector<std::u16string> storage;
        for (const QString &argument : arguments)
            storage.push_back(argument.toStdU16String());
        std::vector<WCHAR *> argv;
        for (std::u16string &argument : storage)
            argv.push_back(argument.data());
        argv.push_back(nullptr);
        proc(DWORD(storage.size()), argv.data());
    });

    for (;;) {
        {
            const std::lock_guard<std::mutex> lock(dispatcher.mutex);
            if (dispatcher.stopped)
                break;
        }
        pollfd waiting{listener, POLLIN, 0};
        if (::poll(&waiting, 1, 50) <= 0)
            continue;
        const int connection = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
        if (connection < 0)
            continue;
        DWORD code = 0;
        if (readAll(connection, &code, sizeof code)) {
            const ControlReply reply = handleRequest(code);
            writeAll(connection, &reply, sizeof reply);
        }
        ::close(connection);
    }
    serviceMain.join();
    ::close(listener);
    ::unlink(address.sun_path);
    const std::lock_guard<std::mutex> lock(dispatcher.mutex);
    dispatcher.handler = nullptr;
    return 1;
}

HANDLE RegisterServiceCtrlHandlerW(const WCHAR *name, LPHANDLER_FUNCTION handler)
{
    const std::lock_guard<std::mutex> lock(dispatcher.mutex);
    if (dispatcher.name.isEmpty() || text(name) != dispatcher.name)
        return failNull<void>(errorServiceDoesNotExist);
    if (!handler)
        return failNull<void>(errorInvalidParameter);
    dispatcher.handler = handler;
    dispatcher.statusHandle = newHandle(Kind::Status, 0, dispatcher.name);
    return dispatcher.statusHandle;
}

BOOL SetServiceStatus(HANDLE statusHandle, SERVICE_STATUS *status)
{
    HandleInfo handle;
    if (!lookUp(statusHandle, Kind::Status, handle))
        return fail(errorInvalidHandle);
    if (!status || status->dwCurrentState < 1 || status->dwCurrentState > 7)
        return fail(errorInvalidParameter);
    journal({QStringLiteral("status"), handle.name, QString::number(status->dwServiceType),
             QString::number(status->dwCurrentState), QString::number(status->dwControlsAccepted),
             QString::number(status->dwWin32ExitCode), QString::number(status->dwServiceSpecificExitCode),
             QString::number(status->dwCheckPoint), QString::number(status->dwWaitHint)});
    {
        Registry registry;
        if (registry.has(handle.name)) {
            QJsonObject entry = registry.service(handle.name);
            entry.insert(QStringLiteral("state"), qint64(status->dwCurrentState));
            entry.insert(QStringLiteral("controls"), qint64(status->dwControlsAccepted));
            entry.insert(QStringLiteral("exitCode"), qint64(status->dwWin32ExitCode));
            entry.insert(QStringLiteral("pid"), qint64(getpid()));
            registry.setService(handle.name, entry);
        }
    }
    const std::lock_guard<std::mutex> lock(dispatcher.mutex);
    dispatcher.status = *status;
    if (status->dwCurrentState == 1)
        dispatcher.stopped = true;
    return 1;
}

HANDLE RegisterEventSourceW(const WCHAR *server, const WCHAR *source)
{
    if (!text(server).isEmpty())
        return failNull<void>(errorInvalidParameter);
    const QString name = text(source);
    if (name.isEmpty())
        return failNull<void>(errorInvalidParameter);
    return newHandle(Kind::EventSource, 0, name);
}

BOOL ReportEventW(HANDLE source, WORD type, WORD category, DWORD eventId, void *userSid, WORD stringCount,
                  DWORD dataSize, const WCHAR **strings, void *data)
{
    HandleInfo handle;
    if (!lookUp(source, Kind::EventSource, handle))
        return fail(errorInvalidHandle);
    if ((type != 0 && type != 1 && type != 2 && type != 4 && type != 8 && type != 16)
        || (stringCount > 0 && !strings) || (dataSize > 0 && !data))
        return fail(errorInvalidParameter);
    QStringList fields{QStringLiteral("event"), handle.name, QString::number(type), QString::number(category),
                       QString::number(eventId, 16), QString::number(stringCount),
                       QString::fromLatin1(QByteArray(static_cast<const char *>(data), int(dataSize)).toHex()),
                       onMainThread() ? QStringLiteral("1") : QStringLiteral("0")};
    for (WORD i = 0; i < stringCount; ++i)
        fields.append(QString::fromLatin1(text(strings[i]).toUtf8().toPercentEncoding()));
    Q_UNUSED(userSid);
    journal(fields);
    return 1;
}

BOOL DeregisterEventSource(HANDLE source)
{
    return closeHandle(source, Kind::EventSource) ? 1 : fail(errorInvalidHandle);
}

BOOL QueryServiceConfigW(HANDLE, void *, DWORD, DWORD *)
{
    return fail(errorCallNotImplemented);
}

BOOL QueryServiceConfig2W(HANDLE, DWORD, std::uint8_t *, DWORD, DWORD *)
{
    return fail(errorCallNotImplemented);
}

// For the tests: delivers a control code to the running service as the service manager would,
// without handles. Answers 0 once the service's handler returned, else the service manager's
// error (1062 when no dispatcher of that service runs).
DWORD VkStandInDeliverControl(const WCHAR *name, DWORD code)
{
    ControlReply reply{};
    if (!deliver(text(name), code, reply))
        return errorServiceNotActive;
    return reply.error;
}

// For the tests: the handles of this process that are still open.
DWORD VkStandInOpenHandleCount()
{
    const std::lock_guard<std::mutex> lock(handleMutex);
    return DWORD(handles.size());
}

} // extern "C"
