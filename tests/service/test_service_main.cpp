// A small service built on the host, started by tst_servicehost as a real process.
//
// Environment:
//   VK_TEST_SERVICE_NAME      service name instead of "Voltkeep"
//   VK_TEST_SERVICE_PLATFORM  folder of a recording stand-in for the service manager; without it the
//                             platform of the system is used (none on Linux)
#include "Service.h"
#include "ServicePlatform.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QThread>
#include <QTimer>

#include <cerrno>
#include <memory>

using namespace NVL::Engineering::VK;

namespace {

// Keeps the registration in marker files of a folder, so that a sequence of processes sees one
// service, and appends each request it carries out to calls.log.
class RecordingPlatform final : public ServicePlatform
{
public:
    explicit RecordingPlatform(const QString &folder)
        : m_folder(folder)
    {
    }

    bool install(const QString &name, const QString &description, ServiceBase::StartupType startupType,
                 const QString &account, const QString &password) override
    {
        record(QStringLiteral("install %1|%2|%3|%4|%5")
                   .arg(name, description,
                        startupType == ServiceBase::AutoStartup ? QStringLiteral("auto") : QStringLiteral("manual"),
                        account, password));
        return setMarker(QStringLiteral("installed"), true);
    }

    bool uninstall(const QString &name) override
    {
        if (marker(QStringLiteral("refuse-uninstall")))
            return fail(EPERM);
        record(QStringLiteral("uninstall ") + name);
        return setMarker(QStringLiteral("installed"), false);
    }

    bool isInstalled(const QString &) override { return marker(QStringLiteral("installed")); }
    bool isRunning(const QString &) override { return marker(QStringLiteral("running")); }

    bool startService(const QString &name, const QStringList &arguments) override
    {
        record(QStringLiteral("start %1|%2").arg(name, arguments.join(QLatin1Char(' '))));
        return true;
    }

    bool stopService(const QString &name) override
    {
        if (!marker(QStringLiteral("running")))
            return fail(ESRCH);
        record(QStringLiteral("stop ") + name);
        return setMarker(QStringLiteral("running"), false);
    }

    bool pauseService(const QString &name) override
    {
        record(QStringLiteral("pause ") + name);
        return true;
    }

    bool resumeService(const QString &name) override
    {
        record(QStringLiteral("resume ") + name);
        return true;
    }

    bool sendCommand(const QString &name, int code) override
    {
        record(QStringLiteral("command %1 %2").arg(name).arg(code));
        return true;
    }

    bool runAsService(ServiceBase &service) override
    {
        record(QStringLiteral("run %1|%2").arg(service.serviceName(), service.arguments().join(QLatin1Char(' '))));
        return marker(QStringLiteral("accept-service-run")) || fail(EPERM);
    }

private:
    QString path(const QString &file) const { return QDir(m_folder).filePath(file); }
    bool marker(const QString &file) const { return QFile::exists(path(file)); }

    bool setMarker(const QString &file, bool on) const
    {
        if (!on)
            return QFile::remove(path(file));
        QFile f(path(file));
        return f.open(QIODevice::WriteOnly);
    }

    static bool fail(int error)
    {
        errno = error;
        return false;
    }

    void record(const QString &line) const
    {
        QFile log(path(QStringLiteral("calls.log")));
        if (log.open(QIODevice::Append | QIODevice::Text))
            log.write(line.toUtf8() + '\n');
    }

    QString m_folder;
};

class TestService final : public Service<QCoreApplication>
{
public:
    TestService(int argc, char **argv, const QString &name)
        : Service<QCoreApplication>(argc, argv, name)
    {
        setServiceDescription(QStringLiteral("Test service description"));
    }

protected:
    void start() override
    {
        // Observed here, not assumed: start must come from inside the loop of the application made for it.
        const bool loopRunning = application() && QCoreApplication::instance() == application()
                                 && QThread::currentThread()->loopLevel() > 0;
        logEvent(QStringLiteral("test service started"), LogType::Information);
        logEvent(QStringLiteral("event loop running: %1").arg(loopRunning ? "yes" : "no"), LogType::Information);
        logEvent(QStringLiteral("application arguments: ") + QCoreApplication::arguments().join(QLatin1Char(' ')),
                 LogType::Information);
        QTimer::singleShot(20, application(), [] { QCoreApplication::exit(7); });
    }

    void stop() override { logEvent(QStringLiteral("test service stopped"), LogType::Information); }
};

} // namespace

int main(int argc, char **argv)
{
    const QString name = qEnvironmentVariableIsSet("VK_TEST_SERVICE_NAME")
                             ? qEnvironmentVariable("VK_TEST_SERVICE_NAME")
                             : QStringLiteral("Voltkeep");
    std::unique_ptr<RecordingPlatform> platform;
    if (qEnvironmentVariableIsSet("VK_TEST_SERVICE_PLATFORM")) {
        platform = std::make_unique<RecordingPlatform>(qEnvironmentVariable("VK_TEST_SERVICE_PLATFORM"));
        ServicePlatform::setCurrent(platform.get());
    }
    int code = 0;
    {
        TestService service(argc, argv, name);
        code = service.run();
    }
    ServicePlatform::setCurrent(nullptr);
    return code;
}
