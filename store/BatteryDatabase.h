#pragma once

#include "BatteryRecord.h"

#include <QByteArray>
#include <QList>
#include <QSqlQuery>
#include <QString>
#include <QStringList>

#include <functional>
#include <optional>

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

    // The record the battery's row held, when that was a valid one.
    using Replaced = std::optional<BatteryRecord>;
    // What became of a save: which records are in the file now, and why the others are not.
    struct SaveOutcome
    {
        QList<bool> stored; // in the order of the records
        qsizetype notStored = 0;
        bool diskFull = false;
        QString failure; // the first error; empty when every record is stored
    };
    // Saves the records in arrival order in one transaction, each replacing its battery's row in one
    // statement, so that a failure never leaves a battery without its row. Returns, in the same order,
    // what each replaced: a battery reported twice finds its first report. After any failure the file is
    // read back to tell what it holds. Failures are logged only when no outcome is asked for (the caller
    // counts them then). A checkpoint follows every hundred saves.
    // A caller that knows what the rows hold (the server keeps every battery's record in memory) saves
    // without the lookups and gets no list back.
    enum class Lookup { Replaced, None };
    QList<Replaced> saveReports(const QList<BatteryRecord> &records, SaveOutcome *outcome = nullptr,
                                Lookup lookup = Lookup::Replaced);
    // The stored rows that hold valid records, in ascending byte order of the serial; other rows are
    // left out.
    QList<BatteryRecord> validReports();
    // The same rows one at a time, for readers that keep only what they make of them.
    void forEachValidReport(const std::function<void(const BatteryRecord &)> &visit);
    void deleteReport(const QByteArray &serial);
    void close();

    QString path() const;
    // Damaged files set aside and rebuilt by this object.
    int salvages() const { return m_salvages; }

    // Registry name of the one connection.
    static QString connectionName();

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
    static Replaced storedRecord(QSqlQuery &lookup, bool prepared, const BatteryRecord &record);
    void countSaves(int saves);

    const QString m_path;
    int m_savesSinceCheckpoint = 0;
    // Set by the integrity check: the file itself is damaged, as opposed to merely unreachable.
    bool m_damageFound = false;
    int m_salvages = 0;
};

} // namespace NVL::Engineering::VK
