#include "SystemdManager.h"

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QDBusVariant>

namespace NVL::Engineering::VK {

namespace {

const QString service = QStringLiteral("org.freedesktop.systemd1");
const QString managerPath = QStringLiteral("/org/freedesktop/systemd1");
const QString managerInterface = QStringLiteral("org.freedesktop.systemd1.Manager");
const QString unitInterface = QStringLiteral("org.freedesktop.systemd1.Unit");
const QString noSuchUnit = QStringLiteral("org.freedesktop.systemd1.NoSuchUnit");
// Jobs that conflict with a running one are replaced, as systemctl does.
const QString replaceMode = QStringLiteral("replace");

} // namespace

SystemdManager::SystemdManager()
    : m_connectionName(QStringLiteral("vk-systemd-%1").arg(quintptr(this), 0, 16))
{
}

SystemdManager::~SystemdManager()
{
    // Closed before the process ends: a connection left to the end of the program races its
    // message thread against the destruction of QtDBus's own types.
    if (m_connected)
        QDBusConnection::disconnectFromBus(m_connectionName);
}

QDBusConnection SystemdManager::connection()
{
    // QtDBus's message thread lives until its global object is destroyed at exit. Types registered
    // before that object exists outlive it; registered later, they would be destroyed under a
    // thread that may still be reading a message.
    static const bool typesFirst = QMetaType::fromType<QDBusObjectPath>().id() && QMetaType::fromType<QDBusVariant>().id();
    Q_UNUSED(typesFirst);
    m_connected = true;
    return QDBusConnection::connectToBus(QDBusConnection::SystemBus, m_connectionName);
}

bool SystemdManager::isPresent()
{
    QDBusConnection bus = connection();
    if (!bus.isConnected() || !bus.interface()) {
        m_error = bus.lastError().message();
        return false;
    }
    return bus.interface()->isServiceRegistered(service).value();
}

bool SystemdManager::call(const QString &path, const QString &interface, const QString &method,
                          const QVariantList &arguments, QDBusMessage *reply)
{
    QDBusConnection bus = connection();
    if (!bus.isConnected()) {
        m_error = bus.lastError().message();
        if (m_error.isEmpty())
            m_error = QStringLiteral("The system bus cannot be reached");
        return false;
    }
    QDBusMessage message = QDBusMessage::createMethodCall(service, path, interface, method);
    message.setArguments(arguments);
    // Blocking without an event loop: the command-line options run before any application exists.
    const QDBusMessage answer = bus.call(message, QDBus::Block);
    if (answer.type() != QDBusMessage::ReplyMessage) {
        m_error = answer.errorMessage().isEmpty() ? answer.errorName() : answer.errorMessage();
        if (reply)
            *reply = answer;
        return false;
    }
    m_error.clear();
    if (reply)
        *reply = answer;
    return true;
}

bool SystemdManager::property(const QString &path, const QString &interface, const QString &name, QVariant &value)
{
    QDBusMessage reply;
    if (!call(path, QStringLiteral("org.freedesktop.DBus.Properties"), QStringLiteral("Get"), {interface, name}, &reply))
        return false;
    const QVariant first = reply.arguments().value(0);
    value = first.canConvert<QDBusVariant>() ? first.value<QDBusVariant>().variant() : first;
    return true;
}

bool SystemdManager::unitFileState(const QString &unit, QString &state)
{
    QDBusMessage reply;
    if (!call(managerPath, managerInterface, QStringLiteral("GetUnitFileState"), {unit}, &reply))
        return false;
    state = reply.arguments().value(0).toString();
    return true;
}

bool SystemdManager::unitPath(QStringList &folders)
{
    QVariant value;
    if (!property(managerPath, managerInterface, QStringLiteral("UnitPath"), value))
        return false;
    folders = value.toStringList();
    return true;
}

bool SystemdManager::enableUnitFiles(const QStringList &units)
{
    // Persistent (not only until reboot), without overwriting files of others.
    return call(managerPath, managerInterface, QStringLiteral("EnableUnitFiles"), {units, false, false});
}

bool SystemdManager::disableUnitFiles(const QStringList &units)
{
    return call(managerPath, managerInterface, QStringLiteral("DisableUnitFiles"), {units, false});
}

bool SystemdManager::reload()
{
    return call(managerPath, managerInterface, QStringLiteral("Reload"), {});
}

bool SystemdManager::startUnit(const QString &unit)
{
    return call(managerPath, managerInterface, QStringLiteral("StartUnit"), {unit, replaceMode});
}

bool SystemdManager::stopUnit(const QString &unit)
{
    return call(managerPath, managerInterface, QStringLiteral("StopUnit"), {unit, replaceMode});
}

bool SystemdManager::activeState(const QString &unit, QString &state)
{
    QDBusMessage reply;
    if (!call(managerPath, managerInterface, QStringLiteral("GetUnit"), {unit}, &reply)) {
        if (reply.errorName() != noSuchUnit)
            return false;
        state = QStringLiteral("inactive");
        m_error.clear();
        return true;
    }
    const QString unitPath = reply.arguments().value(0).value<QDBusObjectPath>().path();
    QVariant value;
    if (!property(unitPath, unitInterface, QStringLiteral("ActiveState"), value))
        return false;
    state = value.toString();
    return true;
}

} // namespace NVL::Engineering::VK
