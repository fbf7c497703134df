#include "LocalTimeText.h"

namespace NVL::Engineering::VK {

QString localTimeText(const QDateTime &moment)
{
    const QDateTime local = moment.toLocalTime();
    const int offset = local.offsetFromUtc();
    const int minutes = (offset < 0 ? -offset : offset) / 60;
    return local.toString(QStringLiteral("yyyy-MM-dd HH:mm:ss "))
        + QStringLiteral("%1%2:%3")
              .arg(offset < 0 ? QLatin1Char('-') : QLatin1Char('+'))
              .arg(minutes / 60, 2, 10, QLatin1Char('0'))
              .arg(minutes % 60, 2, 10, QLatin1Char('0'));
}

} // namespace NVL::Engineering::VK
