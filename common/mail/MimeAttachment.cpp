#include "MimeAttachment.h"

namespace NVL::Engineering::VK {

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

} // namespace NVL::Engineering::VK
