#include "SingleInstanceLock.h"

#include <QSharedMemory>

#ifdef Q_OS_LINUX
#include <cstddef>
#include <cstring>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>
#endif

namespace NVL::Engineering::VK {

SingleInstanceLock::SingleInstanceLock(const QString &key)
    : m_key(key)
{
}

SingleInstanceLock::~SingleInstanceLock()
{
#ifdef Q_OS_LINUX
    if (m_socketDescriptor >= 0)
        ::close(m_socketDescriptor);
#endif
}

bool SingleInstanceLock::tryLock()
{
#ifdef Q_OS_LINUX
    if (m_socketDescriptor >= 0)
        return true;
    const QByteArray name = m_key.toUtf8();
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    // A leading NUL puts the name in the abstract namespace: no file to go stale, and the kernel
    // drops the name with the last descriptor, which dies with the process.
    if (name.isEmpty() || std::size_t(name.size()) + 1 > sizeof(address.sun_path))
        return false;
    std::memcpy(address.sun_path + 1, name.constData(), std::size_t(name.size()));
    const auto length = socklen_t(offsetof(sockaddr_un, sun_path) + 1 + std::size_t(name.size()));

    // Close-on-exec: a program the editor starts must not keep the lock alive after the editor ends.
    const int descriptor = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (descriptor < 0)
        return false;
    if (::bind(descriptor, reinterpret_cast<const sockaddr *>(&address), length) != 0) {
        ::close(descriptor);
        return false;
    }
    m_socketDescriptor = descriptor;
    return true;
#else
    if (!m_segment) {
        m_segment = std::make_unique<QSharedMemory>();
        m_segment->setKey(m_key);
    }
    return m_segment->isAttached() || m_segment->create(128, QSharedMemory::ReadWrite);
#endif
}

} // namespace NVL::Engineering::VK
