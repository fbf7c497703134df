#pragma once

#include "BatteryRecord.h"
#include "Forecast.h"
#include "ForecastAccuracy.h"
#include "HistoryPoint.h"
#include "HistorySettings.h"
#include "LogType.h"

#include <QByteArray>
#include <QHash>
#include <QList>
#include <QObject>
#include <QString>

#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <thread>
#include <utility>

namespace NVL::Engineering::VK {

class HistoryWorker;

// The server's side of the history. The file is written on a thread of its own (HistoryWorker), so that
// a slow history never slows the radios: points of committed reports are handed over and written there
// in batches, in the order they came. Questions wait for the work handed over before them, and for at
// most one turn of background work. Whatever becomes of the history file, the caller is told nothing:
// failures are logged and the history is left off. Everything crosses between the threads under one
// mutex, which ThreadSanitizer sees, not inside Qt's events.
class HistoryKeeper : public QObject
{
    Q_OBJECT

public:
    // Points waiting for the thread beyond this are not written, and the log says so: the reports are
    // stored all the same, only their history is thinner.
    static constexpr qsizetype MaxWaitingPoints = 262144;
    // Points written in one transaction at most: some 15 ms, what a question asked meanwhile waits.
    static constexpr qsizetype PointBatch = 4096;
    // Stored forecasts told at once while they are loaded.
    static constexpr qsizetype LoadBatch = 16384;

    HistoryKeeper(const HistorySettings &settings, const QString &path, QObject *parent = nullptr);
    ~HistoryKeeper() override;

    // As the thread last told: a failure found by the thread shows here soon after.
    bool isOpen() const;
    // Why the history is not kept although it is on, for people; empty while it is kept.
    QString problem() const;
    // Why the history's writes fail while it is open (a full disk); empty while they work.
    QString failure() const;
    int boundary() const { return m_boundary; }
    int fileReplacements() const;
    // Batteries whose forecast the start found missing or out of date and that are not fitted yet: the due
    // lists leave them out until then, and say so. 0 once the start's fitting is done.
    qsizetype pendingForecasts() const;
    // None pending and every batch told: the fleet model holds what the start loaded and fitted.
    bool forecastsSettled() const;

    // Reports in vk.db from this time on may lack their point (a process that ended between the two
    // commits); older ones have theirs.
    qint64 catchUpSince();
    // Writes, in the background, the points of those of these reports that lack one.
    void catchUp(QList<BatteryRecord> reports);
    // Reports just committed to vk.db, with their senders' addresses where the records cannot hold them
    // (HistoryStore::addPoints). Returns at once; pointsWritten tells what became of them.
    void record(const QList<BatteryRecord> &reports, const QList<QByteArray> &senders = {});
    void removeBattery(const QByteArray &serial);
    // Points kept elsewhere (the shared database) are taken in by a file that holds no battery yet (a server
    // new to a shared database, or one whose file was lost) or whose taking-in a stop cut short: true when
    // they are, now marked begun.
    bool beginAdoption();
    void endAdoption();
    // Points kept elsewhere, written as they are; their forecasts follow in the background.
    void adopt(const QList<QPair<QByteArray, QList<HistoryPoint>>> &batteries);
    // Jobs handed over and not yet done: a reader of a fleet's points waits while the thread is behind.
    qsizetype waitingJobs() const;

    // Empty when the battery has no history.
    std::optional<QList<HistoryPoint>> history(const QByteArray &serial, qint64 from, qint64 to);
    // Brought up to date first if its history changed since it was fitted.
    std::optional<Forecast> forecast(const QByteArray &serial);
    // The fleet's forecast track record in force and when it was made (seconds since 1970; 0: none yet,
    // the built-in one is in force).
    std::pair<ForecastAccuracy, qint64> accuracy() const;
    // The stored forecasts, read on the history's thread and told through forecastsLoaded in batches, so
    // that a start does not wait for them; until then they count as pending, as `expected` less those
    // told.
    void loadForecasts(qsizetype expected);

signals:
    // Forecasts just fitted and stored, by serial.
    void forecastsFitted(const QHash<QByteArray, Forecast> &forecasts);
    // Forecasts stored earlier, read after a start.
    void forecastsLoaded(const QHash<QByteArray, Forecast> &forecasts);
    // A damaged history file was set aside and replaced while running.
    void fileReplaced();
    void pointsWritten(int points);

private:
    struct Job
    {
        QList<BatteryRecord> reports; // points to write, when there is no call
        QList<QByteArray> senders;
        std::function<void(HistoryWorker &)> call;
    };
    struct State
    {
        bool open = false;
        QString problem;
        QString failure;
        int replacements = 0;
        qsizetype pendingForecasts = 0;
    };

    void run(const HistorySettings &settings, const QString &path);
    void publish(HistoryWorker &worker, int written);
    void post(Job job);
    void ask(const std::function<void(HistoryWorker &)> &call);
    Q_INVOKABLE void deliver();
    void postDeliveryLocked();
    // On the history's thread: a batch of the stored forecasts after `afterId`, then the rest as a job.
    void loadSome(HistoryWorker &worker, qint64 afterId);

    const int m_boundary;
    bool m_behindLogged = false; // main thread only

    mutable std::mutex m_mutex;
    std::condition_variable m_wake;     // the thread: work came, or stop
    std::condition_variable m_answered; // the caller: the thread is ready, or a question is answered
    std::deque<Job> m_jobs;             // guarded by m_mutex
    qsizetype m_waitingPoints = 0;      // guarded by m_mutex
    quint64 m_asked = 0;                // guarded by m_mutex
    quint64 m_answeredUpTo = 0;         // guarded by m_mutex
    bool m_ready = false;               // guarded by m_mutex
    qint64 m_catchUpSince = 0;          // guarded by m_mutex; found when the file is opened
    bool m_stopping = false;            // guarded by m_mutex
    State m_state;                      // guarded by m_mutex
    ForecastAccuracy m_accuracy = ForecastAccuracy::prior(); // guarded by m_mutex
    qint64 m_accuracyMade = 0;          // guarded by m_mutex
    struct ForecastBatch
    {
        QHash<QByteArray, Forecast> forecasts;
        bool loaded = false; // read from the file, not fitted now
    };
    std::deque<ForecastBatch> m_fitted; // guarded by m_mutex; one batch told a turn
    qsizetype m_loading = 0;            // guarded by m_mutex
    int m_written = 0;                  // guarded by m_mutex
    int m_replaced = 0;                 // guarded by m_mutex
    QList<std::pair<QString, LogType>> m_said; // guarded by m_mutex
    bool m_deliveryPosted = false;      // guarded by m_mutex
    std::thread m_thread;               // last: started once the rest is made
};

} // namespace NVL::Engineering::VK
