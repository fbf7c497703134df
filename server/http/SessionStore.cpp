#include "SessionStore.h"

#include "SameBytes.h"

#include <QRandomGenerator>

#include <algorithm>
#include <array>

namespace NVL::Engineering::VK {

QByteArray SessionStore::open()
{
    m_sessions.erase(std::remove_if(m_sessions.begin(), m_sessions.end(),
                                    [](const Session &s) { return s.expires.hasExpired(); }),
                     m_sessions.end());
    if (m_sessions.size() >= std::size_t(MostSessions))
        m_sessions.erase(std::min_element(m_sessions.begin(), m_sessions.end(), [](const Session &a, const Session &b) {
            return a.expires.deadline() < b.expires.deadline();
        }));
    std::array<quint32, 8> random;
    QRandomGenerator::system()->fillRange(random.data(), random.size());
    const QByteArray value = QByteArray(reinterpret_cast<const char *>(random.data()), sizeof random)
                                 .toBase64(QByteArray::Base64UrlEncoding | QByteArray::OmitTrailingEquals);
    m_sessions.push_back({value, QDeadlineTimer(qint64(LifetimeSeconds) * 1000)});
    return value;
}

bool SessionStore::isOpen(const QByteArray &value) const
{
    bool found = false;
    for (const Session &session : m_sessions)
        found |= sameBytes(value, session.value) & !session.expires.hasExpired();
    return found;
}

void SessionStore::close(const QByteArray &value)
{
    m_sessions.erase(std::remove_if(m_sessions.begin(), m_sessions.end(),
                                    [&value](const Session &s) { return sameBytes(value, s.value); }),
                     m_sessions.end());
}

} // namespace NVL::Engineering::VK
