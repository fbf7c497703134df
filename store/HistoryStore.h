#pragma once

#include "BatteryRecord.h"
#include "Forecast.h"
#include "HistoryPoint.h"
#include "LocalDays.h"

#include <QByteArray>
#include <QHash>
#include <QList>
#include <QString>

#include <functional>
#include <memory>
#include <optional>
#include <utility>
#include <vector>

class QSqlError;
class QSqlQuery;

namespace NVL::Engineering::VK {

// The history file beside vk.db: every accepted report as a point, and the forecast of every battery.
// Batteries get a small number of their own, so a point is a short row of a table ordered by battery
// and time (one battery's history is a run of neighbouring rows). Damage that SQLite reports, at open or
// later, sets the file aside and starts a fresh one with one Error; any other failure is logged and
// leaves the store closed. Nothing here throws or ends the process.
class HistoryStore
{
public:
    explicit HistoryStore(const QString &path);
    ~HistoryStore();

    HistoryStore(const HistoryStore &) = delete;
    HistoryStore &operator=(const HistoryStore &) = delete;

    bool open();
    bool isOpen() const { return m_open; }
    // SQLite called the file damaged: the store is closed until replaceDamaged(), which the owner calls
    // once the operation has returned.
    bool damaged() const { return m_damaged; }
    bool replaceDamaged();
    // Damaged files set aside and replaced since this object was made.
    int replacements() const { return m_replacements; }
    QString path() const { return m_path; }
    // Why the file is not in use, for people: empty while it is.
    QString problem() const { return m_open ? QString() : m_problem; }
    // Why the newest reports' points could not be written (a full disk, a file that cannot be written);
    // empty once they are written again. Reads that work meanwhile change nothing of it.
    QString failure() const { return m_open ? m_writeFailure : QString(); }

    // The valid records as points, in one transaction; the batteries whose history changed (with their
    // serials as numbers, a pair a point, when asked for). `senders` holds each record's sender address
    // where the record's own IPv4 field cannot tell it (an IPv6 peer); an empty or missing one means that
    // field.
    QList<qint64> addPoints(const QList<BatteryRecord> &records, QList<std::pair<qint64, quint64>> *serials = nullptr,
                            const QList<QByteArray> &senders = {});
    // Points as they are, for a store written outside the server (synthetic fleets).
    bool addPoints(const QByteArray &serial, const QList<HistoryPoint> &points);
    void removeBattery(const QByteArray &serial);

    std::optional<qint64> idOf(const QByteArray &serial);
    QList<qint64> batteryIds();
    QList<HistoryPoint> points(qint64 id, qint64 from, qint64 to);

    // Of the points from examineFrom up to before cutoff keeps the median of each local day, and removes all
    // before removeBefore, for these batteries in one transaction. The number of points removed, -1 on failure.
    int thin(const QList<qint64> &ids, qint64 examineFrom, qint64 cutoff, qint64 removeBefore);

    // What a battery's daily points of its newest year make of its forecast.
    using Fit = std::function<Forecast(const QList<DailyHealth> &days)>;
    // Fits and stores the forecasts of these batteries in one transaction; false on failure. The new
    // forecasts by battery, when asked for.
    bool refreshForecasts(const QList<qint64> &ids, const Fit &fit, QHash<qint64, Forecast> *fitted = nullptr);
    std::optional<Forecast> forecast(qint64 id);
    // Each stored forecast with its battery's serial.
    // At most `limit` stored forecasts in the order of their battery's id, from after `afterId`; the id of
    // the last one visited, or -1 when none was left.
    qint64 forEachForecast(qint64 afterId, int limit, const std::function<void(const QByteArray &serial, const Forecast &)> &visit);
    // Every battery with its serial as a number (serialNumber), in the order of its id.
    QList<std::pair<qint64, quint64>> everyBattery();
    // Batteries whose stored forecast is missing or older than their newest point.
    QList<qint64> staleForecasts(QHash<qint64, QByteArray> *serials = nullptr);

    // Time of the newest point any stored forecast was fitted on; points of reports before it are all
    // written (a group's points are written before its forecasts). Empty when no forecast is stored.
    std::optional<qint64> newestFitted();
    // Those of the records whose report time is newer than their battery's newest point: reports stored
    // in vk.db whose points were lost with the process.
    QList<BatteryRecord> withoutPoint(const QList<BatteryRecord> &records);

    // The daily points a fit reads of these batteries (Forecast::ReadDays back from each one's newest), by
    // battery; false on failure.
    bool forEachDays(const QList<qint64> &ids, const std::function<void(qint64 id, const QList<DailyHealth> &days)> &visit);
    // The fleet's forecast track record as last made, and when (seconds since 1970); empty when none is.
    std::optional<std::pair<qint64, QByteArray>> trackRecord();
    bool setTrackRecord(qint64 made, const QByteArray &record);

    // Gives the page cache back: the cache a start's fitting of the whole fleet filled is idle after it.
    void releaseMemory();

    // Small settings of the file itself.
    qint64 metaValue(const QString &key, qint64 fallback);
    void setMetaValue(const QString &key, qint64 value);

private:
    bool openFile();
    bool createLayout(QSqlQuery &query);
    bool findNextId();
    // Logs a failed statement once per run of failures and the same failure at most once an hour, or
    // marks the file damaged. Always false.
    bool failed(const QString &label, const QSqlQuery &query);
    bool failed(const QString &label, const QSqlError &error);
    void succeeded() { m_failureLogged = false; }
    // `added` gets the serials whose rows this call inserted: a rollback must forget them again.
    std::optional<qint64> ensureId(const QByteArray &serial, QSqlQuery &lookup, QSqlQuery &insert, QList<quint64> &added);
    // Inside the caller's transaction; rows are (id, point). A failure is logged under the label.
    bool insertPoints(const std::vector<std::pair<qint64, HistoryPoint>> &rows, const QString &label);
    QList<DailyHealth> dailyHealth(QSqlQuery &query, qint64 id, qint64 since, ReportPlaces *places);
    // The statements of every commit's points, prepared once per open file: preparing them for each small
    // group of reports cost the radios more than writing the points.
    bool prepareReportStatements();
    void closeConnection();

    struct ReportStatements;
    std::unique_ptr<ReportStatements> m_reportStatements;
    struct ThinStatements;
    std::unique_ptr<ThinStatements> m_thinStatements;

    const QString m_path;
    const QString m_connection;
    bool m_open = false;
    bool m_failureLogged = false;
    static constexpr qint64 RepeatFailureMs = 3600 * 1000;
    QHash<QString, qint64> m_toldAt; // when each failure was last logged
    QString m_problem;
    QString m_writeFailure;
    bool m_damaged = false;
    int m_replacements = 0;
    qint64 m_nextId = 1;
    // The ids of the batteries written since the file was opened: a lookup in the file for every report
    // cost the radios a quarter of the server's time. Some 24 bytes a battery.
    QHash<quint64, qint64> m_ids;
    LocalDays m_days;
};

} // namespace NVL::Engineering::VK
