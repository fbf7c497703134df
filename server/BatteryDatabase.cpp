#include "BatteryDatabase.h"

#include "ServiceBase.h"
#include "VoltkeepIdentity.h"

#include <QDir>
#include <QFile>
#include <QSqlDatabase>
#include <QSqlError>
#include <QStringList>
#include <QVariant>

namespace NVL::Engineering::VK {

namespace {

const QString &connectionNameText()
{
    static const QString name = QStringLiteral("NVLVKDB");
    return name;
}

const QString &schemaPath()
{
    // Named after the program itself, not after the process-wide application name, which changes.
    static const QString path = QStringLiteral(":/%1.schema").arg(QLatin1String(Identity::ServiceName));
    return path;
}

// A closed but registered connection is opened again on fetch.
QSqlDatabase connection()
{
    return QSqlDatabase::database(connectionNameText(), true);
}

constexpr qint32 CheckpointInterval = 100;
qint32 saveCounter = 0;

const char *const TuningStatements[] = {
    "PRAGMA cache_size = 256",
    "PRAGMA page_size = 512",
    "PRAGMA mmap_size = 12582912",
    "PRAGMA locking_mode = EXCLUSIVE",
    "PRAGMA journal_mode = WAL",
    "PRAGMA synchronous = FULL",
};

} // namespace

BatteryDatabase::BatteryDatabase(const QString &path)
    : m_path(path)
{
}

BatteryDatabase::~BatteryDatabase()
{
    if (QSqlDatabase::contains(connectionNameText()))
        QSqlDatabase::removeDatabase(connectionNameText());
}

QString BatteryDatabase::path() const
{
    return m_path;
}

QString BatteryDatabase::connectionName()
{
    return connectionNameText();
}

int BatteryDatabase::saveCount()
{
    return saveCounter;
}

void BatteryDatabase::resetSaveCount()
{
    saveCounter = 0;
}

void BatteryDatabase::logQueryError(const QString &label, const QSqlQuery &query)
{
    ServiceBase::logEvent(QStringLiteral("%1: %2").arg(label, query.lastError().text()), LogType::Error);
}

bool BatteryDatabase::openConnection()
{
    if (connection().isOpen())
        return true;
    // Replace whatever is registered under the name; no handle of it may be alive here.
    if (QSqlDatabase::contains(connectionNameText()))
        QSqlDatabase::removeDatabase(connectionNameText());
    QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), connectionNameText());
    db.setDatabaseName(m_path);
    return db.open();
}

bool BatteryDatabase::integrityCheck()
{
    QSqlQuery query(connection());
    QString result;
    if (query.exec(QStringLiteral("PRAGMA integrity_check")) && query.next())
        result = query.value(0).toString();
    if (result.isEmpty())
        logQueryError(QStringLiteral("Integrity Check"), query);
    return result == QLatin1String("ok");
}

bool BatteryDatabase::configure()
{
    if (!openConnection())
        return false;
    QSqlQuery query(connection());
    for (const char *statement : TuningStatements) {
        if (!query.exec(QLatin1String(statement)))
            return false;
    }
    return true;
}

// A repair that failed at its final rename leaves the data only in the backup; serving a fresh empty
// database then would lose it for good at the next repair.
bool BatteryDatabase::restoreOrphanedBackup()
{
    const QString backupPath = m_path + QStringLiteral(".backup");
    if (QFile::exists(m_path) || !QFile::exists(backupPath))
        return true;
    if (!QFile::rename(backupPath, m_path)) {
        ServiceBase::logEvent(QStringLiteral("Unable to restore database from %1")
                                  .arg(QDir::toNativeSeparators(backupPath)),
                              LogType::Error);
        return false;
    }
    ServiceBase::logEvent(
        QStringLiteral("Database restored from %1").arg(QDir::toNativeSeparators(backupPath)),
        LogType::Warning);
    return true;
}

