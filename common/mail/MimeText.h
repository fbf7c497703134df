#pragma once

#include "MimePart.h"

namespace NVL::Engineering::VK {

// A text/plain body in UTF-8, sent 8bit.
class MimeText : public MimePart
{
    Q_OBJECT

public:
    explicit MimeText(const QString &text = QString(), QObject *parent = nullptr);

    void setText(const QString &text);
    QString getText() const;

    void prepare() override;

protected:
    QString m_text;
};

} // namespace NVL::Engineering::VK
