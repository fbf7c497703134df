#include "ApplicationArguments.h"

namespace NVL::Engineering::VK {

ApplicationArguments::ApplicationArguments(const QStringList &arguments)
{
    m_bytes.reserve(arguments.size());
    for (const QString &argument : arguments)
        m_bytes.append(argument.toLocal8Bit());
    // The byte arrays are not touched again, so their data pointers stay valid.
    m_vector.reserve(m_bytes.size() + 1);
    for (QByteArray &bytes : m_bytes)
        m_vector.push_back(bytes.data());
    m_vector.push_back(nullptr);
    m_count = int(m_bytes.size());
}

} // namespace NVL::Engineering::VK
