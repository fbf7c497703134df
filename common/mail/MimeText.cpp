#include "MimeText.h"

MimeText::MimeText(const QString &text, QObject *parent)
    : MimePart(parent), text(text)
{
    contentType = QStringLiteral("text/plain");
    charset = QStringLiteral("utf-8");
    encoding = Encoding8Bit;
}

void MimeText::setText(const QString &text)
{
    this->text = text;
}

QString MimeText::getText() const
{
    return text;
}

void MimeText::prepare()
{
    content = text.toUtf8();
    MimePart::prepare();
}
