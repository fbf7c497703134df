#pragma once

#include "HistoryPoint.h"
#include "PostgresTarget.h"

#include <QByteArray>
#include <QList>
#include <QString>

#include <functional>

namespace NVL::Engineering::VK {

// The history points of the shared database from a time on, battery by battery in serial order, read
// through a cursor on a connection of its own, a part at each call: a fleet's years are never held at
// once, and the caller goes on with other work between the parts.
class PostgresHistoryReader
{
public:
    using Visit = std::function<void(const QByteArray &serial, const QList<HistoryPoint> &points)>;

    PostgresHistoryReader(const PostgresTarget &target, qint64 since);
    ~PostgresHistoryReader();
    PostgresHistoryReader(const PostgresHistoryReader &) = delete;
    PostgresHistoryReader &operator=(const PostgresHistoryReader &) = delete;

    bool open(QString &errorText);
    // Up to `rows` more points, each battery's handed over whole; false once every point is read, or on a
    // failure, which errorText then names.
    bool readSome(int rows, const Visit &visit, QString &errorText);

private:
    void close();

    const PostgresTarget m_target;
    const qint64 m_since;
    const QString m_connection;
    bool m_added = false;
    QByteArray m_serial; // the battery whose points may go on in the next part
    QList<HistoryPoint> m_points;
};

} // namespace NVL::Engineering::VK
