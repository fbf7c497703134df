#include "BatteryDatabase.h"

#include "DatabaseSalvage.h"
#include "GroupedRows.h"
#include "Log.h"
#include "SqliteFile.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QSqlDatabase>
#include <QSqlError>
#include <QStringList>
#include <QVariant>

#include <algorithm>

namespace NVL::Engineering::VK {

namespace {

const QString &connectionNameText()
{
    static const QString name = QStringLiteral("NVLVKDB");
    return name;
}

const QString &schemaPath()
{
    // Compiled into this library (store/resources).
    static const QString path = QStringLiteral(":/Voltkeep.schema");
    return path;
}

// A closed but registered connection is opened again on fetch.
QSqlDatabase connection()
{
    return QSqlDatabase::database(connectionNameText(), true);
}

// SQLite's primary result codes for a damaged file and for one that is no database.

// Below this a main file holds no database header.
constexpr qint64 MinimumFileSize = 100;

bool schemaStatements(QStringList &statements, QString &errorText)
{
    QFile file(schemaPath());
    if (!file.open(QIODevice::ReadOnly)) {
        errorText = QStringLiteral("Build configuration error - unable to find database schema.");
        return false;
    }
    statements =
        QString::fromUtf8(file.readAll()).split(QStringLiteral(";\r\n"), Qt::KeepEmptyParts, Qt::CaseSensitive);
    return true;
}

bool runStatements(const QSqlDatabase &db, const QStringList &statements, QString &errorText)
{
    for (const QString &statement : statements) {
        if (statement.isEmpty())
            continue;
        QSqlQuery query(db);
        if (!query.exec(statement)) {
            errorText = QStringLiteral("Database configuration error:\n") + query.lastError().databaseText();
            return false;
        }
    }
    return true;
}

constexpr int CheckpointInterval = 100;
// Reports upserted by one statement when nothing is looked up before them.
constexpr int UpsertGroup = 64;

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

void BatteryDatabase::logQueryError(const QString &label, const QSqlQuery &query)
{
    Log::error(QStringLiteral("%1: %2").arg(label, query.lastError().text()));
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
    m_damageFound = false;
    QSqlQuery query(connection());
    QString result;
    if (query.exec(QStringLiteral("PRAGMA integrity_check")) && query.next())
        result = query.value(0).toString();
    if (result.isEmpty()) {
        logQueryError(QStringLiteral("Integrity Check"), query);
        // Only SQLite's own word for a damaged or foreign file is damage: a lock held by another
        // process or a failing disk is no reason to rebuild anything.
        m_damageFound = SqliteFile::isDamage(query.lastError());
    } else {
        m_damageFound = result != QLatin1String("ok");
    }
    return result == QLatin1String("ok");
}

bool BatteryDatabase::configure()
{
    if (!openConnection())
        return false;
    QSqlQuery query(connection());
    return SqliteFile::execAll(query, TuningStatements);
}

// A repair that failed at its final rename leaves the data only in the backup; serving a fresh empty
// database then would lose it for good at the next repair.
bool BatteryDatabase::restoreOrphanedBackup()
{
    const QString backupPath = m_path + QStringLiteral(".backup");
    if (QFile::exists(m_path) || !QFile::exists(backupPath))
        return true;
    if (!QFile::rename(backupPath, m_path)) {
        Log::error(QStringLiteral("Unable to restore database from %1").arg(QDir::toNativeSeparators(backupPath)));
        return false;
    }
    Log::warning(QStringLiteral("Database restored from %1").arg(QDir::toNativeSeparators(backupPath)));
    return true;
}

// SQLite deletes a write-ahead log it finds beside an empty or missing main file: such a log is
// read before SQLite gets to see it.
bool BatteryDatabase::logWouldBeDiscarded() const
{
    const QFileInfo main(m_path);
    const QFileInfo log(m_path + QStringLiteral("-wal"));
    return log.isFile() && log.size() > 0 && (!main.exists() || (main.isFile() && main.size() < MinimumFileSize));
}

bool BatteryDatabase::openWithRecovery()
{
    if (!restoreOrphanedBackup())
        return false;
    // SQLite takes an empty file for a new database; where the server kept its reports, an empty file
    // means they are gone, and the administrator must hear of it like any other damage.
    const QFileInfo main(m_path);
    if (main.isFile() && main.size() == 0 && !logWouldBeDiscarded())
        Log::error(QStringLiteral("Database damaged: %1 is empty (0 bytes), the reports it held are "
                                  "lost. A new database is created.")
                       .arg(QDir::toNativeSeparators(m_path)));
    if (!logWouldBeDiscarded()) {
        if (openConnection() && integrityCheck())
            return configure();
        if (!m_damageFound)
            return false;
    }
    return salvage() && configure();
}

bool BatteryDatabase::salvage()
{
    // The damaged files are copied while the connection still holds them unchanged: closing it
    // lets SQLite fold the log into the main file and delete it.
    const QString kept = SqliteFile::damagedName(m_path);
    QStringList copied;
    for (const QString &suffix : SqliteFile::companions()) {
        if (!QFileInfo(m_path + suffix).isFile())
            continue;
        if (!QFile::copy(m_path + suffix, kept + suffix)) {
            copied << suffix;
            for (const QString &partial : std::as_const(copied))
                QFile::remove(kept + partial);
            Log::error(QStringLiteral("Unable to keep a copy of the damaged database %1")
                           .arg(QDir::toNativeSeparators(m_path + suffix)));
            return false;
        }
        copied << suffix;
    }
    if (QSqlDatabase::contains(connectionNameText())) {
        {
            QSqlDatabase db = QSqlDatabase::database(connectionNameText(), false);
            db.close();
        }
        QSqlDatabase::removeDatabase(connectionNameText());
    }

    DatabaseSalvage salvage(kept, kept + QStringLiteral("-wal"));
    salvage.read();

    // The new file is built under the backup name, so that a crash before it is in place leaves
    // it to be restored at the next start.
    const QString backupPath = m_path + QStringLiteral(".backup");
    for (const QString &stale : {backupPath, backupPath + QStringLiteral("-journal")}) {
        if (QFile::exists(stale) && !QFile::remove(stale))
            return false;
    }
    if (!buildSalvagedCopy(backupPath, salvage)) {
        QFile::remove(backupPath);
        return false;
    }
    // A log left behind would be replayed into the new file.
    for (const QString &suffix : SqliteFile::companions()) {
        if (QFileInfo::exists(m_path + suffix) && !QFile::remove(m_path + suffix)) {
            QFile::remove(backupPath);
            return false;
        }
    }
    if (!QFile::rename(backupPath, m_path))
        return false;

    const QString keptFile = kept + copied.value(0);
    const QString lost = salvage.lostCountExact()
        ? QString::number(salvage.lostRows())
        : QStringLiteral("at least %1 (unreadable pages: %2; lost rows are counted by the serials that "
                         "surviving index entries name)")
              .arg(salvage.lostRows())
              .arg(salvage.unreadablePages());
    Log::error(QStringLiteral("Database damaged: kept as %1 and rebuilt. Reports salvaged: %2. "
                              "Rows lost: %3.")
                   .arg(QDir::toNativeSeparators(keptFile))
                   .arg(salvage.rows().size())
                   .arg(lost));
    ++m_salvages;
    return true;
}

bool BatteryDatabase::buildSalvagedCopy(const QString &target, const DatabaseSalvage &salvage)
{
    const QString name = connectionNameText() + QStringLiteral("-salvage");
    bool built = false;
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), name);
        db.setDatabaseName(target);
        QStringList statements;
        QString error;
        built = db.open() && QSqlQuery(db).exec(QStringLiteral("PRAGMA page_size = 512"))
            && schemaStatements(statements, error) && runStatements(db, statements, error)
            && db.transaction();
        if (built) {
            QSqlQuery insert(db);
            built = insert.prepare(QStringLiteral("INSERT INTO batteries (serial, data) VALUES (?, ?)"));
            for (const DatabaseSalvage::Row &row : salvage.rows()) {
                if (!built)
                    break;
                insert.addBindValue(row.serial);
                insert.addBindValue(row.data);
                built = insert.exec();
            }
            if (!built)
                logQueryError(QStringLiteral("Salvage"), insert);
            built = built && db.commit();
        }
        db.close();
    }
    QSqlDatabase::removeDatabase(name);
    return built;
}

