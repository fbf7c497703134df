#include "MimeFile.h"

#include <QFileInfo>

namespace NVL::Engineering::VK {

MimeFile::MimeFile(QFile *file, QObject *parent)
    : MimePart(parent), m_file(file)
{
    m_contentType = QStringLiteral("application/octet-stream");
    m_encoding = EncodingBase64;
    if (file) {
        file->setParent(this);
        m_contentName = QFileInfo(file->fileName()).fileName();
    }
}

void MimeFile::prepare()
{
    if (m_file) {
        // An unreadable file gives an empty body rather than a failed mail.
        if (m_file->open(QIODevice::ReadOnly)) {
            m_content = m_file->readAll();
            m_file->close();
        } else {
            m_content.clear();
        }
    }
    MimePart::prepare();
}

} // namespace NVL::Engineering::VK
