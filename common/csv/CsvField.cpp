#include "CsvField.h"

#include <algorithm>
#include <cstring>

namespace NVL::Engineering::VK::Csv {

QString field(const QString &text)
{
    const QByteArray utf8 = text.toUtf8();
    QByteArray out;
    appendField(out, utf8.constData(), utf8.size());
    return QString::fromUtf8(out);
}

void appendField(QByteArray &out, const char *utf8, qsizetype size)
{
    const char *const end = utf8 + size;
    const bool formula = size > 0 && std::strchr("=+-@\t\r", *utf8) != nullptr && *utf8 != '\0';
    const bool quoted = std::any_of(utf8, end, [](char c) { return c == ',' || c == '"' || c == '\n' || c == '\r'; });
    if (quoted)
        out += '"';
    if (formula)
        out += '\'';
    if (!quoted) {
        out.append(utf8, size);
        return;
    }
    for (const char *c = utf8; c != end; ++c) {
        if (*c == '"')
            out += '"';
        out += *c;
    }
    out += '"';
}

} // namespace NVL::Engineering::VK::Csv
