#pragma once

#include <QString>

#include <memory>

class QSharedMemory;

namespace NVL::Engineering::VK {

// A machine-wide lock that keeps a second editor of the configuration file from starting: Bellwright
// holds it while it runs, vkconfig while it changes the file. The system releases it when the
// holder ends in any way, a crash or SIGKILL included, so a dead editor never locks the next one out.
// On Linux it is a socket name in the abstract namespace (bound, never listened on); elsewhere the
// shared-memory segment, which those systems free with its last process.
class SingleInstanceLock
{
public:
    explicit SingleInstanceLock(const QString &key = configurationEditorKey());
    ~SingleInstanceLock();

    SingleInstanceLock(const SingleInstanceLock &) = delete;
    SingleInstanceLock &operator=(const SingleInstanceLock &) = delete;

    // False when another process holds the lock, or the lock could not be made at all.
    bool tryLock();

    // The name both editors of the configuration file lock.
    static QString configurationEditorKey()
    {
        return QStringLiteral("NorvaleTechnologies_Bellwright_SingleAppInstance");
    }

private:
    QString m_key;
    int m_socketDescriptor = -1;
    std::unique_ptr<QSharedMemory> m_segment;
};

} // namespace NVL::Engineering::VK
