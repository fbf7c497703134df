#pragma once

#include "PostgresHistoryReader.h"

#include <QElapsedTimer>
#include <QTimer>

#include <memory>

namespace NVL::Engineering::VK {

class HistoryKeeper;

// A history file new beside a shared database takes in the fleet's points of the kept years after the
// start, a part per event-loop turn, so that radios are answered from the first second. A database that
// cannot be read is asked again every RetrySeconds until it answers; a stop midway leaves the file
// marked, and the next start takes them in again.
class SharedHistoryAdoption
{
public:
    static constexpr int RowsPerTurn = 5000;
    // Parts handed to the history's thread and not yet written: beyond this the reader waits for it.
    static constexpr qsizetype MaxWaitingJobs = 16;
    static constexpr int RetrySeconds = 10;

    SharedHistoryAdoption(const PostgresTarget &target, HistoryKeeper &history, int years);
    // Begins when the file needs the points; nothing happens otherwise.
    void start();

private:
    void readSome();
    void failed(const QString &error);

    const PostgresTarget m_target;
    HistoryKeeper &m_history;
    const int m_years;
    std::unique_ptr<PostgresHistoryReader> m_reader;
    QTimer m_turn;
    QTimer m_retry;
    bool m_failureTold = false;
    qint64 m_batteries = 0;
    QElapsedTimer m_clock;
};

} // namespace NVL::Engineering::VK
