#include "ServiceBase.h"

#include "Log.h"

#include <QCoreApplication>
#include <QtGlobal>

#include <memory>

namespace NVL::Engineering::VK {

namespace {

ServiceBase *theInstance = nullptr;

constexpr int maximumNameLength = 255;

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

} // namespace

struct ServiceBase::Private
{
    explicit Private(const QString &serviceName)
        : name(serviceName)
    {
    }

    QString name;
    QString description;
    StartupType startupType = ManualStartup;
    int flags = 0;
    QStringList arguments;
    QString startFailure;
    int startExitCode = 0;
};

ServiceBase::ServiceBase(int argc, char **argv, const QString &name)
    : m_d(std::make_unique<Private>(checkedName(name)))
{
    for (int i = 0; i < argc; ++i)
        m_d->arguments.append(QString::fromLocal8Bit(argv[i]));
    theInstance = this;
    Log::setSource(m_d->name);
}

ServiceBase::~ServiceBase()
{
    if (theInstance == this) {
        theInstance = nullptr;
        Log::setSource(QString());
    }
}

QString ServiceBase::serviceName() const { return m_d->name; }
QString ServiceBase::serviceDescription() const { return m_d->description; }

void ServiceBase::setServiceDescription(const QString &description)
{
    m_d->description = description;
}

ServiceBase::StartupType ServiceBase::startupType() const { return m_d->startupType; }

void ServiceBase::setStartupType(StartupType type)
{
    m_d->startupType = type;
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

void ServiceBase::removeArgument(int index)
{
    m_d->arguments.removeAt(index);
}

int ServiceBase::startExitCode() const
{
    return m_d->startExitCode;
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
    Log::write(message, type, eventId, category, data);
}

void ServiceBase::stop() {}
void ServiceBase::pause() {}
void ServiceBase::resume() {}
void ServiceBase::runCommand(int) {}

} // namespace NVL::Engineering::VK
