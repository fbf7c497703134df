#pragma once

#include "BatteryRecord.h"

#include <QByteArray>
#include <QList>
#include <QString>

#include <functional>

namespace NVL::Engineering::VK {

// What the server needs of the store of every battery's newest report, whichever database holds it.
class BatteryStore
{
public:
    // What became of a save.
    struct SaveOutcome
    {
        QList<bool> stored; // in the order of the records: the store now holds it as its battery's newest
        qsizetype notStored = 0; // failed and lost
        qsizetype queued = 0;    // kept locally until the database is back; not stored yet
        qsizetype superseded = 0; // a newer report of the battery is already stored (another server's)
        bool diskFull = false;
        QString failure; // the first error; empty when nothing failed
    };

    virtual ~BatteryStore() = default;

    // Opens and, where needed, creates or migrates the store; false with the reason otherwise.
    virtual bool open(QString &errorText) = 0;
    virtual bool isOpen() const = 0;
    // Saves the records in arrival order in one transaction; senders are the addresses the records
    // cannot hold (IPv6), empty where the record holds it.
    virtual void saveReports(const QList<BatteryRecord> &records, const QList<QByteArray> &senders,
                             SaveOutcome &outcome) = 0;
    virtual void forEachValidReport(const std::function<void(const BatteryRecord &)> &visit) = 0;
    // The same, with whether this server stored the report: a store several servers share holds the
    // others' too. A store of this server's alone stored every one.
    virtual void forEachValidReportPlaced(const std::function<void(const BatteryRecord &, bool storedHere)> &visit)
    {
        forEachValidReport([&visit](const BatteryRecord &record) { visit(record, true); });
    }
    virtual QList<BatteryRecord> validReports() = 0;
    virtual void deleteReport(const QByteArray &serial) = 0;
    virtual void close() = 0;
    // Damaged files set aside and rebuilt at the open.
    virtual int salvages() const { return 0; }
    // What keeps the store from working as it should, for /healthz; empty when nothing does.
    virtual QString problem() const { return isOpen() ? QString() : QStringLiteral("the battery database is not open"); }
};

} // namespace NVL::Engineering::VK
