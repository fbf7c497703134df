#include "StoreChoice.h"

#include "PostgresBatteryStore.h"
#include "PostgresSchema.h"
#include "ServerSettings.h"
#include "SqliteBatteryStore.h"
#include "SqliteToPostgres.h"

#include <QSqlError>
#include <QTextStream>

namespace NVL::Engineering::VK::StoreChoice {

PostgresTarget postgresTarget(const StoreSettings &settings)
{
    PostgresTarget target;
    target.host = settings.host;
    target.port = settings.port;
    target.database = settings.database;
    target.user = settings.user;
    target.passwordFile = settings.passwordFile;
    target.sslmode = settings.sslmode;
    return target;
}

std::unique_ptr<BatteryStore> make(const StoreSettings &settings, bool keepHistory, const DataPaths &paths)
{
    if (settings.driver == StoreSettings::Driver::Sqlite)
        return std::make_unique<SqliteBatteryStore>(paths.databaseFile());
    return makeShared(settings, keepHistory, paths);
}

std::unique_ptr<PostgresBatteryStore> makeShared(const StoreSettings &settings, bool keepHistory, const DataPaths &paths)
{
    return std::make_unique<PostgresBatteryStore>(postgresTarget(settings), settings.site,
                                                  paths.serverFolder + QStringLiteral("/vk-outage-spool.db"),
                                                  settings.spoolLimit, keepHistory);
}

} // namespace NVL::Engineering::VK::StoreChoice

namespace NVL::Engineering::VK::StoreChoice {

int migrateToPostgresql(const DataPaths &paths)
{
    QTextStream out(stdout);
    QTextStream err(stderr);
    const StoreSettings settings = ServerSettings::read(paths.settingsFile()).store;
    if (!settings.error.isEmpty() || settings.driver != StoreSettings::Driver::Postgresql) {
        err << (settings.error.isEmpty() ? QStringLiteral("%1 has no [store] driver=postgresql to move into").arg(paths.settingsFile())
                                         : settings.error)
            << Qt::endl;
        return 2;
    }
    const PostgresTarget target = postgresTarget(settings);
    const QString name = QStringLiteral("vk-move-target");
    QString error;
    int status = 0;
    {
        if (!target.addConnection(name, error)) {
            err << error << Qt::endl;
            return 2;
        }
        QSqlDatabase db = QSqlDatabase::database(name, false);
        QList<SqliteToPostgres::Count> counts;
        if (!db.open()) {
            err << QStringLiteral("%1 cannot be reached: %2").arg(target.describe(), db.lastError().text()) << Qt::endl;
            status = 3;
        } else if (!PostgresSchema::migrate(db, error)
                   || !SqliteToPostgres::copy(paths.databaseFile(), paths.historyFile(), settings.site, db, counts, error)) {
            status = 1;
        }
        for (const SqliteToPostgres::Count &count : counts)
            out << QStringLiteral("%1: %2 in SQLite, %3 in PostgreSQL").arg(count.table).arg(count.source).arg(count.target)
                << Qt::endl;
        if (status == 1)
            err << QStringLiteral("Nothing moved: ") << error << Qt::endl;
        db.close();
    }
    QSqlDatabase::removeDatabase(name);
    return status;
}

} // namespace NVL::Engineering::VK::StoreChoice