bool BatteryDatabase::openWithRecovery()
{
    if (!restoreOrphanedBackup())
        return false;
    if (openConnection() && integrityCheck())
        return configure();

    // Repair: fall back to the main file as last checkpointed and drop everything only the log held.
    const QString backupPath = m_path + QStringLiteral(".backup");
    if (QFile::exists(backupPath) && !QFile::remove(backupPath))
        return false;
    if (!QFile::copy(m_path, backupPath))
        return false;
    if (QSqlDatabase::contains(connectionNameText())) {
        {
            QSqlDatabase db = QSqlDatabase::database(connectionNameText(), false);
            db.close();
        }
        QSqlDatabase::removeDatabase(connectionNameText());
    }
    for (const QString &file : {m_path + QStringLiteral("-wal"), m_path + QStringLiteral("-shm"), m_path}) {
        if (QFile::exists(file) && !QFile::remove(file))
            return false;
    }
    if (!QFile::rename(backupPath, m_path))
        return false;
    return configure();
}

bool BatteryDatabase::checkVersion(QString &errorText)
{
    {
        QSqlQuery query(QStringLiteral("SELECT database_version FROM config"), connection());
        if (query.next()) {
            if (query.value(0).toInt() == 1)
                return true;
            errorText = QStringLiteral("Database error: unable to continue");
            return false;
        }
    }
    // The version statement is gone before the schema drops its table.
    return createSchema(errorText);
}

bool BatteryDatabase::createSchema(QString &errorText)
{
    QFile file(schemaPath());
    if (!file.open(QIODevice::ReadOnly)) {
        errorText = QStringLiteral("Build configuration error - unable to find database schema.");
        return false;
    }
    const QStringList statements =
        QString::fromUtf8(file.readAll()).split(QStringLiteral(";\r\n"), Qt::KeepEmptyParts, Qt::CaseSensitive);
    for (const QString &statement : statements) {
        if (statement.isEmpty())
            continue;
        QSqlQuery query(connection());
        if (!query.exec(statement)) {
            errorText = QStringLiteral("Database configuration error:\n") + query.lastError().databaseText();
            return false;
        }
    }
    return true;
}

bool BatteryDatabase::isOpen() const
{
    return connection().isOpen();
}

bool BatteryDatabase::healthDropped(const BatteryRecord &record)
{
    QSqlQuery query(connection());
    const bool prepared = query.prepare(QStringLiteral("SELECT data FROM batteries WHERE serial = ?"));
    return droppedAgainstStored(query, prepared, record);
}

bool BatteryDatabase::droppedAgainstStored(QSqlQuery &lookup, bool prepared, const BatteryRecord &record)
{
    if (!prepared) {
        logQueryError(QStringLiteral("Health-Prepare"), lookup);
        return false;
    }
    lookup.bindValue(0, record.serialKey());
    if (!lookup.exec())
        logQueryError(QStringLiteral("Health"), lookup);
    bool dropped = false;
    if (lookup.next()) {
        const QByteArray stored = lookup.value(0).toByteArray();
        dropped = isValidRecord(stored) && healthClass(record) < healthClass(BatteryRecord::fromBytes(stored));
    }
    lookup.finish();
    return dropped;
}

void BatteryDatabase::saveReport(const BatteryRecord &record)
{
    const QByteArray key = record.serialKey();
    const QByteArray value = record.toBytes();
    QSqlQuery query(connection());

    // Each step runs whatever became of the one before: a report is worth more than a clean rollback.
    query.exec(QStringLiteral("BEGIN TRANSACTION"));
    if (!query.prepare(QStringLiteral("DELETE FROM batteries WHERE serial = ?"))) {
        logQueryError(QStringLiteral("Save-Prepare-1"), query);
    } else {
        query.addBindValue(key);
        if (!query.exec())
            logQueryError(QStringLiteral("Save-Delete"), query);
    }
    if (!query.prepare(QStringLiteral("INSERT INTO batteries (serial, data) VALUES (?, ?)"))) {
        logQueryError(QStringLiteral("Save-Prepare-2"), query);
    } else {
        query.addBindValue(key);
        query.addBindValue(value);
        if (!query.exec())
            logQueryError(QStringLiteral("Save-Insert"), query);
    }
    if (!query.exec(QStringLiteral("COMMIT")))
        logQueryError(QStringLiteral("Save-Commit"), query);

    countSaves(1);
}

