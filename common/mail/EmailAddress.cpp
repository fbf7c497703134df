#include "EmailAddress.h"

namespace NVL::Engineering::VK {

EmailAddress::EmailAddress(const QString &address, const QString &name, QObject *parent)
    : QObject(parent), m_name(name), m_address(address)
{
}

void EmailAddress::setName(const QString &name)
{
    m_name = name;
}

void EmailAddress::setAddress(const QString &address)
{
    m_address = address;
}

QString EmailAddress::getName() const
{
    return m_name;
}

QString EmailAddress::getAddress() const
{
    return m_address;
}

} // namespace NVL::Engineering::VK
