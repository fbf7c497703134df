#pragma once

#include "BatteryRecord.h"
#include "Service.h"

#include <QCoreApplication>
#include <QObject>

#include <memory>

class QSettings;
class QTcpSocket;

namespace NVL::Engineering::VK {

class BatteryDatabase;
class ConnectionManager;
class NotificationManager;

// The server: its identity, data folder and settings, and the handlers of every radio request.
class Voltkeep : public QObject, public Service<QCoreApplication>
{
public:
    Voltkeep(int argc, char **argv);
    ~Voltkeep() override;

    // Called by the connection manager for every decoded request.
    void batteryDataReceived(quint32 address, const char *payload);
    void versionRequested(QTcpSocket *socket, const char *payload);
    void batteryListRequested(QTcpSocket *socket);
    void batteryDeleteRequested(QTcpSocket *socket, const char *payload);

    // A planned periodic notification is due.
    void notificationDue(const QString &uuid);

protected:
    void start() override;
    void stop() override;

private:
    std::unique_ptr<BatteryDatabase> m_database;
    std::unique_ptr<QSettings> m_settings;
    NotificationManager *m_notificationManager = nullptr;
    ConnectionManager *m_connectionManager = nullptr;
};

} // namespace NVL::Engineering::VK
