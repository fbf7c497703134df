#pragma once

#include "BatteryRecord.h"
#include "Forecast.h"
#include "HistoryPoint.h"
#include "HistorySettings.h"
#include "HistoryStore.h"

#include <QByteArray>
#include <QElapsedTimer>
#include <QHash>
#include <QList>
#include <QObject>
#include <QTimer>

#include <functional>
#include <optional>

namespace NVL::Engineering::VK {

// The server's side of the history: points of the committed reports go in at once; forecasts of the
// batteries whose history changed, and the daily retention pass, are worked off in short turns of the
// event loop so that radios are never kept waiting for them. Whatever becomes of the history file,
// the caller is told nothing: failures are logged and the history is left off.
class HistoryKeeper : public QObject
{
    Q_OBJECT

public:
    // Work done in one turn of the event loop before the loop gets back to radios.
    static constexpr int TurnBudgetMs = 10;
    // While reports keep coming the background work takes a turn only this often: radios first.
    static constexpr int BusyPauseMs = 250;
    // Points of the newest days are all kept; before them the last of each local day.
    static constexpr int KeepAllDays = 30;

    HistoryKeeper(const HistorySettings &settings, const QString &path, QObject *parent = nullptr);

    bool isOpen() const { return m_store.isOpen(); }
    // Why the history is not kept although it is on, for people; empty while it is kept.
    QString problem() const { return m_store.problem(); }
    int boundary() const { return m_settings.boundary; }

    // Reports in vk.db from this time on may lack their point (a process that ended between the two
    // commits); older ones have theirs.
    qint64 catchUpSince();
    // Writes, in the background, the points of those of these reports that lack one.
    void catchUp(QList<BatteryRecord> reports);
    // Reports just committed to vk.db, with their senders' addresses where the records cannot hold them
    // (HistoryStore::addPoints); the number of points written.
    int record(const QList<BatteryRecord> &reports, const QList<QByteArray> &senders = {});
    void removeBattery(const QByteArray &serial);
    // True while the file holds no battery: a server new to a shared database, or one whose file was lost.
    bool isEmpty() { return m_store.batteryIds().isEmpty(); }
    // Points kept elsewhere (the shared database), written as they are; their forecast follows in the
    // background.
    void adopt(const QByteArray &serial, const QList<HistoryPoint> &points);

    // Empty when the battery has no history.
    std::optional<QList<HistoryPoint>> history(const QByteArray &serial, qint64 from, qint64 to);
    // Brought up to date first if its history changed since it was fitted.
    std::optional<Forecast> forecast(const QByteArray &serial);
    // As stored: those of batteries that reported a moment ago may still be a turn or two behind.
    void forEachForecast(const std::function<void(const QByteArray &serial, const Forecast &)> &visit);
    // History files found damaged and replaced since start.
    int fileReplacements() const { return m_store.replacements(); }
    // Batteries whose forecast the start found missing or out of date and that are not fitted yet: the due
    // lists leave them out until then, and say so. 0 once the start's fitting is done.
    qsizetype pendingForecasts() const { return m_startFitting.running ? m_stale.size() : 0; }

signals:
    // Forecasts just fitted and stored, by serial.
    void forecastsFitted(const QHash<QByteArray, Forecast> &forecasts);
    // A damaged history file was set aside and replaced while running.
    void fileReplaced();

private:
    void checkDamage();
    void scheduleWork();
    void workTurn();
    bool refreshSomeForecasts(const QElapsedTimer &turn);
    bool catchUpSome(const QElapsedTimer &turn);
    bool thinSome(const QElapsedTimer &turn);
    void startPassIfNewDay();
    void finishPass();
    void finishStartFitting();

    HistorySettings m_settings;
    HistoryStore m_store;
    void refresh(const QList<qint64> &ids);

    QHash<qint64, QByteArray> m_stale; // serial of each battery whose forecast is to be fitted again
    QTimer m_work;
    QElapsedTimer m_lastReports;
    QTimer m_dayCheck;

    QList<BatteryRecord> m_catchUp;
    qsizetype m_catchUpNext = 0;
    qsizetype m_caughtUp = 0;

    struct StartFitting
    {
        bool running = false;
        qsizetype batteries = 0;
        QElapsedTimer clock;
    } m_startFitting;

    struct Pass
    {
        bool running = false;
        qint64 day = -1; // local day the last pass started on
        qint64 examineFrom = 0;
        qint64 cutoff = 0;
        qint64 removeBefore = 0;
        QList<qint64> ids;
        qsizetype next = 0;
        qint64 removed = 0;
        qint64 longestTurnMs = 0;
        QElapsedTimer clock;
    } m_pass;
};

} // namespace NVL::Engineering::VK
