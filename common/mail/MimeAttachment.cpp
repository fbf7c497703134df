#include "MimeAttachment.h"

MimeAttachment::MimeAttachment(QFile *file, QObject *parent)
    : MimeFile(file, parent)
{
}

void MimeAttachment::prepare()
{
    if (!m_dispositionAdded) {
        addHeaderLine(QStringLiteral("Content-Disposition: attachment\r\n"));
        m_dispositionAdded = true;
    }
    MimeFile::prepare();
}
