#include "Voltkeep.h"

#include "ApiServer.h"
#include "BatteryDatabase.h"
#include "ConnectionManager.h"
#include "HealthFall.h"
#include "HistoryKeeper.h"
#include "MailLedger.h"
#include "MailQueue.h"
#include "MessageHeader.h"
#include "NotificationDelivery.h"
#include "NotificationPlanner.h"
#include "VoltkeepIdentity.h"

#include <QDateTime>
#include <QDir>
#include <QSettings>
#include <QtEndian>

#include <utility>

#ifdef Q_OS_UNIX
#include <sys/resource.h>
#endif

namespace NVL::Engineering::VK {

namespace {

const QString programName()
{
    return QString::fromLatin1(Identity::ServiceName);
}

// Every connection costs a descriptor: take all the system allows this process, not the default share.
void raiseDescriptorLimit()
{
#ifdef Q_OS_UNIX
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
        limit.rlim_cur = limit.rlim_max;
        setrlimit(RLIMIT_NOFILE, &limit);
    }
#endif
}

// Reports committed at the latest together; a burst beyond it is committed in several transactions.
constexpr qsizetype MaxReportsPerCommit = 4096;

// The exit status of a start that failed, whatever the reason: the log and the status line say which.
constexpr int StartFailedExitCode = 1;

} // namespace

Voltkeep::Voltkeep(int argc, char **argv)
    : QObject(nullptr)
    , Service<QCoreApplication>(argc, argv, programName())
    , m_paths(DataPaths::current())
    , m_mailLedger(std::make_unique<MailLedger>())
{
    QCoreApplication::setOrganizationName(QString::fromLatin1(Identity::OrganisationName));
    QCoreApplication::setApplicationName(programName());
    if (!m_paths.serverFolder.isEmpty())
        QDir().mkpath(m_paths.serverFolder); // a failure shows when the database is opened
    m_database = std::make_unique<BatteryDatabase>(m_paths.databaseFile());
    m_settings = std::make_unique<QSettings>(m_paths.settingsFile(), QSettings::IniFormat);
    setServiceDescription(programName()
                          + QStringLiteral(" %1.%2.%3 Build %4")
                                .arg(Identity::VersionMajor)
                                .arg(Identity::VersionMinor)
                                .arg(Identity::VersionPatch)
                                .arg(Identity::VersionBuild)
                          + QStringLiteral(" (Maintains Battery Data)"));
}

Voltkeep::~Voltkeep()
{
    // Without a stop (the event loop ended otherwise) the managers still go before the database.
    delete m_connectionManager;
    m_connectionManager = nullptr;
    if (!m_pendingReports.isEmpty() && m_database->isOpen())
        commitReports();
    delete m_planner;
    m_planner = nullptr;
    m_delivery.reset();
    m_mailQueue.reset();
    delete m_api;
    delete m_history;
}

void Voltkeep::start()
{
    if (!m_database->openWithRecovery()) {
        logEvent(QStringLiteral("Failed to open database"), LogType::Error);
        endFailedStart(QStringLiteral("Failed to open database"));
        return;
    }
    QString error;
    if (!m_database->checkVersion(error)) {
        logEvent(error, LogType::Error);
        endFailedStart(error);
        return;
    }

    // Nothing else begins unless the radio port is ours: a server nobody can reach has failed.
    raiseDescriptorLimit();
    const quint32 port = m_settings->value(QStringLiteral("port"), Identity::DefaultPort).toUInt() & 0xFFFF;
    delete m_connectionManager;
    m_connectionManager = new ConnectionManager(this, port);
    if (!m_connectionManager->listenFailure().isEmpty()) {
        const QString failure = m_connectionManager->listenFailure();
        delete m_connectionManager;
        m_connectionManager = nullptr;
        endFailedStart(failure);
        return;
    }

    // The history file beside vk.db and the HTTP API; neither can make the start fail.
    const HistorySettings history = HistorySettings::read(*m_settings);
    delete m_history;
    m_history = history.enabled ? new HistoryKeeper(history, m_paths.historyFile()) : nullptr;
    delete m_api;
    m_api = new ApiServer(*m_settings, [this] { return m_database->validReports(); }, m_history);

    // Mail goes out on a thread of its own: a slow mail server must not keep reports from being read.
    m_mailQueue = std::make_unique<MailQueue>(NotificationDelivery::sender(m_mailLedger.get()));
    connect(m_mailQueue.get(), &MailQueue::delivered, this, &Voltkeep::mailsDelivered);
    m_delivery = std::make_unique<NotificationDelivery>(m_paths.configurationFile, m_mailQueue.get());
    delete m_planner;
    m_planner = new NotificationPlanner(m_paths.configurationFile, this);
    connect(m_planner, &NotificationPlanner::timerExpired, this, &Voltkeep::notificationDue);
    m_planner->watchConfigurationFile();

    logEvent(QStringLiteral("%1 %2.%3.%4.%5\n")
                     .arg(programName())
                     .arg(Identity::VersionMajor)
                     .arg(Identity::VersionMinor)
                     .arg(Identity::VersionPatch)
                     .arg(Identity::VersionBuild)
                 + QStringLiteral("Accepting connections on port: %1 (TCP + UDP)").arg(port),
             LogType::Success);
}

