#pragma once

#include "ApiTable.h"
#include "BatteryRecord.h"
#include "Forecast.h"
#include "HistoryPoint.h"
#include "TypeNames.h"

#include <QByteArray>
#include <QDateTime>
#include <QHash>
#include <QList>

#include <array>
#include <ctime>
#include <optional>

namespace NVL::Engineering::VK::ApiViews {

// The serial key back from its 16 hexadecimal digits (serialKeyText).
std::optional<QByteArray> serialKeyFrom(const QString &text);
// ISO 8601 with the local offset.
QString timeText(qint64 secondsSinceEpoch);
// The local calendar time of the seconds and its offset from UTC, by the C library on every platform.
bool localCalendar(qint64 secondsSinceEpoch, std::tm &local, long &offsetSeconds);
QString dayText(qint64 daysSinceEpoch);
// The dotted quad of the address a report came from, for the API and the pages alike.
QString addressText(quint32 ipv4);

// The columns and one row of the batteries' table, for answers written row by row.
const QStringList &batteryColumns();
QList<QJsonValue> batteryRow(const BatteryRecord &record, const std::optional<Forecast> &forecast, const TypeNames &types);
// The same row as cells, for answers about a whole fleet (ApiTable::appendCells).
using BatteryCells = std::array<ApiCell, 21>;
BatteryCells batteryCells(const BatteryRecord &record, const std::optional<Forecast> &forecast,
                          const TypeNames &types);
// The newest record of each battery with its class and forecast; a missing forecast reads "unknown".
ApiTable batteries(const QList<BatteryRecord> &records, const QHash<QByteArray, Forecast> &forecasts,
                   const TypeNames &types);
ApiTable history(const QList<HistoryPoint> &points);

} // namespace NVL::Engineering::VK::ApiViews
