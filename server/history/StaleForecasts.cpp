#include "StaleForecasts.h"

#include "SerialNumber.h"

namespace NVL::Engineering::VK {

namespace {

QByteArray unpacked(quint64 value)
{
    return QByteArray(reinterpret_cast<const char *>(&value), sizeof value);
}

} // namespace

void StaleForecasts::insert(qint64 id, const QByteArray &serial)
{
    insertNumber(id, serialNumber(serial));
}

void StaleForecasts::insertNumber(qint64 id, quint64 serial)
{
    const qsizetype before = m_serials.size();
    m_serials[id] = serial; // one look-up, whether new or not
    if (m_serials.size() != before)
        m_order.append(id);
}

void StaleForecasts::insert(const QList<std::pair<qint64, quint64>> &serials)
{
    for (const auto &[id, serial] : serials)
        insertNumber(id, serial);
}

void StaleForecasts::insert(const QHash<qint64, QByteArray> &serials)
{
    for (auto it = serials.cbegin(); it != serials.cend(); ++it)
        insert(it.key(), it.value());
}

QByteArray StaleForecasts::take(qint64 id)
{
    const auto it = m_serials.constFind(id);
    if (it == m_serials.cend())
        return {};
    const QByteArray serial = unpacked(*it);
    m_serials.erase(it);
    release();
    return serial;
}

QList<qint64> StaleForecasts::front(qsizetype count)
{
    while (m_next < m_order.size() && !m_serials.contains(m_order[m_next]))
        ++m_next;
    if (m_next > m_order.size() / 2) {
        m_order.remove(0, m_next);
        m_next = 0;
    }
    QList<qint64> ids;
    for (qsizetype i = m_next; i < m_order.size() && ids.size() < count; ++i) {
        const qint64 id = m_order[i];
        if (m_serials.contains(id) && !ids.contains(id))
            ids.append(id);
    }
    return ids;
}

void StaleForecasts::release()
{
    if (!m_serials.isEmpty())
        return;
    m_serials = {};
    m_order = {};
    m_next = 0;
}

} // namespace NVL::Engineering::VK
