#pragma once

#include <QDateTime>
#include <QString>

namespace NVL::Engineering::VK {

// Reports the store could not take, told as episodes: one Error when they begin, the count once an hour
// while they last, and the count again when a save stores everything once more. A full disk meets every
// commit: a line per commit would bury the journal.
class ReportsNotStored
{
public:
    static constexpr qint64 RepeatSeconds = 3600;

    void failed(qsizetype count, const QString &reason);
    void stored();
    qsizetype count() const { return m_count; }
    // What /healthz says while reports cannot be stored; empty while they are.
    QString problem() const;

private:
    QString m_reason;
    qsizetype m_count = 0;
    QDateTime m_since;
    QDateTime m_lastTold;
};

} // namespace NVL::Engineering::VK
