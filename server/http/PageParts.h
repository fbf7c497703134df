#pragma once

#include "FleetIndex.h"
#include "Html.h"

#include <QByteArray>
#include <QString>

#include <optional>

namespace NVL::Engineering::VK::PageParts {

// The class as a badge: colour, a shape and the name, so that it reads without colour too.
QByteArray classBadge(int healthClass);
const char *className(int healthClass);  // "Poor" ... "Excellent"
const char *classKey(int healthClass);   // "poor" ... "excellent", for addresses and CSS
// The predicted day of reaching Poor, or why there is none.
// What a list says of a battery's replacement, by the one rule (ReplacementOutlook).
QString forecastText(const FleetIndex::Entry &entry);
// Of a forecast alone, where no report goes with it.
QString forecastText(const std::optional<Forecast> &forecast);
// Local time to the minute.
QString localTime(qint64 secondsSinceEpoch);
// The serial as the report mails print it, or the 16-digit key for batteries whose serial they leave empty.
QString serialShown(const BatteryRecord &record);
QByteArray batteryPath(const BatteryRecord &record);
// The body of a page that is not there, with the ways back.
QByteArray notFoundPage(const QString &what, bool signOut = false);

} // namespace NVL::Engineering::VK::PageParts
