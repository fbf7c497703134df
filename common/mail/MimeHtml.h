#pragma once

#include "MimeText.h"

namespace NVL::Engineering::VK {

// A text/html body in UTF-8, sent 8bit.
class MimeHtml : public MimeText
{
    Q_OBJECT

public:
    explicit MimeHtml(const QString &html = QString(), QObject *parent = nullptr);

    void setHtml(const QString &html);
    QString getHtml() const;
};

} // namespace NVL::Engineering::VK
