#pragma once

#include "Forecast.h"

#include <QByteArray>
#include <QList>
#include <QSqlDatabase>
#include <QString>

namespace NVL::Engineering::VK {

// The forecasts table of the shared database, kept as current as the history file's, so that whoever
// reads the database (another tool, a server after a move) finds the fits beside the points.
namespace PostgresForecasts {

struct Row
{
    QByteArray serial;
    qint64 newest = 0; // the report time of the newest point the fit saw
    Forecast forecast;
};

// Writes the rows in one statement; false with the reason when nothing of it was written.
bool save(const QSqlDatabase &db, const QList<Row> &rows, QString &errorText);

} // namespace PostgresForecasts

} // namespace NVL::Engineering::VK