bool BatteryDatabase::checkVersion(QString &errorText)
{
    bool versioned = false;
    {
        QSqlQuery query(QStringLiteral("SELECT database_version FROM config"), connection());
        if (query.next()) {
            if (query.value(0).toInt() != 1) {
                errorText = QStringLiteral("Database error: unable to continue");
                return false;
            }
            versioned = true;
        }
    }
    QStringList present;
    {
        QSqlQuery query(connection());
        if (!query.exec(QStringLiteral("SELECT name FROM sqlite_master"))) {
            errorText = QStringLiteral("Database configuration error:\n") + query.lastError().databaseText();
            return false;
        }
        while (query.next())
            present << query.value(0).toString();
    }
    // Only an empty file gets the whole schema, whose first statements drop the tables.
    if (present.isEmpty())
        return createSchema(errorText);
    return completeSchema(present, versioned, errorText);
}

bool BatteryDatabase::createSchema(QString &errorText)
{
    QStringList statements;
    return schemaStatements(statements, errorText) && runStatements(connection(), statements, errorText);
}

// Puts back what is missing of a schema that holds rows: a table, the index, the version row.
bool BatteryDatabase::completeSchema(const QStringList &present, bool versioned, QString &errorText)
{
    const QString index = QStringLiteral("batteries_serial_idx");
    if (versioned && present.contains(QStringLiteral("batteries")) && present.contains(index))
        return true;
    QStringList statements;
    if (!schemaStatements(statements, errorText))
        return false;
    const auto statementFor = [&statements](const QString &start) {
        for (const QString &statement : std::as_const(statements)) {
            if (statement.trimmed().startsWith(start))
                return QStringList{statement};
        }
        return QStringList();
    };
    for (const QString &table : {QStringLiteral("batteries"), QStringLiteral("config")}) {
        if (present.contains(table))
            continue;
        if (!runStatements(connection(), statementFor(QStringLiteral("CREATE TABLE %1 ").arg(table)), errorText))
            return false;
        Log::warning(QStringLiteral("Database table %1 was missing and has been created").arg(table));
    }
    if (!present.contains(index)
        && !runStatements(connection(), statementFor(QStringLiteral("CREATE INDEX ")), errorText))
        return false;
    if (versioned)
        return true;
    if (!runStatements(connection(), statementFor(QStringLiteral("INSERT INTO config")), errorText))
        return false;
    Log::warning(QStringLiteral("Database version was missing and has been written back"));
    return true;
}

