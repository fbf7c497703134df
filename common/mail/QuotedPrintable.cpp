#include "QuotedPrintable.h"

namespace NVL::Engineering::VK {

QString QuotedPrintable::encode(const QByteArray &input)
{
    static const char hexDigits[] = "0123456789ABCDEF";
    QString output;
    output.reserve(input.size() * 3);
    for (const char ch : input) {
        const auto byte = static_cast<unsigned char>(ch);
        if (byte >= 0x20 && byte <= 0x7E && byte != '=') {
            output.append(QLatin1Char(ch));
        } else {
            output.append(QLatin1Char('='));
            output.append(QLatin1Char(hexDigits[byte >> 4]));
            output.append(QLatin1Char(hexDigits[byte & 0x0F]));
        }
    }
    return output;
}

} // namespace NVL::Engineering::VK
