#pragma once

#include <QProcess>
#include <QString>

// A dbus-daemon of the test's own, on a socket in a folder of the test's: the system bus for the
// programs a test starts with DBUS_SYSTEM_BUS_ADDRESS set to address().
class PrivateSystemBus
{
public:
    explicit PrivateSystemBus(const QString &folder);
    ~PrivateSystemBus();

    PrivateSystemBus(const PrivateSystemBus &) = delete;
    PrivateSystemBus &operator=(const PrivateSystemBus &) = delete;

    bool start();
    QString address() const { return m_address; }

private:
    QString m_folder;
    QString m_address;
    QProcess m_daemon;
};
