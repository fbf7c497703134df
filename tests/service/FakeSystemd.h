#pragma once

#include <QDBusConnection>
#include <QProcess>
#include <QString>
#include <QStringList>

// The fake systemd manager (vk_fake_systemd) on a private bus, and the test's line to it: the calls
// it recorded and the unit state it keeps.
class FakeSystemd
{
public:
    // Unit files live in root/etc/systemd/system.
    FakeSystemd(const QString &busAddress, const QString &root);
    ~FakeSystemd();

    FakeSystemd(const FakeSystemd &) = delete;
    FakeSystemd &operator=(const FakeSystemd &) = delete;

    bool start();
    QString unitFolder() const { return m_root + QStringLiteral("/etc/systemd/system"); }

    QStringList calls();
    void clearCalls();
    void setActiveState(const QString &unit, const QString &state);
    QString activeState(const QString &unit);
    // How long a stop takes; negative: the unit never stops.
    void setStopDelay(int ms);
    // The next call of method fails with that D-Bus error.
    void refuse(const QString &method, const QString &errorName, const QString &text);

private:
    QVariantList call(const QString &method, const QVariantList &arguments = {});

    QString m_busAddress;
    QString m_root;
    QString m_connectionName;
    QProcess m_process;
};
