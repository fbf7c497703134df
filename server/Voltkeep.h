#pragma once

#include "BatteryRecord.h"
#include "Service.h"

#include <QCoreApplication>
#include <QList>
#include <QObject>
#include <QPointer>

#include <memory>

class QSettings;
class QTcpSocket;

namespace NVL::Engineering::VK {

class ApiServer;
class BatteryDatabase;
class ConnectionManager;
class HistoryKeeper;
class MailQueue;
class NotificationManager;

// The server: its identity, data folder and settings, and the handlers of every radio request.
class Voltkeep : public QObject, public Service<QCoreApplication>
{
public:
    Voltkeep(int argc, char **argv);
    ~Voltkeep() override;

    // Called by the connection manager for every decoded request.
    // Reports are stamped at once and committed together with those that arrived with them.
    void batteryDataReceived(quint32 address, const char *payload);
    void versionRequested(QTcpSocket *socket, const char *payload);
    void batteryListRequested(QTcpSocket *socket);
    // The start of a delete request; its serials follow one by one as they arrive.
    void batteryDeleteRequested(QTcpSocket *socket, const char *payload);
    void batteryDeleteSerial(const char *serial);

    // A planned periodic notification is due.
    void notificationDue(const QString &uuid);

protected:
    void start() override;
    void stop() override;

private:
    struct WaitingList
    {
        QPointer<QTcpSocket> socket;
        quint64 mailTicket = 0;
    };

    // Saves the reports received so far in one transaction, then raises their alerts.
    void commitReports();
    void writeList(QTcpSocket *socket);
    void mailsDelivered(quint64 ticket);

    std::unique_ptr<BatteryDatabase> m_database;
    std::unique_ptr<QSettings> m_settings;
    NotificationManager *m_notificationManager = nullptr;
    ConnectionManager *m_connectionManager = nullptr;
    std::unique_ptr<MailQueue> m_mailQueue;
    QList<BatteryRecord> m_pendingReports;
    QList<WaitingList> m_waitingLists;
    // History and HTTP API (server/history, server/http); no history when [history] enabled=false.
    HistoryKeeper *m_history = nullptr;
    ApiServer *m_api = nullptr;
};

} // namespace NVL::Engineering::VK
