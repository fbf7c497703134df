#include "MimeFile.h"

#include <QFileInfo>

MimeFile::MimeFile(QFile *file, QObject *parent)
    : MimePart(parent), file(file)
{
    contentType = QStringLiteral("application/octet-stream");
    encoding = EncodingBase64;
    if (file) {
        file->setParent(this);
        contentName = QFileInfo(file->fileName()).fileName();
    }
}

void MimeFile::prepare()
{
    if (file) {
        // An unreadable file gives an empty body rather than a failed mail.
        if (file->open(QIODevice::ReadOnly)) {
            content = file->readAll();
            file->close();
        } else {
            content.clear();
        }
    }
    MimePart::prepare();
}
