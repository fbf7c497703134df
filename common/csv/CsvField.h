#pragma once

#include <QByteArray>
#include <QString>

namespace NVL::Engineering::VK::Csv {

// One field of a CSV line as every file of ours writes it. Aliases and serial texts come from radios in
// the field: a text that a spreadsheet would run as a formula (first character =, +, -, @, tab or
// carriage return) gets a leading apostrophe, which the common spreadsheets read as "this is text" and
// do not show; a field with a comma, quote or line break is quoted. Numbers are written by the caller.
QString field(const QString &text);
// The same for UTF-8 text, appended to `out`: no conversion for the rows of a whole fleet.
void appendField(QByteArray &out, const char *utf8, qsizetype size);

} // namespace NVL::Engineering::VK::Csv
