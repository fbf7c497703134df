#pragma once

#include "BatteryRecord.h"
#include "Forecast.h"
#include "ForecastAccuracy.h"
#include "HistoryPoint.h"
#include "HistorySettings.h"
#include "HistoryStore.h"
#include "LogType.h"
#include "ForecastTrackRecord.h"
#include "StaleForecasts.h"

#include <QByteArray>
#include <QElapsedTimer>
#include <QHash>
#include <QList>

#include <functional>
#include <optional>

namespace NVL::Engineering::VK {

// The work on the history file, done on the history's own thread (HistoryKeeper) and nowhere else:
// points of committed reports, forecasts of the batteries whose history changed, and the daily
// retention pass. The background work goes in short turns so that questions asked meanwhile are
// answered soon. Failures are logged and leave the history off.
class HistoryWorker
{
public:
    // Work done in one turn before questions get their answer.
    static constexpr int TurnBudgetMs = 10;
    // While reports keep coming the background work takes a turn only this often: points first.
    static constexpr int BusyPauseMs = 250;
    // Points of the newest days are all kept; before them the median of each local day.
    static constexpr int KeepAllDays = 30;
    // The day's pass, as the history file and the shared database both run it: before `cutoff` a day
    // keeps its last point, before `removeBefore` nothing stays.
    struct PassDates
    {
        qint64 cutoff = 0;
        qint64 removeBefore = 0;
    };
    static PassDates passDates(qint64 today, int years);

    // Opens the file; begin() then finds the forecasts to fit again and starts the day's pass.
    HistoryWorker(const HistorySettings &settings, const QString &path);
    void begin();
    HistoryWorker(const HistoryWorker &) = delete;
    HistoryWorker &operator=(const HistoryWorker &) = delete;

    bool isOpen() const { return m_store.isOpen(); }
    QString problem() const { return m_store.problem(); }
    QString failure() const { return m_store.failure(); }

    qint64 catchUpSince();
    void catchUp(QList<BatteryRecord> reports);
    // The number of points written.
    int record(const QList<BatteryRecord> &reports, const QList<QByteArray> &senders = {});
    void removeBattery(const QByteArray &serial);
    // Whether points kept elsewhere are to be taken in: the file holds no battery yet, or a stop cut their
    // taking-in short. Marks it begun; endAdoption marks it done.
    bool beginAdoption();
    void endAdoption();
    void adopt(const QByteArray &serial, const QList<HistoryPoint> &points);

    std::optional<QList<HistoryPoint>> history(const QByteArray &serial, qint64 from, qint64 to);
    std::optional<Forecast> forecast(const QByteArray &serial);
    // See HistoryStore::forEachForecast.
    qint64 forEachForecast(qint64 afterId, int limit, const std::function<void(const QByteArray &serial, const Forecast &)> &visit);
    int fileReplacements() const { return m_store.replacements(); }
    qsizetype pendingForecasts() const { return m_startFitting.running ? m_stale.size() : 0; }
    // The fleet's track record in force: what its forecasts' bands come from.
    const ForecastAccuracy &accuracy() const { return m_accuracy; }
    qint64 accuracyMade() const { return m_accuracyMade; }
    // The batteries a track record replays at most: a sample of a larger fleet says as much.
    static constexpr qsizetype TrackRecordSample = 20000;

    // Does a turn of background work when one is due.
    void workTurn();
    // How long the thread may sleep before the next turn or the daily check.
    int msToNextTurn();
    // Forecasts fitted since last asked, by serial.
    QHash<QByteArray, Forecast> takeFitted();
    // Damaged files replaced since last asked.
    int takeReplacements();
    // What the work has to tell people, since last asked: the server logs it on its main thread, with
    // the rest of what it says. Failures of the file are logged where they happen.
    struct Said
    {
        QString message;
        LogType type;
    };
    QList<Said> takeSaid();

private:
    void checkDamage();
    void scheduleWork();
    void say(const QString &message, LogType type);
    bool refreshSomeForecasts(const QElapsedTimer &turn);
    bool catchUpSome(const QElapsedTimer &turn);
    bool thinSome(const QElapsedTimer &turn);
    void startPassIfNewDay();
    void finishPass();
    void startTrackRecord();
    bool recordSome(const QElapsedTimer &turn);
    void finishTrackRecord();
    void finishStartFitting();

    HistorySettings m_settings;
    HistoryStore m_store;
    void refresh(const QList<qint64> &ids);

    StaleForecasts m_stale;
    QElapsedTimer m_turnDue; // valid while a turn is planned, since it was
    qint64 m_turnDelayMs = 0;
    QElapsedTimer m_lastReports;
    QElapsedTimer m_dayCheck;
    QHash<QByteArray, Forecast> m_fitted;
    int m_replacedUntold = 0;
    QList<Said> m_said;

    QList<BatteryRecord> m_catchUp;
    qsizetype m_catchUpNext = 0;
    qsizetype m_caughtUp = 0;

    struct StartFitting
    {
        bool running = false;
        qsizetype batteries = 0;
        QElapsedTimer clock;
    } m_startFitting;

    ForecastAccuracy m_accuracy = ForecastAccuracy::prior();
    qint64 m_accuracyMade = 0; // seconds since 1970; 0 while the prior is in force

    struct TrackRecordPass
    {
        bool running = false;
        QList<qint64> ids;
        qsizetype next = 0;
        std::optional<ForecastTrackRecord> record;
        QElapsedTimer clock;
    } m_trackRecord;

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
        qint64 cpuNanoseconds = 0; // of its turns alone
        QElapsedTimer clock;
    } m_pass;
};

} // namespace NVL::Engineering::VK
