#pragma once

#include "MimeFile.h"

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
