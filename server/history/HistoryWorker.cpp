#include "HistoryWorker.h"

#include "ForecastFit.h"
#include "FreedMemory.h"

#include "LocalDays.h"
#include "ThreadCpuClock.h"

#include <QDateTime>
#include <QDir>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLocale>
#include <QScopeGuard>

#include <algorithm>
#include <limits>

namespace NVL::Engineering::VK {

namespace {

// Batteries handled per statement group; the turn's budget is checked after each group.
constexpr qsizetype ForecastGroup = 16;
constexpr qsizetype ThinningGroup = 64;
constexpr qsizetype CatchUpGroup = 64;
constexpr qsizetype TrackRecordGroup = 4;
// Report times come from the clock at receipt: a little slack for a clock that stepped back.
constexpr qint64 CatchUpSlackSeconds = 60;
constexpr int DayCheckMs = 10 * 60 * 1000;
const QString ThinnedBeforeKey = QStringLiteral("thinned_before");
const QString AdoptingKey = QStringLiteral("adopting");

QString dateText(qint64 seconds)
{
    return QDateTime::fromSecsSinceEpoch(seconds).date().toString(Qt::ISODate);
}

} // namespace

HistoryWorker::HistoryWorker(const HistorySettings &settings, const QString &path)
    : m_settings(settings)
    , m_store(path)
{
    m_dayCheck.start();
    m_store.open();
    if (const auto stored = m_store.trackRecord()) {
        m_accuracy = ForecastAccuracy::fromJson(QJsonDocument::fromJson(stored->second).object());
        m_accuracyMade = stored->first;
    }
}

void HistoryWorker::begin()
{
    if (!m_store.isOpen())
        return;
    QHash<qint64, QByteArray> stale;
    m_store.staleForecasts(&stale);
    m_stale.insert(stale);
    m_startFitting.batteries = m_stale.size();
    m_startFitting.running = !m_stale.isEmpty();
    m_startFitting.clock.start();
    startPassIfNewDay();
}

qint64 HistoryWorker::catchUpSince()
{
    const std::optional<qint64> fitted = m_store.newestFitted();
    return fitted ? *fitted - CatchUpSlackSeconds : std::numeric_limits<qint64>::min();
}

void HistoryWorker::catchUp(QList<BatteryRecord> reports)
{
    m_catchUp = std::move(reports);
    m_catchUpNext = 0;
    m_caughtUp = 0;
    scheduleWork();
}

bool HistoryWorker::catchUpSome(const QElapsedTimer &turn)
{
    while (m_catchUpNext < m_catchUp.size()) {
        if (turn.elapsed() >= TurnBudgetMs || !m_store.isOpen())
            return false;
        const QList<BatteryRecord> missing = m_store.withoutPoint(m_catchUp.mid(m_catchUpNext, CatchUpGroup));
        m_catchUpNext += CatchUpGroup;
        // Not through record(): that would take these for reports arriving and pause the work for them.
        QList<std::pair<qint64, quint64>> serials;
        if (!missing.isEmpty() && !m_store.addPoints(missing, &serials).isEmpty()) {
            m_stale.insert(serials);
            m_caughtUp += missing.size();
            // A first start fits the whole fleet here: told, counted as pending and its memory given back
            // when done, as the forecasts found stale at the start are.
            m_startFitting.running = true;
            m_startFitting.batteries = std::max(m_startFitting.batteries, m_stale.size());
        }
    }
    if (!m_catchUp.isEmpty() && m_caughtUp > 0)
        say(QStringLiteral("History caught up: %1 report(s) stored in vk.db had no point yet (the "
                                             "server ended before writing them); their points are written now")
                                  .arg(m_caughtUp),
                              LogType::Information);
    m_catchUp = {};
    m_catchUpNext = 0;
    return true;
}

bool HistoryWorker::beginAdoption()
{
    if (!m_store.isOpen() || (m_store.metaValue(AdoptingKey, 0) == 0 && !m_store.batteryIds().isEmpty()))
        return false;
    m_store.setMetaValue(AdoptingKey, 1);
    return true;
}

void HistoryWorker::endAdoption()
{
    if (m_store.isOpen())
        m_store.setMetaValue(AdoptingKey, 0);
}

void HistoryWorker::adopt(const QByteArray &serial, const QList<HistoryPoint> &points)
{
    if (!m_store.isOpen() || points.isEmpty() || !m_store.addPoints(serial, points))
        return;
    if (const std::optional<qint64> id = m_store.idOf(serial))
        m_stale.insert(*id, serial);
    scheduleWork();
}

void HistoryWorker::checkDamage()
{
    if (!m_store.damaged())
        return;
    m_stale.clear();
    finishStartFitting();
    m_pass.running = false;
    m_trackRecord = {};
    if (m_store.replaceDamaged())
        ++m_replacedUntold;
}

void HistoryWorker::scheduleWork()
{
    if (!m_store.isOpen() || m_turnDue.isValid()
        || (m_stale.isEmpty() && !m_pass.running && !m_trackRecord.running && m_catchUp.isEmpty()))
        return;
    const bool busy = m_lastReports.isValid() && m_lastReports.elapsed() < BusyPauseMs;
    m_turnDue.start();
    m_turnDelayMs = busy ? BusyPauseMs : 0;
}

int HistoryWorker::msToNextTurn()
{
    if (m_dayCheck.elapsed() >= DayCheckMs) {
        m_dayCheck.start();
        startPassIfNewDay();
    }
    const qint64 toDayCheck = DayCheckMs - m_dayCheck.elapsed();
    if (!m_turnDue.isValid())
        return int(toDayCheck);
    return int(std::clamp<qint64>(m_turnDelayMs - m_turnDue.elapsed(), 0, toDayCheck));
}

QHash<QByteArray, Forecast> HistoryWorker::takeFitted()
{
    return std::exchange(m_fitted, {});
}

int HistoryWorker::takeReplacements()
{
    return std::exchange(m_replacedUntold, 0);
}

QList<HistoryWorker::Said> HistoryWorker::takeSaid()
{
    return std::exchange(m_said, {});
}

void HistoryWorker::say(const QString &message, LogType type)
{
    m_said.append({message, type});
}

int HistoryWorker::record(const QList<BatteryRecord> &reports, const QList<QByteArray> &senders)
{
    if (!m_store.isOpen())
        return 0;
    QList<std::pair<qint64, quint64>> serials;
    const bool written = !m_store.addPoints(reports, &serials, senders).isEmpty();
    m_stale.insert(serials);
    m_lastReports.start();
    checkDamage();
    startPassIfNewDay();
    scheduleWork();
    if (!written)
        return 0;
    return int(std::count_if(reports.cbegin(), reports.cend(),
                             [](const BatteryRecord &r) { return isValidRecord(r); }));
}

void HistoryWorker::removeBattery(const QByteArray &serial)
{
    if (const auto id = m_store.idOf(serial))
        m_stale.remove(*id);
    m_store.removeBattery(serial);
    checkDamage();
}

std::optional<QList<HistoryPoint>> HistoryWorker::history(const QByteArray &serial, qint64 from, qint64 to)
{
    const auto id = m_store.idOf(serial);
    checkDamage();
    if (!id)
        return std::nullopt;
    QList<HistoryPoint> points = m_store.points(*id, from, to);
    checkDamage();
    return points;
}

std::optional<Forecast> HistoryWorker::forecast(const QByteArray &serial)
{
    const auto id = m_store.idOf(serial);
    if (!id)
        return std::nullopt;
    if (m_stale.contains(*id))
        refresh({*id});
    std::optional<Forecast> result = m_store.forecast(*id);
    checkDamage();
    return result;
}

qint64 HistoryWorker::forEachForecast(qint64 afterId, int limit,
                                      const std::function<void(const QByteArray &, const Forecast &)> &visit)
{
    const qint64 last = m_store.forEachForecast(afterId, limit, visit);
    checkDamage();
    return last;
}

void HistoryWorker::workTurn()
{
    if (!m_turnDue.isValid() || m_turnDue.elapsed() < m_turnDelayMs)
        return;
    m_turnDue.invalidate();
    QElapsedTimer turn;
    turn.start();
    // Missing points first, so that their forecasts are fitted with them; then forecasts, which people
    // look at; the retention pass has all day.
    if (catchUpSome(turn) && refreshSomeForecasts(turn)) {
        finishStartFitting();
        if (thinSome(turn))
            recordSome(turn);
    }
    checkDamage();
    scheduleWork();
}

bool HistoryWorker::refreshSomeForecasts(const QElapsedTimer &turn)
{
    while (!m_stale.isEmpty()) {
        if (turn.elapsed() >= TurnBudgetMs || !m_store.isOpen())
            return false;
        refresh(m_stale.front(ForecastGroup));
    }
    return true;
}

void HistoryWorker::refresh(const QList<qint64> &ids)
{
    QHash<qint64, Forecast> fitted;
    const int boundary = m_settings.boundary;
    const ForecastAccuracy &accuracy = m_accuracy;
    const bool stored = m_store.refreshForecasts(
        ids, [boundary, &accuracy](const QList<DailyHealth> &days) { return ForecastFit::fromDays(days, boundary, accuracy); },
        &fitted);
    QHash<QByteArray, Forecast> bySerial;
    for (const qint64 id : ids) {
        const QByteArray serial = m_stale.take(id);
        if (stored && fitted.contains(id))
            bySerial.insert(serial, fitted.value(id));
    }
    m_fitted.insert(bySerial);
}

bool HistoryWorker::thinSome(const QElapsedTimer &turn)
{
    const ThreadCpuClock cpu;
    const auto counted = qScopeGuard([this, &cpu] { m_pass.cpuNanoseconds += cpu.elapsedNanoseconds(); });
    while (m_pass.running) {
        if (turn.elapsed() >= TurnBudgetMs || !m_store.isOpen())
            return false;
        if (m_pass.next >= m_pass.ids.size()) {
            finishPass();
            break;
        }
        const QList<qint64> group = m_pass.ids.mid(m_pass.next, ThinningGroup);
        m_pass.next += group.size();
        const int removed = m_store.thin(group, m_pass.examineFrom, m_pass.cutoff, m_pass.removeBefore);
        if (removed < 0) {
            // Logged by the store; the next day's pass tries again from the same place.
            m_pass.running = false;
            return false;
        }
        m_pass.removed += removed;
        m_pass.longestTurnMs = std::max(m_pass.longestTurnMs, turn.elapsed());
    }
    return true;
}

void HistoryWorker::finishStartFitting()
{
    if (!m_startFitting.running)
        return;
    m_startFitting.running = false;
    // A start that caught up or fitted a large fleet freed far more than the server keeps.
    m_store.releaseMemory();
    FreedMemory::giveBack();
    say(QStringLiteral("Forecasts fitted after the start: %1 batteries in %2 s")
                              .arg(m_startFitting.batteries)
                              .arg(QString::number(double(m_startFitting.clock.elapsed()) / 1000.0, 'f', 1)),
                          LogType::Information);
}

HistoryWorker::PassDates HistoryWorker::passDates(qint64 today, int years)
{
    const QDate date = QDate(1970, 1, 1).addDays(today);
    return {LocalDays::midnightOf(today - KeepAllDays), QDateTime(date.addYears(-years), QTime(0, 0)).toSecsSinceEpoch()};
}

void HistoryWorker::startPassIfNewDay()
{
    const qint64 today = LocalDays::today();
    if (!m_store.isOpen() || m_pass.running || today == m_pass.day)
        return;
    m_pass.running = true;
    m_pass.day = today;
    const PassDates dates = passDates(today, m_settings.years);
    m_pass.cutoff = dates.cutoff;
    m_pass.removeBefore = dates.removeBefore;
    // Days thinned by an earlier pass hold one point each already.
    m_pass.examineFrom = std::min(m_store.metaValue(ThinnedBeforeKey, 0), m_pass.cutoff);
    m_pass.ids = m_store.batteryIds();
    m_pass.next = 0;
    m_pass.removed = 0;
    m_pass.longestTurnMs = 0;
    m_pass.cpuNanoseconds = 0;
    m_pass.clock.start();
    checkDamage();
    scheduleWork();
}

void HistoryWorker::finishPass()
{
    m_pass.running = false;
    m_store.setMetaValue(ThinnedBeforeKey, m_pass.cutoff);
    say(QStringLiteral("History retention done: %1 point(s) removed from %2 batteries in %3 s "
                                    "(before %4 the median point of each day is kept, before %5 none; longest "
                                    "turn %6 ms; CPU %7 s)")
                         .arg(m_pass.removed)
                         .arg(m_pass.ids.size())
                         .arg(QString::number(double(m_pass.clock.elapsed()) / 1000.0, 'f', 1),
                              dateText(m_pass.cutoff), dateText(m_pass.removeBefore))
                         .arg(m_pass.longestTurnMs)
                         .arg(QString::number(double(m_pass.cpuNanoseconds) / 1e9, 'f', 2)),
        LogType::Information);
    // A day that began while this pass ran gets its own; the track record follows the day's pass.
    startTrackRecord();
    startPassIfNewDay();
}

void HistoryWorker::startTrackRecord()
{
    if (!m_store.isOpen() || m_trackRecord.running)
        return;
    const QList<qint64> all = m_store.batteryIds();
    m_trackRecord.ids.clear();
    // An even sample of a larger fleet, the same batteries every day.
    const double step = std::max(1.0, double(all.size()) / double(TrackRecordSample));
    for (double at = 0; at < double(all.size()); at += step)
        m_trackRecord.ids.append(all[qsizetype(at)]);
    m_trackRecord.next = 0;
    m_trackRecord.record.emplace(m_settings.boundary, m_accuracy);
    m_trackRecord.clock.start();
    m_trackRecord.running = true;
    scheduleWork();
}

bool HistoryWorker::recordSome(const QElapsedTimer &turn)
{
    while (m_trackRecord.running) {
        if (turn.elapsed() >= TurnBudgetMs || !m_store.isOpen())
            return false;
        if (m_trackRecord.next >= m_trackRecord.ids.size()) {
            finishTrackRecord();
            break;
        }
        const QList<qint64> group = m_trackRecord.ids.mid(m_trackRecord.next, TrackRecordGroup);
        m_trackRecord.next += group.size();
        ForecastTrackRecord &record = *m_trackRecord.record;
        if (!m_store.forEachDays(group, [&record](qint64, const QList<DailyHealth> &days) { record.replay(days); })) {
            // Logged by the store; the next day's pass tries again.
            m_trackRecord = {};
            return false;
        }
    }
    return true;
}

void HistoryWorker::finishTrackRecord()
{
    const ForecastAccuracy made = m_trackRecord.record->accuracy();
    const qint64 batteries = m_trackRecord.record->batteries();
    const double seconds = double(m_trackRecord.clock.elapsed()) / 1000.0;
    m_trackRecord = {};
    const bool changed = made.differsFrom(m_accuracy);
    m_accuracy = made;
    m_accuracyMade = QDateTime::currentSecsSinceEpoch();
    m_store.setTrackRecord(m_accuracyMade, QJsonDocument(made.toJson()).toJson(QJsonDocument::Compact));
    QStringList held;
    for (const ForecastAccuracy::Horizon &h : made.horizons()) {
        if (h.replays > 0)
            held << QStringLiteral("%1 % at %2 days").arg(QString::number(h.bandHitRate * 100, 'f', 0)).arg(h.days);
    }
    say(QStringLiteral("Forecast track record made: %1 batteries replayed in %2 s; the bands held what was reported "
                       "%3%4")
            .arg(batteries)
            .arg(QString::number(seconds, 'f', 1), held.isEmpty() ? QStringLiteral("(no replay yet: too little history)") : held.join(QStringLiteral(", ")),
                 changed ? QStringLiteral("; every forecast is fitted again with it") : QString()),
        LogType::Information);
    if (changed) {
        m_stale.insert(m_store.everyBattery());
        scheduleWork();
    }
    m_store.releaseMemory(); // the replay read every battery's year
    FreedMemory::giveBack();
}

} // namespace NVL::Engineering::VK
