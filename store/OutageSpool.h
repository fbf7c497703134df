#pragma once

#include "BatteryRecord.h"

#include <QByteArray>
#include <QList>
#include <QString>

namespace NVL::Engineering::VK {

// Reports that reached the server while the shared database could not be reached, kept in order in a
// local SQLite file (synchronous, so that a restart loses none) until they are stored there. Bounded:
// beyond the limit a report is refused, not an older one dropped.
class OutageSpool
{
public:
    struct Entry
    {
        qint64 id = 0;
        BatteryRecord record;
        QByteArray sender;
        // Not 0: a delete request for the record's battery, made at this time, waiting its turn.
        qint64 deletedAt = 0;
    };

    OutageSpool(const QString &path, qsizetype limit);
    ~OutageSpool();
    OutageSpool(const OutageSpool &) = delete;
    OutageSpool &operator=(const OutageSpool &) = delete;

    bool open(QString &errorText);
    bool isOpen() const { return m_open; }
    qsizetype size() const { return m_size; }
    // Of them, delete requests.
    qsizetype deletes() const { return m_deletes; }
    // Appends in one transaction as many as the bound allows; answers how many, with the reason for
    // the rest.
    qsizetype append(const QList<BatteryRecord> &records, const QList<QByteArray> &senders, QString &errorText);
    // Behind the reports before it, as the request came: a battery deleted and then reported again is back.
    bool appendDelete(const QByteArray &serial, qint64 time, QString &errorText);
    QList<Entry> oldest(int count);
    // Removes the entries up to and including this id, once they are stored elsewhere.
    bool removeUpTo(qint64 id, QString &errorText);
    void close();

private:
    const QString m_path;
    const QString m_connection;
    const qsizetype m_limit;
    qsizetype m_size = 0;
    qsizetype m_deletes = 0;
    bool m_open = false;
};

} // namespace NVL::Engineering::VK
