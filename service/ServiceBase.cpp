#include "ServiceBase.h"

#include "EventSink.h"

#include <QtGlobal>

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
    QString name;
    QString description;
    StartupType startupType = ManualStartup;
    int flags = 0;
    QStringList arguments;
};

ServiceBase::ServiceBase(int argc, char **argv, const QString &name)
    : d(std::make_unique<Private>())
{
    d->name = checkedName(name);
    for (int i = 0; i < argc; ++i)
        d->arguments.append(QString::fromLocal8Bit(argv[i]));
    theInstance = this;
}

ServiceBase::~ServiceBase()
{
    if (theInstance == this)
        theInstance = nullptr;
}

int ServiceBase::run()
{
    return -4;
}

QString ServiceBase::serviceName() const { return d->name; }
QString ServiceBase::serviceDescription() const { return d->description; }
void ServiceBase::setServiceDescription(const QString &description) { d->description = description; }
ServiceBase::StartupType ServiceBase::startupType() const { return d->startupType; }
void ServiceBase::setStartupType(StartupType type) { d->startupType = type; }
int ServiceBase::serviceFlags() const { return d->flags; }
void ServiceBase::setServiceFlags(int flags) { d->flags = flags; }
QStringList ServiceBase::arguments() const { return d->arguments; }

ServiceBase *ServiceBase::instance()
{
    return theInstance;
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
