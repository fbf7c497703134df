#pragma once

#include <QByteArrayList>
#include <QStringList>

#include <vector>

namespace NVL::Engineering::VK {

// An argument count and vector in the local 8-bit code page for an application object.
// QCoreApplication keeps references to both, so an instance must outlive the application it feeds.
class ApplicationArguments
{
public:
    explicit ApplicationArguments(const QStringList &arguments);

    ApplicationArguments(const ApplicationArguments &) = delete;
    ApplicationArguments &operator=(const ApplicationArguments &) = delete;

    int &count() { return m_count; }
    char **vector() { return m_vector.data(); }

private:
    QByteArrayList m_bytes;
    std::vector<char *> m_vector;
    int m_count = 0;
};

} // namespace NVL::Engineering::VK
