#include "Voltkeep.h"

#include "ApiServer.h"
#include "ApplicationDataFolder.h"
#include "BatteryDatabase.h"
#include "ConnectionManager.h"
#include "HistoryKeeper.h"
#include "MailQueue.h"
#include "MessageHeader.h"
#include "NotificationManager.h"
#include "VoltkeepIdentity.h"

#include <QDateTime>
#include <QDir>
#include <QFileInfo>
#include <QSettings>
#include <QTcpSocket>
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

} // namespace

Voltkeep::Voltkeep(int argc, char **argv)
    : QObject(nullptr)
    , Service<QCoreApplication>(argc, argv, programName())
{
    QCoreApplication::setOrganizationName(QString::fromLatin1(Identity::OrganisationName));
    QCoreApplication::setApplicationName(programName());
    // Both paths now, while the process-wide names are ours: reading the notification
    // configuration later switches them to the editor's.
    m_database = std::make_unique<BatteryDatabase>(applicationDataFolder() + QStringLiteral("/vk.db"));
    m_settings = std::make_unique<QSettings>(applicationDataFolder() + QStringLiteral("/vk.cfg"), QSettings::IniFormat);
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
    // Without a stop request (foreground run) the managers still go before the database.
    delete m_connectionManager;
    m_connectionManager = nullptr;
    if (!m_pendingReports.isEmpty() && m_database->isOpen())
        commitReports();
    delete m_notificationManager;
    m_notificationManager = nullptr;
    m_mailQueue.reset();
    delete m_api; // history hook
    delete m_history;
}

void Voltkeep::start()
{
    if (!m_database->openWithRecovery()) {
        logEvent(QStringLiteral("Failed to open database"), LogType::Error);
        return;
    }
    QString error;
    if (!m_database->checkVersion(error)) {
        logEvent(error, LogType::Error);
        return;
    }

    // History hook: the history file beside vk.db and the HTTP API; neither can make the start fail.
    const HistorySettings history = HistorySettings::read(*m_settings);
    delete m_history;
    m_history = history.enabled ? new HistoryKeeper(history, QFileInfo(m_database->path()).dir().filePath(
                                                                 QStringLiteral("vk-history.db")))
                                : nullptr;
    delete m_api;
    m_api = new ApiServer(*m_settings, [this] { return m_database->validReports(); }, m_history);

    raiseDescriptorLimit();
    const quint32 port = m_settings->value(QStringLiteral("port"), Identity::DefaultPort).toUInt() & 0xFFFF;
    delete m_connectionManager;
    m_connectionManager = new ConnectionManager(this, port);

    // Reads the notification configuration, which switches the process-wide names: our own paths
    // were fixed in the constructor.
    delete m_notificationManager;
    m_notificationManager = new NotificationManager(this);
    connect(m_notificationManager, &NotificationManager::timerExpired, this, &Voltkeep::notificationDue);
    // Mail goes out on a thread of its own: a slow mail server must not keep reports from being read.
    m_mailQueue = std::make_unique<MailQueue>();
    connect(m_mailQueue.get(), &MailQueue::delivered, this, &Voltkeep::mailsDelivered);
    m_notificationManager->setMailQueue(m_mailQueue.get());

    logEvent(QStringLiteral("%1 %2.%3.%4.%5\n")
                     .arg(programName())
                     .arg(Identity::VersionMajor)
                     .arg(Identity::VersionMinor)
                     .arg(Identity::VersionPatch)
                     .arg(Identity::VersionBuild)
                 + QStringLiteral("Accepting connections on port: %1 (TCP + UDP)").arg(port),
             LogType::Success);
}

void Voltkeep::stop()
{
    delete m_connectionManager;
    m_connectionManager = nullptr;
    m_waitingLists.clear();
    delete m_api; // history hook
    m_api = nullptr;
    commitReports();
    delete m_history; // history hook
    m_history = nullptr;
    m_database->close();
    delete m_notificationManager;
    m_notificationManager = nullptr;
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

void Voltkeep::batteryDataReceived(quint32 address, const char *payload)
{
    if (!m_database->isOpen()) {
        logEvent(QStringLiteral("Battery data dropped"), LogType::Information);
        return;
    }
    BatteryRecord record = BatteryRecord::fromBytes(payload);
    record.reportTime = quint32(QDateTime::currentSecsSinceEpoch());
    record.reportAddress = address;
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
    const QList<bool> dropped = m_database->saveReports(reports);
    if (m_history) // history hook: the group's points, in a transaction of their own
        m_history->record(reports);
    if (!m_notificationManager)
        return;
    for (qsizetype i = 0; i < reports.size(); ++i)
        if (dropped.value(i))
            m_notificationManager->healthAlert(reports[i]);
}

void Voltkeep::versionRequested(QTcpSocket *socket, const char *payload)
{
    const quint8 peerVersion = quint8(payload[0]);
    if (peerVersion > 1)
        logEvent(QStringLiteral("Newer protocol version (%1) detected. Do you need to upgrade?").arg(peerVersion),
                 LogType::Information);
    if (m_connectionManager)
        m_connectionManager->sendVersion(socket);
}

void Voltkeep::batteryListRequested(QTcpSocket *socket)
{
    commitReports();
    // The reply also stands for the mail that the reports before it raised: it waits until that is out.
    if (m_mailQueue && m_connectionManager && !m_mailQueue->isDone(m_mailQueue->lastQueued())
        && socket->state() == QAbstractSocket::ConnectedState) {
        m_waitingLists.append({socket, m_mailQueue->lastQueued()});
        m_connectionManager->holdConnection(socket);
        return;
    }
    writeList(socket);
}

void Voltkeep::mailsDelivered(quint64 ticket)
{
    while (!m_waitingLists.isEmpty() && m_waitingLists.constFirst().mailTicket <= ticket) {
        const WaitingList waiting = m_waitingLists.takeFirst();
        if (!waiting.socket || !m_connectionManager)
            continue;
        writeList(waiting.socket);
        m_connectionManager->resumeConnection(waiting.socket);
    }
}

void Voltkeep::writeList(QTcpSocket *socket)
{
    if (socket->state() != QAbstractSocket::ConnectedState)
        return;
    const QList<BatteryRecord> records = m_database->validReports();
    const quint32 count = quint32(records.size());

    QByteArray head = makeHeader(MessageType::ListResponse, count * 64 + 4).toBytes();
    char countBytes[4];
    qToLittleEndian(count, countBytes);
    head.append(countBytes, 4);
    socket->write(head);

    for (const BatteryRecord &record : records)
        socket->write(record.toBytes());
}

void Voltkeep::batteryDeleteRequested(QTcpSocket *, const char *)
{
    // The reports received before the request are stored before any of its serials is deleted.
    commitReports();
}

void Voltkeep::batteryDeleteSerial(const char *serial)
{
    m_database->deleteReport(QByteArray(serial, 8));
    if (m_history) // history hook
        m_history->removeBattery(QByteArray(serial, 8));
}

void Voltkeep::notificationDue(const QString &uuid)
{
    commitReports();
    if (m_notificationManager)
        m_notificationManager->periodicReport(uuid, m_database->validReports());
}

} // namespace NVL::Engineering::VK
