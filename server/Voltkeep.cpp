#include "Voltkeep.h"

#include "ApplicationDataFolder.h"
#include "BatteryDatabase.h"
#include "ConnectionManager.h"
#include "MessageHeader.h"
#include "NotificationManager.h"
#include "VoltkeepIdentity.h"

#include <QDateTime>
#include <QSettings>
#include <QTcpSocket>
#include <QtEndian>

namespace NVL::Engineering::VK {

namespace {

const QString programName()
{
    return QString::fromLatin1(Identity::ServiceName);
}

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
    delete m_notificationManager;
    m_notificationManager = nullptr;
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

    const quint32 port = m_settings->value(QStringLiteral("port"), Identity::DefaultPort).toUInt() & 0xFFFF;
    delete m_connectionManager;
    m_connectionManager = new ConnectionManager(this, port);

    // Reads the notification configuration, which switches the process-wide names: our own paths
    // were fixed in the constructor.
    delete m_notificationManager;
    m_notificationManager = new NotificationManager(this);
    connect(m_notificationManager, &NotificationManager::timerExpired, this, &Voltkeep::notificationDue);

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
    m_database->close();
    delete m_notificationManager;
    m_notificationManager = nullptr;
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
    const bool dropped = m_database->healthDropped(record);
    m_database->saveReport(record);
    if (dropped && m_notificationManager)
        m_notificationManager->healthAlert(record);
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

void Voltkeep::batteryDeleteRequested(QTcpSocket *socket, const char *payload)
{
    const quint32 count = qFromLittleEndian<quint32>(payload);
    char serial[8];
    for (quint32 handled = 0; handled < count; ++handled) {
        if (!m_connectionManager || !m_connectionManager->readBytes(socket, serial, sizeof serial))
            break;
        m_database->deleteReport(QByteArray(serial, sizeof serial));
    }
}

void Voltkeep::notificationDue(const QString &uuid)
{
    if (m_notificationManager)
        m_notificationManager->periodicReport(uuid, m_database->validReports());
}

} // namespace NVL::Engineering::VK
