#pragma once

#include "BatteryStore.h"
#include "OutageSpool.h"
#include "PostgresTarget.h"

#include <QDateTime>
#include <QDeadlineTimer>
#include <QElapsedTimer>
#include <QSet>
#include <QTcpSocket>

#include <memory>

namespace NVL::Engineering::VK {

// The newest report of every battery in a PostgreSQL database that several servers share. The
// newest report time wins whoever stores it; each row keeps the site and address it came through and
// a change number, by which every server fetches what the others wrote. While the database cannot be
// reached, reports wait in the outage spool and are stored, in order, once it is back. Runs on one
// thread; a call may wait for a database that answers, a lost connection is noticed within seconds (TCP
// keepalives), and a host that does not answer is asked again without waiting for it.
class PostgresBatteryStore : public BatteryStore
{
public:
    // keepPoints: every stored report is also a point of its battery's history in the database.
    PostgresBatteryStore(const PostgresTarget &target, const QString &site, const QString &spoolPath,
                         qsizetype spoolLimit, bool keepPoints);
    ~PostgresBatteryStore() override;

    // Fails on what a wrong configuration causes (the password file, the schema); a database that
    // cannot be reached is not a failure while the outage spool can be written.
    bool open(QString &errorText) override;
    bool isOpen() const override { return m_connected || m_spool.isOpen(); }
    void saveReports(const QList<BatteryRecord> &records, const QList<QByteArray> &senders,
                     SaveOutcome &outcome) override;
    void forEachValidReport(const std::function<void(const BatteryRecord &)> &visit) override;
    // Stored here: by this site.
    void forEachValidReportPlaced(const std::function<void(const BatteryRecord &, bool storedHere)> &visit) override;
    QList<BatteryRecord> validReports() override;
    void deleteReport(const QByteArray &serial) override;
    void close() override;
    QString problem() const override;

    bool isConnected() const { return m_connected; }
    // The store's connection, for what the servers record beside the fleet; open while isConnected().
    QSqlDatabase database() const { return db(); }
    const QString &site() const { return m_site; }
    qsizetype spooled() const { return m_spool.size(); }
    struct Reports
    {
        QList<BatteryRecord> records;
        QList<QByteArray> senders; // as saveReports takes them
    };
    struct CaughtUp
    {
        QList<BatteryRecord> changed; // every row written since the last call, by any server
        QList<QByteArray> removed;    // serials deleted since the last call, by any server
        qsizetype rows = 0;           // changed and removed together
        Reports drained;              // spooled reports just stored as their batteries' newest
        Reports elsewhere;            // those of `changed` that other sites stored
    };
    // Reconnects when the database was gone, stores a part of the spool, and gives the rows written
    // since the last call, at most `limit` of them.
    static constexpr int CatchUpRows = 5000;
    CaughtUp catchUp(int limit = CatchUpRows);

    // Spooled reports stored per call of catchUp: one short transaction, not the whole outage at once.
    static constexpr int DrainBatch = 2000;

private:
    // reached: the server answered, and what failed was the sign-in or the schema.
    bool connect(QString &errorText, bool &reached);
    // Whether the host took a TCP connection, asked without waiting: the sign-in that follows waits up to
    // the connect timeout for a host that does not answer, and the radios would wait with it. False
    // while the answer is still to come.
    bool hostAnswers();
    void lostConnection(const QString &reason);
    // Upserts in one transaction; false with the reason when it failed (nothing of it is stored then).
    bool upsert(const QList<BatteryRecord> &records, const QList<QByteArray> &senders, QSet<QByteArray> &won,
                QString &errorText);
    void spool(const QList<BatteryRecord> &records, const QList<QByteArray> &senders, SaveOutcome &outcome);
    void drainSpool(Reports &drained);
    // Marks the battery deleted and drops its points and forecast, those of report times up to `upTo`.
    bool markDeleted(const QByteArray &serial, qint64 upTo, QString &errorText);
    QSqlDatabase db() const;
    // The VALUES rows of the points of the valid records, one per battery and second.
    QString pointRows(const QList<BatteryRecord> &records, const QList<QByteArray> &senders) const;

    const PostgresTarget m_target;
    const QString m_site;
    const bool m_keepPoints;
    const QString m_connection;
    OutageSpool m_spool;
    bool m_connected = false;
    bool m_added = false;
    qint64 m_seenChange = 0;
    // Attempts to reconnect wait longer after each failure, up to MaxRetryMs: a host that does not
    // answer holds the thread for the connect timeout at each one.
    static constexpr int MaxRetryMs = 5000;
    int m_retryMs = 0;
    QDeadlineTimer m_nextAttempt;
    std::unique_ptr<QTcpSocket> m_probe;
    QElapsedTimer m_probeClock;
    QDateTime m_lostSince;
    QString m_lostReason;
};

} // namespace NVL::Engineering::VK
