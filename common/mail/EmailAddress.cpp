#include "EmailAddress.h"

EmailAddress::EmailAddress(const QString &address, const QString &name, QObject *parent)
    : QObject(parent), name(name), address(address)
{
}

void EmailAddress::setName(const QString &name)
{
    this->name = name;
}

void EmailAddress::setAddress(const QString &address)
{
    this->address = address;
}

QString EmailAddress::getName() const
{
    return name;
}

QString EmailAddress::getAddress() const
{
    return address;
}
