#include "SharedHistoryAdoption.h"

#include "HistoryKeeper.h"
#include "Log.h"

#include <QDateTime>

namespace NVL::Engineering::VK {

namespace {
// While the history's thread is behind, the reader looks again this much later.
constexpr int BehindPauseMs = 10;
} // namespace

SharedHistoryAdoption::SharedHistoryAdoption(const PostgresTarget &target, HistoryKeeper &history, int years)
    : m_target(target), m_history(history), m_years(years)
{
    m_turn.setSingleShot(true);
    QObject::connect(&m_turn, &QTimer::timeout, [this] { readSome(); });
    m_retry.setSingleShot(true);
    m_retry.setInterval(RetrySeconds * 1000);
    QObject::connect(&m_retry, &QTimer::timeout, [this] { start(); });
}

void SharedHistoryAdoption::failed(const QString &error)
{
    // Told once: a database away for an hour would otherwise write a line every few seconds.
    if (!m_failureTold)
        Log::error(QStringLiteral("The history of the shared database cannot be read: %1; it is read once the database "
                                  "answers")
                       .arg(error));
    m_failureTold = true;
    m_retry.start();
}

void SharedHistoryAdoption::start()
{
    if (m_reader || !m_history.isOpen() || !m_history.beginAdoption())
        return;
    const qint64 since = QDateTime::currentSecsSinceEpoch() - qint64(m_years) * 366 * 86400;
    m_reader = std::make_unique<PostgresHistoryReader>(m_target, since);
    QString error;
    if (!m_reader->open(error)) {
        m_reader.reset();
        failed(error);
        return;
    }
    m_clock.start();
    m_turn.start(0);
}

void SharedHistoryAdoption::readSome()
{
    if (m_history.waitingJobs() > MaxWaitingJobs) {
        m_turn.start(BehindPauseMs);
        return;
    }
    QList<QPair<QByteArray, QList<HistoryPoint>>> batteries;
    QString error;
    const bool more = m_reader->readSome(
        RowsPerTurn, [&batteries](const QByteArray &serial, const QList<HistoryPoint> &points) { batteries.append({serial, points}); },
        error);
    m_batteries += batteries.size();
    if (!batteries.isEmpty())
        m_history.adopt(batteries);
    if (more) {
        m_turn.start(0);
        return;
    }
    m_reader.reset();
    if (!error.isEmpty()) {
        failed(error);
        return;
    }
    m_history.endAdoption();
    if (m_batteries > 0)
        Log::information(QStringLiteral("The history of %1 battery(ies) taken from the shared database in %2 s")
                             .arg(m_batteries)
                             .arg(double(m_clock.elapsed()) / 1000.0, 0, 'f', 1));
}

} // namespace NVL::Engineering::VK
