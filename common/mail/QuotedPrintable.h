#pragma once

#include <QByteArray>
#include <QObject>
#include <QString>

namespace NVL::Engineering::VK {

// Quoted-printable encoder. Line breaks of the input are escaped too; the line
// structure of an encoded body comes from MimeContentFormatter alone.
class QuotedPrintable : public QObject
{
    Q_OBJECT

public:
    using QObject::QObject;

    static QString encode(const QByteArray &input);
};

} // namespace NVL::Engineering::VK
