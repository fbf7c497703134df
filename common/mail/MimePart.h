#pragma once

#include "MimeContentFormatter.h"

#include <QByteArray>
#include <QObject>
#include <QString>
#include <QStringList>

namespace NVL::Engineering::VK {

// One MIME entity: its headers and its encoded body, rendered on demand.
class MimePart : public QObject
{
    Q_OBJECT

public:
    enum TransferEncoding : int {
        Encoding7Bit = 0,
        Encoding8Bit = 1,
        EncodingBase64 = 2,
        EncodingQuotedPrintable = 3
    };
    Q_ENUM(TransferEncoding)

    explicit MimePart(QObject *parent = nullptr);

    void setContent(const QByteArray &content);
    void setHeader(const QString &header);
    void addHeaderLine(const QString &line);
    void setContentId(const QString &contentId);
    void setContentName(const QString &contentName);
    void setContentType(const QString &contentType);
    void setCharset(const QString &charset);
    void setEncoding(TransferEncoding encoding);

    QString getHeader() const;
    QByteArray getContent() const;
    QString getContentId() const;
    QString getContentName() const;
    QString getContentType() const;
    QString getCharset() const;
    QString getBoundary() const;
    TransferEncoding getEncoding() const;

    // Renders on first use; later calls return the same text.
    virtual QString toString();
    virtual void prepare();

protected:
    // Further parameters of the Content-Type line after the standard ones, as name=value.
    virtual QStringList contentTypeParameters() const;

    QString m_header;
    QByteArray m_content;
    QString m_contentId;
    QString m_contentName;
    QString m_contentType;
    QString m_charset;
    QString m_boundary;
    TransferEncoding m_encoding = Encoding7Bit;
    bool m_prepared = false;
    QString m_mimeString;
    MimeContentFormatter m_formatter{76};
};

} // namespace NVL::Engineering::VK