QList<bool> BatteryDatabase::saveReports(const QList<BatteryRecord> &records)
{
    QList<bool> dropped;
    if (records.isEmpty())
        return dropped;
    dropped.reserve(records.size());
    const QSqlDatabase db = connection();
    QSqlQuery control(db);
    QSqlQuery lookup(db);
    QSqlQuery remove(db);
    QSqlQuery insert(db);

    // As in saveReport, each step runs whatever became of the one before.
    control.exec(QStringLiteral("BEGIN TRANSACTION"));
    const bool lookupPrepared = lookup.prepare(QStringLiteral("SELECT data FROM batteries WHERE serial = ?"));
    const bool removePrepared = remove.prepare(QStringLiteral("DELETE FROM batteries WHERE serial = ?"));
    const bool insertPrepared = insert.prepare(QStringLiteral("INSERT INTO batteries (serial, data) VALUES (?, ?)"));
    for (const BatteryRecord &record : records) {
        dropped.append(droppedAgainstStored(lookup, lookupPrepared, record));
        const QByteArray key = record.serialKey();
        if (!removePrepared) {
            logQueryError(QStringLiteral("Save-Prepare-1"), remove);
        } else {
            remove.bindValue(0, key);
            if (!remove.exec())
                logQueryError(QStringLiteral("Save-Delete"), remove);
        }
        if (!insertPrepared) {
            logQueryError(QStringLiteral("Save-Prepare-2"), insert);
        } else {
            insert.bindValue(0, key);
            insert.bindValue(1, record.toBytes());
            if (!insert.exec())
                logQueryError(QStringLiteral("Save-Insert"), insert);
        }
    }
    if (!control.exec(QStringLiteral("COMMIT")))
        logQueryError(QStringLiteral("Save-Commit"), control);
    countSaves(int(records.size()));
    return dropped;
}

void BatteryDatabase::countSaves(int saves)
{
    // One checkpoint per hundred saves; saves committed together are checkpointed after their commit.
    saveCounter += saves;
    if (saveCounter >= CheckpointInterval) {
        QSqlQuery checkpoint(connection());
        checkpoint.exec(QStringLiteral("PRAGMA wal_checkpoint"));
        saveCounter %= CheckpointInterval;
    }
}

QSqlQuery BatteryDatabase::getReports()
{
    QSqlQuery query(connection());
    // Callers count the rows first and then walk them again from the start.
    query.setForwardOnly(false);
    if (!query.exec(QStringLiteral("SELECT data FROM batteries ORDER BY serial")))
        logQueryError(QStringLiteral("Get Reports"), query);
    return query;
}

QList<BatteryRecord> BatteryDatabase::validReports()
{
    QList<BatteryRecord> records;
    QSqlQuery query = getReports();
    while (query.next()) {
        const QByteArray data = query.value(0).toByteArray();
        if (isValidRecord(data))
            records.append(BatteryRecord::fromBytes(data));
    }
    return records;
}

void BatteryDatabase::deleteReport(const QByteArray &serial)
{
    QSqlQuery query(connection());
    if (!query.prepare(QStringLiteral("DELETE FROM batteries WHERE serial = ?"))) {
        logQueryError(QStringLiteral("Delete-Prepare"), query);
        return;
    }
    query.addBindValue(serial);
    if (!query.exec())
        logQueryError(QStringLiteral("Delete Report"), query);
}

void BatteryDatabase::close()
{
    // Fetched without reopening: opening a closed connection only to close it again would be pointless.
    QSqlDatabase db = QSqlDatabase::database(connectionNameText(), false);
    db.close();
}

} // namespace NVL::Engineering::VK
