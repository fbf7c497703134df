#include "MimeInlineFile.h"

namespace NVL::Engineering::VK {

MimeInlineFile::MimeInlineFile(QFile *file, QObject *parent)
    : MimeFile(file, parent)
{
}

void MimeInlineFile::prepare()
{
    // Rendering twice must not repeat the disposition line.
    if (!m_dispositionAdded) {
        addHeaderLine(QStringLiteral("Content-Disposition: inline\r\n"));
        m_dispositionAdded = true;
    }
    MimeFile::prepare();
}

} // namespace NVL::Engineering::VK
