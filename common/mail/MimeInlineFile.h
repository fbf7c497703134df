#pragma once

#include "MimeFile.h"

namespace NVL::Engineering::VK {

// A file shown inside the message (for example an image referenced by its Content-ID).
class MimeInlineFile : public MimeFile
{
    Q_OBJECT

public:
    explicit MimeInlineFile(QFile *file, QObject *parent = nullptr);

    void prepare() override;

private:
    bool m_dispositionAdded = false;
};

} // namespace NVL::Engineering::VK
