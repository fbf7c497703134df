#pragma once

#include <QObject>
#include <QString>

namespace NVL::Engineering::VK {

// A mail address with an optional display name.
class EmailAddress : public QObject
{
    Q_OBJECT

public:
    explicit EmailAddress(const QString &address = QString(), const QString &name = QString(),
                          QObject *parent = nullptr);

    void setName(const QString &name);
    void setAddress(const QString &address);

    QString getName() const;
    QString getAddress() const;

private:
    QString m_name;
    QString m_address;
};

} // namespace NVL::Engineering::VK
