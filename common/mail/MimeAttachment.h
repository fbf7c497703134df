#pragma once

#include "MimeFile.h"

namespace NVL::Engineering::VK {

// A file offered as a download next to the message text.
class MimeAttachment : public MimeFile
{
    Q_OBJECT

public:
    explicit MimeAttachment(QFile *file, QObject *parent = nullptr);

    void prepare() override;

private:
    bool m_dispositionAdded = false;
};

} // namespace NVL::Engineering::VK
