#pragma once

#include <QObject>
#include <QString>

namespace NVL::Engineering::VK {

// Breaks encoded bodies into lines: hard breaks for base64, soft breaks ("=" CRLF)
// for quoted-printable that never split an escape.
class MimeContentFormatter : public QObject
{
    Q_OBJECT

public:
    explicit MimeContentFormatter(int maxLength = 76, QObject *parent = nullptr);

    void setMaxLength(int length);
    int getMaxLength() const;

    QString format(const QString &content, bool quotedPrintable = false) const;

private:
    int m_maxLength;
};

} // namespace NVL::Engineering::VK
