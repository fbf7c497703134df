#pragma once

#include <QByteArray>
#include <QHash>
#include <QList>

#include <utility>

namespace NVL::Engineering::VK {

// The batteries whose forecast is to be fitted again, with their serials, in the order they became stale.
// A first start hands over a whole fleet: taking each group from the front of a hash scanned its emptied
// buckets again every time, and the order of the catch-up reads the history file front to back.
class StaleForecasts
{
public:
    void insert(qint64 id, const QByteArray &serial);
    void insert(const QHash<qint64, QByteArray> &serials);
    // Ids with their serials as numbers; a later pair of the same id replaces the earlier.
    void insert(const QList<std::pair<qint64, quint64>> &serials);
    void remove(qint64 id) { m_serials.remove(id); release(); }
    QByteArray take(qint64 id);
    bool contains(qint64 id) const { return m_serials.contains(id); }
    qsizetype size() const { return m_serials.size(); }
    bool isEmpty() const { return m_serials.isEmpty(); }
    void clear() { m_serials = {}; release(); }
    // The first `count` still stale, oldest first; they stay until taken.
    QList<qint64> front(qsizetype count);

private:
    void insertNumber(qint64 id, quint64 serial);

    // A hash keeps the memory of its largest size: once the start's fitting is done it goes.
    void release();

    // A serial's 8 bytes as a number: a million QByteArrays of 8 bytes took 56 MB more.
    QHash<qint64, quint64> m_serials;
    QList<qint64> m_order; // may still hold ids taken or removed since
    qsizetype m_next = 0; // before it, none is stale
};

} // namespace NVL::Engineering::VK
