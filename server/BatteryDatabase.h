#pragma once

#include "BatteryRecord.h"

#include <QByteArray>
#include <QList>
#include <QSqlQuery>
#include <QString>
#include <QStringList>

namespace NVL::Engineering::VK {

class DatabaseSalvage;

// The SQLite store of the newest report of every battery, one row per serial.
// The open connection lives in Qt's connection registry under one fixed name and is fetched from
// there for every operation; destroying the object removes it. Nothing here throws: failures come
// back as results or go to the event log.
class BatteryDatabase
{
public:
    explicit BatteryDatabase(const QString &path);
    ~BatteryDatabase();

    BatteryDatabase(const BatteryDatabase &) = delete;
    BatteryDatabase &operator=(const BatteryDatabase &) = delete;

    // Opens the file and tunes the connection. A file that fails the integrity check or is no
    // database is kept aside under a time-stamped name and replaced by a sound one holding every
    // row that could still be read from it and its write-ahead log.
    bool openWithRecovery();
    // True when the schema is at version 1. Creates it in an empty file; in one that holds tables,
    // only what is missing is created again, so that no stored row is ever dropped.
    bool checkVersion(QString &errorText);
    bool isOpen() const;

    // True when a valid stored record of the same serial has a better health class.
    bool healthDropped(const BatteryRecord &record);
    // Replaces the battery's row in one transaction.
    void saveReport(const BatteryRecord &record);
    // Saves the records in arrival order in one transaction: each is looked at with healthDropped just
    // before its own save, so a battery reported twice is compared with its first report. Returns the
    // healthDropped answers in the same order. Checkpoints as often as single saves would.
    QList<bool> saveReports(const QList<BatteryRecord> &records);
    // All rows in ascending byte order of the serial; the query can be walked more than once.
    QSqlQuery getReports();
    // The stored rows that hold valid records, in the same order; other rows are left out.
    QList<BatteryRecord> validReports();
    void deleteReport(const QByteArray &serial);
    void close();

    QString path() const;

    // Registry name of the one connection.
    static QString connectionName();

    // Saves since process start, modulo the checkpoint interval; exposed for tests.
    static int saveCount();
    static void resetSaveCount();

private:
    bool openConnection();
    bool integrityCheck();
    bool configure();
    bool createSchema(QString &errorText);
    bool completeSchema(const QStringList &present, bool versioned, QString &errorText);
    bool restoreOrphanedBackup();
    bool logWouldBeDiscarded() const;
    bool salvage();
    bool buildSalvagedCopy(const QString &target, const DatabaseSalvage &salvage);
    static void logQueryError(const QString &label, const QSqlQuery &query);
    static bool droppedAgainstStored(QSqlQuery &lookup, bool prepared, const BatteryRecord &record);
    static void countSaves(int saves);

    const QString m_path;
    // Set by the integrity check: the file itself is damaged, as opposed to merely unreachable.
    bool m_damageFound = false;
};

} // namespace NVL::Engineering::VK
