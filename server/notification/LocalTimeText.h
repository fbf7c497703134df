#pragma once

#include <QDateTime>
#include <QString>

namespace NVL::Engineering::VK {

// A moment as the log shows it: local time with its offset from UTC, "2025-03-30 08:00:00 +02:00",
// so that a wrong time zone shows at a glance.
QString localTimeText(const QDateTime &moment);

} // namespace NVL::Engineering::VK
