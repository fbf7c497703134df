#include "HistoryKeeper.h"

#include "FreedMemory.h"

#include "HistoryWorker.h"
#include "Log.h"
#include "YieldingThread.h"

#include <chrono>
#include <iterator>

namespace NVL::Engineering::VK {

HistoryKeeper::HistoryKeeper(const HistorySettings &settings, const QString &path, QObject *parent)
    : QObject(parent)
    , m_boundary(settings.boundary)
{
    m_thread = std::thread(&HistoryKeeper::run, this, settings, path);
    // The file is open, or known not to be, before the first question.
    std::unique_lock lock(m_mutex);
    m_answered.wait(lock, [this] { return m_ready; });
}

HistoryKeeper::~HistoryKeeper()
{
    {
        const std::lock_guard lock(m_mutex);
        m_stopping = true;
    }
    m_wake.notify_all();
    // The points handed over are written first.
    m_thread.join();
    for (const auto &[message, type] : std::as_const(m_said))
        Log::write(message, type);
}

bool HistoryKeeper::isOpen() const
{
    const std::lock_guard lock(m_mutex);
    return m_state.open;
}

QString HistoryKeeper::problem() const
{
    const std::lock_guard lock(m_mutex);
    return m_state.problem;
}

QString HistoryKeeper::failure() const
{
    const std::lock_guard lock(m_mutex);
    return m_state.failure;
}

int HistoryKeeper::fileReplacements() const
{
    const std::lock_guard lock(m_mutex);
    return m_state.replacements;
}

qsizetype HistoryKeeper::pendingForecasts() const
{
    const std::lock_guard lock(m_mutex);
    return m_state.pendingForecasts + m_loading;
}

bool HistoryKeeper::forecastsSettled() const
{
    const std::lock_guard lock(m_mutex);
    return m_state.pendingForecasts + m_loading == 0 && m_fitted.empty();
}

qint64 HistoryKeeper::catchUpSince()
{
    const std::lock_guard lock(m_mutex);
    return m_catchUpSince;
}

void HistoryKeeper::catchUp(QList<BatteryRecord> reports)
{
    post({{}, {}, [reports = std::move(reports)](HistoryWorker &worker) mutable { worker.catchUp(std::move(reports)); }});
}

void HistoryKeeper::record(const QList<BatteryRecord> &reports, const QList<QByteArray> &senders)
{
    post({reports, senders, {}});
}

bool HistoryKeeper::beginAdoption()
{
    bool begun = false;
    ask([&begun](HistoryWorker &worker) { begun = worker.beginAdoption(); });
    return begun;
}

void HistoryKeeper::endAdoption()
{
    post({{}, {}, [](HistoryWorker &worker) { worker.endAdoption(); }});
}

void HistoryKeeper::adopt(const QList<QPair<QByteArray, QList<HistoryPoint>>> &batteries)
{
    post({{}, {}, [batteries](HistoryWorker &worker) {
              for (const auto &[serial, points] : batteries)
                  worker.adopt(serial, points);
          }});
}

qsizetype HistoryKeeper::waitingJobs() const
{
    const std::lock_guard lock(m_mutex);
    return qsizetype(m_jobs.size());
}

void HistoryKeeper::removeBattery(const QByteArray &serial)
{
    post({{}, {}, [serial](HistoryWorker &worker) { worker.removeBattery(serial); }});
}

std::optional<QList<HistoryPoint>> HistoryKeeper::history(const QByteArray &serial, qint64 from, qint64 to)
{
    std::optional<QList<HistoryPoint>> points;
    ask([&](HistoryWorker &worker) { points = worker.history(serial, from, to); });
    return points;
}

std::optional<Forecast> HistoryKeeper::forecast(const QByteArray &serial)
{
    std::optional<Forecast> result;
    ask([&](HistoryWorker &worker) { result = worker.forecast(serial); });
    return result;
}

std::pair<ForecastAccuracy, qint64> HistoryKeeper::accuracy() const
{
    const std::lock_guard lock(m_mutex);
    return {m_accuracy, m_accuracyMade};
}

void HistoryKeeper::post(Job job)
{
    qsizetype dropped = 0;
    {
        const std::lock_guard lock(m_mutex);
        const qsizetype points = job.reports.size();
        if (!job.call && m_waitingPoints + points > MaxWaitingPoints) {
            dropped = points;
        } else if (!job.call && !m_jobs.empty() && !m_jobs.back().call
                   && m_jobs.back().reports.size() + points <= PointBatch) {
            // One transaction for what came while the thread was busy.
            Job &last = m_jobs.back();
            if (!job.senders.isEmpty() || !last.senders.isEmpty()) {
                last.senders.resize(last.reports.size());
                job.senders.resize(points);
                last.senders.append(job.senders);
            }
            last.reports.append(job.reports);
            m_waitingPoints += points;
        } else {
            m_waitingPoints += points;
            m_jobs.push_back(std::move(job));
        }
        if (dropped == 0 && m_waitingPoints < MaxWaitingPoints / 2)
            m_behindLogged = false;
    }
    m_wake.notify_one();
    if (dropped > 0 && !m_behindLogged) {
        m_behindLogged = true;
        Log::write(QStringLiteral("The battery history falls behind the reports: points of %1 report(s) are not "
                                  "written while %2 wait (the reports themselves are stored)")
                       .arg(dropped)
                       .arg(MaxWaitingPoints),
                   LogType::Warning);
    }
}

void HistoryKeeper::ask(const std::function<void(HistoryWorker &)> &call)
{
    std::unique_lock lock(m_mutex);
    const quint64 ticket = ++m_asked;
    // The event loop waits for the answer: it goes before the points still waiting to be written (a
    // burst's backlog takes seconds), never before what was asked or told earlier, such as a removal.
    auto at = m_jobs.end();
    while (at != m_jobs.begin() && !std::prev(at)->call)
        --at;
    m_jobs.insert(at, {{}, {}, [this, &call, ticket](HistoryWorker &worker) {
                          call(worker);
                          const std::lock_guard answered(m_mutex);
                          m_answeredUpTo = ticket;
                          m_answered.notify_all();
                      }});
    m_wake.notify_one();
    m_answered.wait(lock, [this, ticket] { return m_answeredUpTo >= ticket; });
}

void HistoryKeeper::run(const HistorySettings &settings, const QString &path)
{
    YieldingThread::lowerCurrent();
    // Made and ended on this thread: the file's connection belongs to it.
    HistoryWorker worker(settings, path);
    publish(worker, 0);
    const qint64 catchUpSince = worker.catchUpSince();
    {
        const std::lock_guard lock(m_mutex);
        m_catchUpSince = catchUpSince;
        m_ready = true;
    }
    m_answered.notify_all();
    // The start goes on meanwhile: a million batteries take a second or two to look through.
    worker.begin();
    publish(worker, 0);
    for (;;) {
        const int sleepMs = worker.msToNextTurn();
        std::optional<Job> job;
        {
            std::unique_lock lock(m_mutex);
            m_wake.wait_for(lock, std::chrono::milliseconds(sleepMs), [this] { return m_stopping || !m_jobs.empty(); });
            if (!m_jobs.empty()) {
                job = std::move(m_jobs.front());
                m_jobs.pop_front();
                m_waitingPoints -= job->reports.size();
            } else if (m_stopping) {
                break;
            }
        }
        int written = 0;
        if (job && job->call)
            job->call(worker);
        else if (job)
            written = worker.record(job->reports, job->senders);
        worker.workTurn();
        publish(worker, written);
    }
}

void HistoryKeeper::publish(HistoryWorker &worker, int written)
{
    QHash<QByteArray, Forecast> fitted = worker.takeFitted();
    const int replaced = worker.takeReplacements();
    const QList<HistoryWorker::Said> said = worker.takeSaid();
    const State state{worker.isOpen(), worker.problem(), worker.failure(), worker.fileReplacements(), worker.pendingForecasts()};
    const std::lock_guard lock(m_mutex);
    m_state = state;
    if (worker.accuracyMade() != m_accuracyMade) {
        m_accuracy = worker.accuracy();
        m_accuracyMade = worker.accuracyMade();
    }
    m_written += written;
    m_replaced += replaced;
    if (!fitted.isEmpty())
        m_fitted.push_back({std::move(fitted), false});
    for (const HistoryWorker::Said &s : said)
        m_said.append({s.message, s.type});
    postDeliveryLocked();
}

void HistoryKeeper::postDeliveryLocked()
{
    if (!m_deliveryPosted && (m_written > 0 || m_replaced > 0 || !m_fitted.empty() || !m_said.isEmpty())) {
        m_deliveryPosted = true;
        QMetaObject::invokeMethod(this, "deliver", Qt::QueuedConnection);
    }
}

void HistoryKeeper::loadForecasts(qsizetype expected)
{
    {
        const std::lock_guard lock(m_mutex);
        m_loading = expected;
    }
    post({{}, {}, [this](HistoryWorker &worker) { loadSome(worker, -1); }});
}

void HistoryKeeper::loadSome(HistoryWorker &worker, qint64 afterId)
{
    // A batch a job, each told in a turn of its own: questions asked meanwhile are answered between
    // batches, and a million forecasts at once would hold the radios for a second.
    QHash<QByteArray, Forecast> batch;
    const qint64 last = worker.forEachForecast(afterId, int(LoadBatch), [&batch](const QByteArray &serial, const Forecast &f) {
        batch.insert(serial, f);
    });
    {
        const std::lock_guard lock(m_mutex);
        m_loading = last < 0 ? 0 : std::max<qsizetype>(0, m_loading - batch.size());
        // With the fits still to do, so that the loading's end never reads as all settled.
        m_state.pendingForecasts = worker.pendingForecasts();
        if (!batch.isEmpty())
            m_fitted.push_back({std::move(batch), true});
        postDeliveryLocked();
        if (last >= 0)
            m_jobs.push_back({{}, {}, [this, last](HistoryWorker &w) { loadSome(w, last); }});
    }
    if (last < 0)
        FreedMemory::giveBack(); // reading a million forecasts freed more than the fleet keeps of them
}

void HistoryKeeper::deliver()
{
    ForecastBatch fitted;
    int written = 0;
    int replaced = 0;
    QList<std::pair<QString, LogType>> said;
    {
        const std::lock_guard lock(m_mutex);
        if (!m_fitted.empty()) {
            fitted = std::move(m_fitted.front());
            m_fitted.pop_front();
        }
        written = std::exchange(m_written, 0);
        replaced = std::exchange(m_replaced, 0);
        said = std::exchange(m_said, {});
        m_deliveryPosted = false;
        postDeliveryLocked(); // the next batch in a turn of its own
    }
    for (const auto &[message, type] : std::as_const(said))
        Log::write(message, type);
    for (int i = 0; i < replaced; ++i)
        emit fileReplaced();
    if (written > 0)
        emit pointsWritten(written);
    if (fitted.forecasts.isEmpty())
        return;
    if (fitted.loaded)
        emit forecastsLoaded(fitted.forecasts);
    else
        emit forecastsFitted(fitted.forecasts);
}

} // namespace NVL::Engineering::VK
