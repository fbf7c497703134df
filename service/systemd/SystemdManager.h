#pragma once

#include <QString>
#include <QStringList>
#include <QVariantList>

class QDBusConnection;
class QDBusMessage;

namespace NVL::Engineering::VK {

// The calls of systemd's manager (org.freedesktop.systemd1 on the system bus) that the service
// binding needs. Every call blocks until systemd answered; on failure errorText() tells why.
class SystemdManager
{
public:
    SystemdManager();
    ~SystemdManager();

    SystemdManager(const SystemdManager &) = delete;
    SystemdManager &operator=(const SystemdManager &) = delete;

    // Whether a systemd manager answers on the system bus.
    bool isPresent();

    QString errorText() const { return m_error; }

    // The unit file's state ("enabled", "disabled", "linked", ...); false if systemd knows no such file.
    bool unitFileState(const QString &unit, QString &state);
    // The folders systemd reads units from, in its order of precedence.
    bool unitPath(QStringList &folders);
    bool enableUnitFiles(const QStringList &units);
    bool disableUnitFiles(const QStringList &units);
    bool reload();
    bool startUnit(const QString &unit);
    bool stopUnit(const QString &unit);
    // The unit's activity ("active", "inactive", "failed", "activating", ...); a unit that is not
    // loaded is "inactive".
    bool activeState(const QString &unit, QString &state);

private:
    QDBusConnection connection();
    bool call(const QString &path, const QString &interface, const QString &method, const QVariantList &arguments,
              QDBusMessage *reply = nullptr);
    bool property(const QString &path, const QString &interface, const QString &name, QVariant &value);

    QString m_connectionName;
    bool m_connected = false;
    QString m_error;
};

} // namespace NVL::Engineering::VK
