#include "CsvField.h"

namespace NVL::Engineering::VK::Csv {

QString field(const QString &text)
{
    static const QString formulaStarts = QStringLiteral("=+-@\t\r");
    QString value = !text.isEmpty() && formulaStarts.contains(text.front()) ? QLatin1Char('\'') + text : text;
    if (!value.contains(QLatin1Char(',')) && !value.contains(QLatin1Char('"')) && !value.contains(QLatin1Char('\n'))
        && !value.contains(QLatin1Char('\r')))
        return value;
    value.replace(QLatin1String("\""), QLatin1String("\"\""));
    return QLatin1Char('"') + value + QLatin1Char('"');
}

} // namespace NVL::Engineering::VK::Csv
