#include "SqliteFile.h"

#include <QDateTime>
#include <QFileInfo>
#include <QSqlError>
#include <QSqlQuery>

#include <algorithm>

#ifdef VK_SQLITE_LIBRARY
#include <sqlite3.h>
#endif

namespace NVL::Engineering::VK::SqliteFile {

namespace {

constexpr int Corrupt = 11;
constexpr int Full = 13;
constexpr int NotADatabase = 26;

int primaryCode(const QSqlError &error)
{
    return error.nativeErrorCode().toInt() & 0xFF;
}

} // namespace

bool isDamage(const QSqlError &error)
{
    const int code = primaryCode(error);
    return code == Corrupt || code == NotADatabase;
}

bool isDiskFull(const QSqlError &error)
{
    return primaryCode(error) == Full;
}

bool execAll(QSqlQuery &query, const char *const *statements, std::size_t count)
{
    return std::all_of(statements, statements + count,
                       [&query](const char *statement) { return query.exec(QLatin1String(statement)); });
}

const QStringList &companions()
{
    static const QStringList suffixes{QString(), QStringLiteral("-wal"), QStringLiteral("-shm")};
    return suffixes;
}

QString damagedName(const QString &path)
{
    const QString stamp = QDateTime::currentDateTime().toString(QStringLiteral("yyyyMMdd-HHmmss"));
    QString kept = path + QStringLiteral(".damaged-") + stamp;
    for (int n = 2; std::any_of(companions().cbegin(), companions().cend(),
                                [&kept](const QString &suffix) { return QFileInfo::exists(kept + suffix); });
         ++n)
        kept = path + QStringLiteral(".damaged-%1-%2").arg(stamp).arg(n);
    return kept;
}

void stopMemoryStatistics()
{
#ifdef VK_SQLITE_LIBRARY
    sqlite3_config(SQLITE_CONFIG_MEMSTATUS, 0);
#endif
}

} // namespace NVL::Engineering::VK::SqliteFile
