#pragma once

#include "MimePart.h"

#include <QString>

namespace NVL::Engineering::VK {

// One message header field written the way strict mail servers and readers expect:
// lines of at most 78 characters where the content allows, folded only before a
// blank so that unfolding gives the value back, and every character outside ASCII
// carried in RFC 2047 encoded words of at most 75 characters.
class MimeHeaderField
{
public:
    static constexpr int maxLineLength = 78;
    static constexpr int maxEncodedWordLength = 75;

    // name without the colon, e.g. "To"
    explicit MimeHeaderField(const QString &name);

    // A piece that is never split: one blank before it, or a fold when the line would get too long.
    void addToken(const QString &token);
    // Appends to the last piece without a blank (the comma between two addresses).
    void appendToLast(const QString &text);
    // A display name. With `Encoding7Bit` or `Encoding8Bit`, a run of atoms and blanks goes as it
    // is, a name with specials as a quoted string, a name with anything else as encoded words;
    // `EncodingBase64` and `EncodingQuotedPrintable` always make B or Q encoded words.
    void addPhrase(const QString &phrase, MimePart::TransferEncoding encoding);
    // Unstructured text such as the subject, by the same choice of encoding, never quoted.
    void addText(const QString &text, MimePart::TransferEncoding encoding);

    // The field with its final CR LF.
    QString toString() const;

private:
    void addEncodedWords(const QString &text, bool base64);

    QString m_field;
    int m_column = 0;
};

} // namespace NVL::Engineering::VK