void Voltkeep::endFailedStart(const QString &reason)
{
    m_database->close();
    logEvent(programName() + QStringLiteral(" could not start and ends (exit status %1)").arg(StartFailedExitCode),
             LogType::Error);
    failStart(reason, StartFailedExitCode);
}

void Voltkeep::stop()
{
    delete m_connectionManager;
    m_connectionManager = nullptr;
    m_waitingLists.clear();
    delete m_api;
    m_api = nullptr;
    commitReports();
    delete m_history;
    m_history = nullptr;
    m_database->close();
    delete m_planner;
    m_planner = nullptr;
    m_delivery.reset();
    if (m_mailQueue) {
        const int dropped = m_mailQueue->stop();
        if (dropped > 0)
            logEvent(QStringLiteral("%1 notification mail(s) not sent: the service stopped before their turn")
                         .arg(dropped),
                     LogType::Warning);
        m_mailQueue.reset();
    }
    logEvent(programName() + QStringLiteral(" Stopped"), LogType::Success);
}

int Voltkeep::mailsWaiting() const
{
    return m_mailQueue ? m_mailQueue->waiting() : 0;
}

void Voltkeep::reportReceived(const BatteryRecord &report, quint32 senderIpv4)
{
    if (!m_database->isOpen()) {
        logEvent(QStringLiteral("Battery data dropped"), LogType::Information);
        return;
    }
    BatteryRecord record = report;
    record.reportTime = quint32(QDateTime::currentSecsSinceEpoch());
    record.reportAddress = senderIpv4;
    m_pendingReports.append(record);
    if (m_pendingReports.size() == 1) {
        // Whatever else arrives before the loop comes round joins this commit.
        QMetaObject::invokeMethod(this, [this] { commitReports(); }, Qt::QueuedConnection);
    } else if (m_pendingReports.size() >= MaxReportsPerCommit) {
        commitReports();
    }
}

void Voltkeep::commitReports()
{
    if (m_pendingReports.isEmpty())
        return;
    const QList<BatteryRecord> reports = std::exchange(m_pendingReports, {});
    const QList<BatteryDatabase::Replaced> replaced = m_database->saveReports(reports);
    if (m_history) // the group's points, in a transaction of their own
        m_history->record(reports);
    if (!m_planner || !m_delivery)
        return;
    for (qsizetype i = 0; i < reports.size(); ++i)
        if (healthFell(replaced.value(i), reports[i]))
            m_delivery->healthAlert(reports[i], m_planner->triggeredNotifications());
}

void Voltkeep::versionRequested(ConnectionId connection, quint8 peerVersion)
{
    if (peerVersion > 1)
        logEvent(QStringLiteral("Newer protocol version (%1) detected. Do you need to upgrade?").arg(peerVersion),
                 LogType::Information);
    if (m_connectionManager)
        m_connectionManager->sendVersion(connection);
}

void Voltkeep::listRequested(ConnectionId connection)
{
    commitReports();
    // The reply also stands for the mail that the reports before it raised: it waits until that is out.
    if (m_mailQueue && m_connectionManager && !m_mailQueue->isDone(m_mailQueue->lastQueued())
        && m_connectionManager->isConnected(connection)) {
        m_waitingLists.append({connection, m_mailQueue->lastQueued()});
        m_connectionManager->holdConnection(connection);
        return;
    }
    writeList(connection);
}

void Voltkeep::mailsDelivered(quint64 ticket)
{
    while (!m_waitingLists.isEmpty() && m_waitingLists.constFirst().mailTicket <= ticket) {
        const WaitingList waiting = m_waitingLists.takeFirst();
        if (!m_connectionManager)
            continue;
        writeList(waiting.connection);
        m_connectionManager->resumeConnection(waiting.connection);
    }
}

void Voltkeep::writeList(ConnectionId connection)
{
    if (!m_connectionManager || !m_connectionManager->isConnected(connection))
        return;
    const QList<BatteryRecord> records = m_database->validReports();
    const quint32 count = quint32(records.size());

    QByteArray reply = makeHeader(MessageType::ListResponse, count * 64 + 4).toBytes();
    reply.reserve(reply.size() + 4 + qsizetype(count) * BatteryRecord::Size);
    char countBytes[4];
    qToLittleEndian(count, countBytes);
    reply.append(countBytes, 4);
    for (const BatteryRecord &record : records)
        reply.append(record.toBytes());
    m_connectionManager->sendReply(connection, reply);
}

void Voltkeep::deleteRequested(ConnectionId)
{
    // The reports received before the request are stored before any of its serials is deleted.
    commitReports();
}

void Voltkeep::deleteSerialReceived(const QByteArray &serial)
{
    m_database->deleteReport(serial);
    if (m_history)
        m_history->removeBattery(serial);
}

void Voltkeep::notificationDue(const QString &uuid)
{
    commitReports();
    if (!m_planner || !m_delivery)
        return;
    if (const auto notification = m_planner->scheduledNotification(uuid))
        m_delivery->periodicReport(*notification, m_database->validReports());
}

} // namespace NVL::Engineering::VK
