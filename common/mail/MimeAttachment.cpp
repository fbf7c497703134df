#include "MimeAttachment.h"

MimeAttachment::MimeAttachment(QFile *file, QObject *parent)
    : MimeFile(file, parent)
{
}

void MimeAttachment::prepare()
{
    if (!dispositionAdded) {
        addHeaderLine(QStringLiteral("Content-Disposition: attachment\r\n"));
        dispositionAdded = true;
    }
    MimeFile::prepare();
}