bool BatteryDatabase::isOpen() const
{
    return connection().isOpen();
}

BatteryDatabase::Replaced BatteryDatabase::storedRecord(QSqlQuery &lookup, bool prepared, const BatteryRecord &record)
{
    if (!prepared) {
        logQueryError(QStringLiteral("Health-Prepare"), lookup);
        return std::nullopt;
    }
    lookup.bindValue(0, record.serialKey());
    if (!lookup.exec())
        logQueryError(QStringLiteral("Health"), lookup);
    Replaced stored;
    if (lookup.next()) {
        const QByteArray bytes = lookup.value(0).toByteArray();
        if (isValidRecord(bytes))
            stored = BatteryRecord::fromBytes(bytes);
    }
    lookup.finish();
    return stored;
}

QList<BatteryDatabase::Replaced> BatteryDatabase::saveReports(const QList<BatteryRecord> &records, SaveOutcome *outcome,
                                                              Lookup lookupReplaced)
{
    QList<Replaced> replaced;
    if (records.isEmpty())
        return replaced;
    replaced.reserve(records.size());
    const QSqlDatabase db = connection();
    QSqlQuery control(db);
    QSqlQuery lookup(db);
    QSqlQuery upsert(db);
    SaveOutcome result;
    const auto failed = [&result](const QSqlError &error) {
        if (result.failure.isEmpty())
            result.failure = error.text();
        result.diskFull = result.diskFull || SqliteFile::isDiskFull(error);
    };

    // Each step runs whatever became of the one before: a report is worth more than a clean rollback.
    if (!control.exec(QStringLiteral("BEGIN TRANSACTION")))
        failed(control.lastError());
    const bool lookupPrepared = lookup.prepare(QStringLiteral("SELECT data FROM batteries WHERE serial = ?"));
    // Without look-ups the rows go a group to a statement.
    static const GroupedRows names({'s', 'd'}, UpsertGroup);
    const auto upsertOf = [](int rows) {
        return QStringLiteral("INSERT INTO batteries (serial, data) VALUES %1 ON CONFLICT (serial) DO UPDATE SET data "
                              "= excluded.data")
            .arg(names.values(rows));
    };
    QSqlQuery group(db);
    const bool grouped = lookupReplaced == Lookup::None && records.size() >= UpsertGroup;
    const bool groupPrepared = grouped && group.prepare(upsertOf(UpsertGroup));
    const bool upsertPrepared = upsert.prepare(upsertOf(1));
    if (!upsertPrepared)
        failed(upsert.lastError()); // the group's statement unprepared leaves its rows to this one
    qsizetype next = 0;
    for (; groupPrepared && next + UpsertGroup <= records.size(); next += UpsertGroup) {
        for (int row = 0; row < UpsertGroup; ++row) {
            group.bindValue(names.name(row, 0), records[next + row].serialKey());
            group.bindValue(names.name(row, 1), records[next + row].toBytes());
        }
        if (!group.exec())
            failed(group.lastError());
    }
    for (; next < records.size(); ++next) {
        const BatteryRecord &record = records[next];
        if (lookupReplaced == Lookup::Replaced)
            replaced.append(storedRecord(lookup, lookupPrepared, record));
        if (!upsertPrepared)
            continue;
        upsert.bindValue(names.name(0, 0), record.serialKey());
        upsert.bindValue(names.name(0, 1), record.toBytes());
        if (!upsert.exec())
            failed(upsert.lastError());
    }
    if (!control.exec(QStringLiteral("COMMIT"))) {
        failed(control.lastError());
        QSqlQuery(db).exec(QStringLiteral("ROLLBACK")); // so that the next save begins afresh
    }
    countSaves(int(records.size()));

    result.stored = QList<bool>(records.size(), true);
    if (!result.failure.isEmpty()) {
        // What the file holds is the truth: a battery's newest record of the group is there, or none is.
        QHash<QByteArray, bool> held;
        for (qsizetype i = records.size(); i-- > 0;) {
            const QByteArray key = records[i].serialKey();
            auto it = held.find(key);
            if (it == held.end()) {
                // Read back quietly: a file that cannot even be read holds nothing anyone may be shown.
                bool there = false;
                if (lookupPrepared) {
                    lookup.bindValue(0, key);
                    there = lookup.exec() && lookup.next() && lookup.value(0).toByteArray() == records[i].toBytes();
                    lookup.finish();
                }
                it = held.insert(key, there);
            }
            result.stored[i] = *it;
            result.notStored += *it ? 0 : 1;
        }
    }
    if (outcome)
        *outcome = result;
    else if (result.notStored > 0)
        Log::write(QStringLiteral("%1 report(s) not stored: %2").arg(result.notStored).arg(result.failure),
                              LogType::Error);
    return replaced;
}

void BatteryDatabase::countSaves(int saves)
{
    // One checkpoint per hundred saves; saves committed together are checkpointed after their commit.
    m_savesSinceCheckpoint += saves;
    if (m_savesSinceCheckpoint >= CheckpointInterval) {
        QSqlQuery checkpoint(connection());
        checkpoint.exec(QStringLiteral("PRAGMA wal_checkpoint"));
        m_savesSinceCheckpoint %= CheckpointInterval;
    }
}

QList<BatteryRecord> BatteryDatabase::validReports()
{
    QList<BatteryRecord> records;
    forEachValidReport([&records](const BatteryRecord &record) { records.append(record); });
    return records;
}

void BatteryDatabase::forEachValidReport(const std::function<void(const BatteryRecord &)> &visit)
{
    QSqlQuery query(connection());
    // Forward only: the driver would otherwise keep a copy of every row of a large fleet.
    query.setForwardOnly(true);
    if (!query.exec(QStringLiteral("SELECT data FROM batteries ORDER BY serial")))
        logQueryError(QStringLiteral("Get Reports"), query);
    while (query.next()) {
        const QByteArray data = query.value(0).toByteArray();
        if (isValidRecord(data))
            visit(BatteryRecord::fromBytes(data));
    }
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
