#pragma once

#include "BatteryRecord.h"
#include "CommitPacing.h"
#include "MailQueue.h"
#include "PostgresBatteryStore.h"
#include "RadioSink.h"
#include "ReportsNotStored.h"
#include "Service.h"

#include <DataPaths.h>

#include <QCoreApplication>
#include <QDateTime>
#include <QList>
#include <QObject>
#include <QTimer>

#include <memory>
#include <optional>

namespace NVL::Engineering::VK {

class ApiServer;
class BatteryStore;
struct StoreSettings;
struct HistorySettings;
class ConnectionManager;
class FleetIndex;
class HistoryKeeper;
struct HttpSettings;
struct InsightSection;
class InsightKeeper;
class FleetHome;
class ReportFanOut;
class MailLedger;
class NotificationDelivery;
class NotificationPlanner;
class ServerMetrics;
class Webhooks;

// The server: its identity, data folder and settings, and the handlers of every radio request.
class Voltkeep : public QObject, public Service<QCoreApplication>, private RadioSink
{
public:
    Voltkeep(int argc, char **argv);
    ~Voltkeep() override;

    // A planned periodic notification is due.
    void notificationDue(const QString &uuid, const QString &identity, const QDateTime &due);

    // What became of the mails sent since the server was made; safe from any thread.
    const MailLedger &mailLedger() const { return *m_mailLedger; }
    // Mails queued and not yet begun; 0 while the server does not run. On the event loop's thread.
    int mailsWaiting() const;

protected:
    void start() override;
    void stop() override;

private:
    // Reports are stamped at once and committed together with those that arrived with them.
    void reportReceived(const BatteryRecord &record, quint32 senderIpv4, const QByteArray &sender,
                        RadioTransport transport) override;
    void malformedReport(RadioTransport transport) override;
    void versionRequested(ConnectionId connection, quint8 peerVersion) override;
    void listRequested(ConnectionId connection) override;
    void deleteRequested(ConnectionId connection) override;
    void deleteSerialReceived(const QByteArray &serial) override;

    // Saves the reports received so far in one transaction, then raises their alerts.
    void commitReports();
    // The health alerts of stored reports, each measured against the record it replaced.
    // The list reply as it stands, encoded once for every peer that asks until the store changes.
    // What keeps the server from serving radios, for /healthz.
    QStringList healthProblems() const;
    BatteryStore *store() const; // the home's; none before the start chose one
    // "battery silent" to the notifications of that kind, once per battery per silence.
    void tellSilences();
    // Mails the last stop cut short, sent now with the settings in force.
    void sendSpooledMails(const QString &spoolFile);
    void startHttp(const HttpSettings &settings, const InsightSection &insight);
    // The rows other servers wrote, and the spooled reports just stored, into the fleet, the history and
    // the alerts.
    void takeSharedRows(const PostgresBatteryStore::CaughtUp &caught);
    // The periodic reports this server has claimed for the fleet, sent.
    void sendClaimedMail();
    // Planned mail (periodic reports, silences) goes out from one server of those sharing a database.
    bool sendsPlannedMail() const;
    // Logs that the start failed and ends the run with the reason.
    void endFailedStart(const QString &reason);
    // The one order in which the server comes apart, after a stop as without one: nothing new comes in,
    // what came is committed, the stores close, then the mail ends. Answers what the mail queue dropped.
    MailQueue::Dropped tearDown();

    const DataPaths m_paths;
    // Outlives every mail queue: their worker records into it.
    const std::unique_ptr<MailLedger> m_mailLedger;
    // Where the reports, their history and the planner's lock live: this server's files or the shared
    // database; the server asks it, never which kind it is.
    std::unique_ptr<FleetHome> m_home;
    std::unique_ptr<NotificationPlanner> m_planner;
    std::unique_ptr<ConnectionManager> m_connectionManager;
    std::unique_ptr<MailQueue> m_mailQueue;
    std::unique_ptr<NotificationDelivery> m_delivery;
    QList<BatteryRecord> m_pendingReports;
    QTimer m_commitTimer;
    CommitPacing m_commitPacing;
    // Beside each pending report, the sender's address where its record cannot hold it (IPv6), else empty.
    QList<QByteArray> m_pendingSenders;
    // The first IPv6 peer of a run is logged: its records show 0.0.0.0 with no other word of why.
    bool m_ipv6PeerTold = false;
    ReportsNotStored m_notStored;
    // No history when [history] enabled=false.
    std::unique_ptr<HistoryKeeper> m_history;
    std::unique_ptr<ApiServer> m_api;
    // The fleet as the dashboard shows it, and the figures monitoring reads.
    std::unique_ptr<FleetIndex> m_fleet;
    std::unique_ptr<ReportFanOut> m_fanOut; // after the fleet, which it changes
    std::unique_ptr<ServerMetrics> m_metrics;
    // Made after the fleet model is loaded; before the HTTP side, which reads it.
    std::unique_ptr<InsightKeeper> m_insight;
    // Made once the store is open; gone after the last commit, whose events it writes.
    std::unique_ptr<Webhooks> m_webhooks;
};

} // namespace NVL::Engineering::VK
