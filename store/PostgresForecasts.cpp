#include "PostgresForecasts.h"

#include "PostgresLiteral.h"

#include <QSqlError>
#include <QSqlQuery>

#include <cmath>

namespace NVL::Engineering::VK::PostgresForecasts {

namespace {

QString day(const std::optional<qint64> &value)
{
    return value ? QString::number(*value) : QStringLiteral("NULL");
}

QString number(double value)
{
    return std::isfinite(value) ? QString::number(value, 'g', 17) : QStringLiteral("'NaN'");
}

} // namespace

bool save(const QSqlDatabase &db, const QList<Row> &rows, QString &errorText)
{
    if (rows.isEmpty())
        return true;
    QString values;
    for (const Row &row : rows) {
        const Forecast &f = row.forecast;
        values += QStringLiteral("%1(%2,%3,%4,%5,%6,%7,")
                      .arg(values.isEmpty() ? QString() : QStringLiteral(","), PostgresLiteral::bytes(row.serial))
                      .arg(row.newest)
                      .arg(int(f.status))
                      .arg(day(f.day), day(f.earliestDay), day(f.latestDay));
        values += QStringLiteral("%1,%2,%3,%4,%5,%6,%7,%8,")
                      .arg(number(f.slopePerYear), number(f.level))
                      .arg(f.days)
                      .arg(int(f.model))
                      .arg(day(f.sinceDay), number(f.priorLevel), number(f.priorSlopePerYear),
                           PostgresLiteral::bytesOrNull(f.places.isEmpty() ? QByteArray() : f.places.encoded()));
        values += QStringLiteral("%1,%2,%3,%4,%5,%6)")
                      .arg(number(f.curvePerYear2), number(f.noise), day(f.riseDay), number(f.riseFrom),
                           number(f.seasonSin), number(f.seasonCos));
    }
    QSqlQuery query(db);
    if (query.exec(QStringLiteral(
            "INSERT INTO forecasts (serial, newest, status, day, earliest, latest, slope, level, days, model, since, "
            "prior_level, prior_slope, places, curve, noise, rise, rise_from, season_sin, season_cos) VALUES %1 ON "
            "CONFLICT (serial) DO UPDATE SET newest = excluded.newest, "
            "status = excluded.status, day = excluded.day, earliest = excluded.earliest, latest = excluded.latest, "
            "slope = excluded.slope, level = excluded.level, days = excluded.days, model = excluded.model, since = "
            "excluded.since, prior_level = excluded.prior_level, prior_slope = excluded.prior_slope, places = "
            "excluded.places, curve = excluded.curve, noise = excluded.noise, rise = excluded.rise, rise_from = "
            "excluded.rise_from, season_sin = excluded.season_sin, season_cos = excluded.season_cos")
                       .arg(values)))
        return true;
    errorText = query.lastError().text();
    return false;
}

} // namespace NVL::Engineering::VK::PostgresForecasts
