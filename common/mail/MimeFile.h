#pragma once

#include "MimePart.h"

#include <QFile>

namespace NVL::Engineering::VK {

// A file body, base64 encoded. The part takes ownership of the file object.
class MimeFile : public MimePart
{
    Q_OBJECT

public:
    explicit MimeFile(QFile *file, QObject *parent = nullptr);

    void prepare() override;

protected:
    QFile *m_file;
};

} // namespace NVL::Engineering::VK
