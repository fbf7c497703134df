#include "MimeHeaderField.h"

#include <QByteArray>

namespace NVL::Engineering::VK {

namespace {

bool isAtomCharacter(QChar c)
{
    const ushort u = c.unicode();
    if (u >= 0x7F || u <= 0x20)
        return false;
    switch (u) {
    case '(': case ')': case '<': case '>': case '[': case ']': case ':': case ';':
    case '@': case '\\': case ',': case '.': case '"':
        return false;
    default:
        return true;
    }
}

enum class TextKind { Atoms, Specials, NeedsEncoding };

TextKind classify(const QString &text)
{
    TextKind kind = TextKind::Atoms;
    for (const QChar c : text) {
        const ushort u = c.unicode();
        if (u >= 0x7F || (u < 0x20))
            return TextKind::NeedsEncoding;
        if (u != ' ' && !isAtomCharacter(c))
            kind = TextKind::Specials;
    }
    // Left as it is, "=?" could be read as the start of an encoded word and change the text.
    if (text.contains(QStringLiteral("=?")))
        return TextKind::NeedsEncoding;
    return kind;
}

// Q encoding limited to the characters RFC 2047 allows in a phrase, so one word serves
// names and subjects alike.
bool isQPlain(char c)
{
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '!'
        || c == '*' || c == '+' || c == '-' || c == '/';
}

int encodedTextLength(const QByteArray &bytes, bool base64)
{
    if (base64)
        return int((bytes.size() + 2) / 3 * 4);
    int length = 0;
    for (const char c : bytes)
        length += (isQPlain(c) || c == ' ') ? 1 : 3;
    return length;
}

QString encodedWord(const QByteArray &bytes, bool base64)
{
    static const char hex[] = "0123456789ABCDEF";
    if (base64)
        return QStringLiteral("=?utf-8?B?") + QString::fromLatin1(bytes.toBase64()) + QStringLiteral("?=");
    QString text = QStringLiteral("=?utf-8?Q?");
    for (const char c : bytes) {
        if (c == ' ') {
            text += QLatin1Char('_');
        } else if (isQPlain(c)) {
            text += QLatin1Char(c);
        } else {
            const auto u = static_cast<unsigned char>(c);
            text += QLatin1Char('=');
            text += QLatin1Char(hex[u >> 4]);
            text += QLatin1Char(hex[u & 0xF]);
        }
    }
    return text + QStringLiteral("?=");
}

constexpr int encodedWordFrame = 12; // "=?utf-8?B?" and "?="

} // namespace

MimeHeaderField::MimeHeaderField(const QString &name)
    : m_field(name + QLatin1Char(':')), m_column(int(name.size()) + 1)
{
}

void MimeHeaderField::addToken(const QString &token)
{
    if (m_column + 1 + token.size() > maxLineLength && m_column > 0) {
        m_field += QStringLiteral("\r\n");
        m_column = 0;
    }
    m_field += QLatin1Char(' ') + token;
    m_column += 1 + int(token.size());
}

void MimeHeaderField::appendToLast(const QString &text)
{
    m_field += text;
    m_column += int(text.size());
}

void MimeHeaderField::addPhrase(const QString &phrase, MimePart::TransferEncoding encoding)
{
    if (encoding == MimePart::EncodingBase64 || encoding == MimePart::EncodingQuotedPrintable) {
        addEncodedWords(phrase, encoding == MimePart::EncodingBase64);
        return;
    }
    switch (classify(phrase)) {
    case TextKind::Atoms:
        addToken(phrase);
        break;
    case TextKind::Specials: {
        QString quoted = phrase;
        quoted.replace(QLatin1Char('\\'), QStringLiteral("\\\\"));
        quoted.replace(QLatin1Char('"'), QStringLiteral("\\\""));
        addToken(QLatin1Char('"') + quoted + QLatin1Char('"'));
        break;
    }
    case TextKind::NeedsEncoding:
        addEncodedWords(phrase, true);
        break;
    }
}

void MimeHeaderField::addText(const QString &text, MimePart::TransferEncoding encoding)
{
    if (encoding == MimePart::EncodingBase64 || encoding == MimePart::EncodingQuotedPrintable) {
        addEncodedWords(text, encoding == MimePart::EncodingBase64);
        return;
    }
    if (classify(text) == TextKind::NeedsEncoding) {
        addEncodedWords(text, true);
        return;
    }
    // Plain text folds before a blank of its own: the first word follows the field's blank,
    // every later one takes its blank from the text.
    const QStringList words = text.split(QLatin1Char(' '));
    m_field += QLatin1Char(' ') + words.first();
    m_column += 1 + int(words.first().size());
    for (qsizetype i = 1; i < words.size(); ++i) {
        const QString &word = words.at(i);
        // A folded line must hold more than blanks, so runs of blanks stay on their line.
        if (!word.isEmpty() && m_column + 1 + word.size() > maxLineLength) {
            m_field += QStringLiteral("\r\n");
            m_column = 0;
        }
        m_field += QLatin1Char(' ') + word;
        m_column += 1 + int(word.size());
    }
}

void MimeHeaderField::addEncodedWords(const QString &text, bool base64)
{
    // Words end only between whole characters: a reader decodes every word on its own.
    QByteArray chunk;
    int room = 0;
    auto flush = [&] {
        if (!chunk.isEmpty())
            addToken(encodedWord(chunk, base64));
        chunk.clear();
    };
    for (qsizetype i = 0; i < text.size(); ++i) {
        qsizetype length = 1;
        if (text.at(i).isHighSurrogate() && i + 1 < text.size() && text.at(i + 1).isLowSurrogate())
            length = 2;
        const QByteArray bytes = text.mid(i, length).toUtf8();
        i += length - 1;

        if (!chunk.isEmpty() && encodedWordFrame + encodedTextLength(chunk + bytes, base64) > room)
            flush();
        if (chunk.isEmpty()) {
            // A word fills what is left of the current line, unless the rest of the text fits
            // one word on a line of its own: fewer words, and some readers (Python's among
            // them) wrongly show a blank between two words of a name.
            room = qMin(maxEncodedWordLength, maxLineLength - m_column - 1);
            const int restLength = encodedWordFrame + encodedTextLength(text.mid(i).toUtf8(), base64);
            if (encodedWordFrame + encodedTextLength(bytes, base64) > room
                || (restLength > room && restLength <= maxEncodedWordLength))
                room = maxEncodedWordLength;
        }
        chunk += bytes;
    }
    flush();
}

QString MimeHeaderField::toString() const
{
    return m_field + QStringLiteral("\r\n");
}

} // namespace NVL::Engineering::VK
