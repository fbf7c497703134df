#include "HistoryStore.h"

#include "GroupedRows.h"
#include "Log.h"
#include "SerialNumber.h"
#include "SqliteFile.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QVariant>

#include <algorithm>
#include <atomic>
#include <iterator>
#include <vector>

namespace NVL::Engineering::VK {

namespace {

// 2: forecasts say which shape of the year their date comes from (the rules that bend and step).
// 3: points keep the address they came from, forecasts where their newest quarter's reports came from.
// 4: forecasts keep a curve, a rise, a yearly swing and their noise; the fleet's track record is kept.
constexpr qint64 LayoutVersion = 4;

QString nextConnectionName()
{
    static std::atomic<int> counter{0};
    return QStringLiteral("NVLVKHISTORY%1").arg(++counter);
}

// 4 KiB pages: the size the disk and the page cache move anyway, and a year of one battery's daily
// points fills two of them. WAL without a sync at every commit: a point is worth less than the report
// it came with, whose commit to vk.db is synced; a process crash loses no committed point, only a
// power cut may lose the newest ones, and the file stays sound either way.
const char *const SetupStatements[] = {
    "PRAGMA page_size = 4096",
    "PRAGMA journal_mode = WAL",
    "PRAGMA synchronous = NORMAL",
    "PRAGMA cache_size = -8192",
    "PRAGMA locking_mode = EXCLUSIVE",
    // Checkpoints short enough to go unnoticed between radio messages, and a log that does not stay large.
    "PRAGMA wal_autocheckpoint = 256",
    "PRAGMA journal_size_limit = 4194304",
};

const char *const LayoutStatements[] = {
    "CREATE TABLE IF NOT EXISTS batteries (serial BLOB PRIMARY KEY, id INTEGER NOT NULL) WITHOUT ROWID",
    "CREATE TABLE IF NOT EXISTS points (id INTEGER NOT NULL, time INTEGER NOT NULL, percent INTEGER NOT NULL, "
    "class INTEGER NOT NULL, capacity INTEGER NOT NULL, cycles INTEGER NOT NULL, address BLOB, PRIMARY KEY (id, "
    "time)) WITHOUT ROWID",
    "CREATE TABLE IF NOT EXISTS forecasts (id INTEGER PRIMARY KEY, newest INTEGER NOT NULL, status INTEGER NOT "
    "NULL, day INTEGER, earliest INTEGER, latest INTEGER, slope REAL NOT NULL, level REAL NOT NULL, days INTEGER "
    "NOT NULL, model INTEGER NOT NULL DEFAULT 0, since INTEGER, prior_level REAL NOT NULL DEFAULT 0, prior_slope REAL "
    "NOT NULL DEFAULT 0, places BLOB, curve REAL NOT NULL DEFAULT 0, noise REAL NOT NULL DEFAULT 0, rise INTEGER, "
    "rise_from REAL NOT NULL DEFAULT 0, season_sin REAL NOT NULL DEFAULT 0, season_cos REAL NOT NULL DEFAULT 0)",
    "CREATE TABLE IF NOT EXISTS meta (key TEXT PRIMARY KEY, value INTEGER NOT NULL) WITHOUT ROWID",
    "CREATE TABLE IF NOT EXISTS accuracy (id INTEGER PRIMARY KEY CHECK (id = 1), made INTEGER NOT NULL, record TEXT NOT NULL)",
};

// From layout 1: the forecasts gain their shape, and every one is fitted again by the newer rules (the
// stored ones are shown until then). Points are not touched.
const char *const Layout2Statements[] = {
    "ALTER TABLE forecasts ADD COLUMN model INTEGER NOT NULL DEFAULT 0",
    "ALTER TABLE forecasts ADD COLUMN since INTEGER",
    "ALTER TABLE forecasts ADD COLUMN prior_level REAL NOT NULL DEFAULT 0",
    "ALTER TABLE forecasts ADD COLUMN prior_slope REAL NOT NULL DEFAULT 0",
    "UPDATE forecasts SET newest = -1",
    "UPDATE meta SET value = 2 WHERE key = 'layout'",
};

// From layout 2: points written before have no address and count for no place; forecasts keep theirs
// until their battery reports again.
const char *const Layout3Statements[] = {
    "ALTER TABLE points ADD COLUMN address BLOB",
    "ALTER TABLE forecasts ADD COLUMN places BLOB",
    "UPDATE meta SET value = 3 WHERE key = 'layout'",
};

// From layout 3: the newer shapes' figures, and every forecast fitted again by the newer rules (the stored
// ones are shown until then). The track record is made by the next daily pass.
const char *const Layout4Statements[] = {
    "ALTER TABLE forecasts ADD COLUMN curve REAL NOT NULL DEFAULT 0",
    "ALTER TABLE forecasts ADD COLUMN noise REAL NOT NULL DEFAULT 0",
    "ALTER TABLE forecasts ADD COLUMN rise INTEGER",
    "ALTER TABLE forecasts ADD COLUMN rise_from REAL NOT NULL DEFAULT 0",
    "ALTER TABLE forecasts ADD COLUMN season_sin REAL NOT NULL DEFAULT 0",
    "ALTER TABLE forecasts ADD COLUMN season_cos REAL NOT NULL DEFAULT 0",
    "CREATE TABLE IF NOT EXISTS accuracy (id INTEGER PRIMARY KEY CHECK (id = 1), made INTEGER NOT NULL, record TEXT NOT NULL)",
    "UPDATE forecasts SET newest = -1",
    "UPDATE meta SET value = 4 WHERE key = 'layout'",
};

struct LayoutStep
{
    qint64 from;
    const char *const *statements;
    std::size_t count;
    const char *told;
};

const LayoutStep LayoutSteps[] = {
    {1, Layout2Statements, std::size(Layout2Statements), "every forecast is fitted again"},
    {2, Layout3Statements, std::size(Layout3Statements), "points from now on keep the address they came from"},
    {3, Layout4Statements, std::size(Layout4Statements), "every forecast is fitted again by the rules that follow wear as it speeds up"},
};

const QString ForecastColumns = QStringLiteral("status, day, earliest, latest, slope, level, days, model, since, "
                                               "prior_level, prior_slope, places, curve, noise, rise, rise_from, "
                                               "season_sin, season_cos");

QVariant optionalAddress(const QByteArray &address)
{
    return address.isEmpty() ? QVariant(QMetaType(QMetaType::QByteArray)) : QVariant(address);
}

// Points of the span with their address, oldest first, into places: the majority is what counts, so a
// battery that moved lately has its new home only once most of its quarter was spent there.
ReportPlaces placesOf(const QList<std::pair<qint64, QByteArray>> &points)
{
    ReportPlaces places;
    if (points.isEmpty())
        return places;
    const qint64 since = points.constLast().first - qint64(ReportPlaces::SpanDays) * 86400;
    QHash<QByteArray, int> counts;
    for (const auto &p : points) {
        if (p.first <= since)
            continue;
        ++places.points;
        if (!p.second.isEmpty())
            ++counts[p.second];
    }
    places.newest = points.constLast().second;
    for (auto it = counts.cbegin(); it != counts.cend(); ++it)
        places.shares.append({it.key(), it.value()});
    std::sort(places.shares.begin(), places.shares.end(), [](const ReportPlaces::Share &a, const ReportPlaces::Share &b) {
        return a.points != b.points ? a.points > b.points : a.address < b.address;
    });
    if (places.shares.size() > ReportPlaces::MaximumShares)
        places.shares.resize(ReportPlaces::MaximumShares);
    return places;
}

QVariant optionalDay(const std::optional<qint64> &day)
{
    return day ? QVariant(*day) : QVariant(QMetaType(QMetaType::LongLong));
}

std::optional<qint64> dayFrom(const QVariant &value)
{
    if (value.isNull())
        return std::nullopt;
    return value.toLongLong();
}

Forecast forecastFrom(const QSqlQuery &query, int first)
{
    Forecast f;
    f.status = Forecast::Status(query.value(first).toInt());
    f.day = dayFrom(query.value(first + 1));
    f.earliestDay = dayFrom(query.value(first + 2));
    f.latestDay = dayFrom(query.value(first + 3));
    f.slopePerYear = query.value(first + 4).toDouble();
    f.level = query.value(first + 5).toDouble();
    f.days = query.value(first + 6).toInt();
    f.model = Forecast::Model(query.value(first + 7).toInt());
    f.sinceDay = dayFrom(query.value(first + 8));
    f.priorLevel = query.value(first + 9).toDouble();
    f.priorSlopePerYear = query.value(first + 10).toDouble();
    f.places = ReportPlaces::decoded(query.value(first + 11).toByteArray());
    f.curvePerYear2 = query.value(first + 12).toDouble();
    f.noise = query.value(first + 13).toDouble();
    f.riseDay = dayFrom(query.value(first + 14));
    f.riseFrom = query.value(first + 15).toDouble();
    f.seasonSin = query.value(first + 16).toDouble();
    f.seasonCos = query.value(first + 17).toDouble();
    return f;
}

} // namespace

struct HistoryStore::ReportStatements
{
    explicit ReportStatements(const QSqlDatabase &db)
        : lookup(db)
        , newBattery(db)
        , point(db)
        , points(db)
    {
    }

    QSqlQuery lookup;
    QSqlQuery newBattery;
    QSqlQuery point;
    QSqlQuery points; // a whole group of them
};

// The retention pass's, prepared once per open file for a group of batteries: a statement a battery (and
// one more for each point removed) cost a pass over a million batteries most of its time in Qt's and
// SQLite's work per statement, not in the file.
struct HistoryStore::ThinStatements
{
    static constexpr int Group = 32;

    explicit ThinStatements(const QSqlDatabase &db)
        : scan(db)
        , removeOld(db)
        , removeRun(db)
    {
        scan.setForwardOnly(true);
    }

    bool prepare()
    {
        // One look-up of the primary key for each id of the list, in the order of id and time.
        QString list = QStringLiteral("?");
        for (int i = 1; i < Group; ++i)
            list += QStringLiteral(", ?");
        return scan.prepare(QStringLiteral("SELECT id, time, percent FROM points WHERE id IN (%1) AND time >= ? AND time < ? "
                                           "ORDER BY id, time")
                                .arg(list))
            && removeOld.prepare(QStringLiteral("DELETE FROM points WHERE id IN (%1) AND time < ?").arg(list))
            && removeRun.prepare(QStringLiteral("DELETE FROM points WHERE id = ? AND time >= ? AND time < ?"));
    }

    // A short group repeats its last id: the list is a set.
    void bindIds(QSqlQuery &query, const QList<qint64> &ids, qsizetype from)
    {
        const qsizetype count = std::min<qsizetype>(Group, ids.size() - from);
        for (int i = 0; i < Group; ++i)
            query.bindValue(i, ids[from + std::min<qsizetype>(i, count - 1)]);
    }

    QSqlQuery scan;
    QSqlQuery removeOld;
    QSqlQuery removeRun;
};

HistoryStore::HistoryStore(const QString &path)
    : m_path(path)
    , m_connection(nextConnectionName())
{
}

HistoryStore::~HistoryStore()
{
    closeConnection();
}

void HistoryStore::closeConnection()
{
    // The statements hold the connection; they go first.
    m_reportStatements.reset();
    m_thinStatements.reset();
    m_ids.clear();
    if (QSqlDatabase::contains(m_connection)) {
        QSqlDatabase::database(m_connection, false).close();
        QSqlDatabase::removeDatabase(m_connection);
    }
}

namespace {

// Placeholders by name: Qt formats a positional one's name anew at every bind, which cost the history a
// third of its time per report.
const QString SerialName = QStringLiteral(":serial");
const QString IdName = QStringLiteral(":id");
constexpr int PointGroup = 64;

const GroupedRows &pointNames()
{
    static const GroupedRows names({'i', 't', 'p', 'c', 'f', 'y', 'a'}, PointGroup);
    return names;
}

QString pointsStatement(int rows)
{
    return QStringLiteral("INSERT OR REPLACE INTO points (id, time, percent, class, capacity, cycles, address) VALUES ")
        + pointNames().values(rows);
}

void bindPoint(QSqlQuery &query, int row, qint64 id, const HistoryPoint &p)
{
    const GroupedRows &names = pointNames();
    query.bindValue(names.name(row, 0), id);
    query.bindValue(names.name(row, 1), p.time);
    query.bindValue(names.name(row, 2), p.percent);
    query.bindValue(names.name(row, 3), p.healthClass);
    query.bindValue(names.name(row, 4), p.fullCapacity);
    query.bindValue(names.name(row, 5), p.cycleCount);
    query.bindValue(names.name(row, 6), optionalAddress(p.address));
}

} // namespace

bool HistoryStore::prepareReportStatements()
{
    if (m_reportStatements)
        return true;
    auto statements = std::make_unique<ReportStatements>(QSqlDatabase::database(m_connection, false));
    if (!statements->lookup.prepare(QStringLiteral("SELECT id FROM batteries WHERE serial = :serial")))
        return failed(QStringLiteral("History battery"), statements->lookup);
    // A battery new to the file gets the next id; one the file already knows is left as it is.
    if (!statements->newBattery.prepare(
            QStringLiteral("INSERT INTO batteries (serial, id) VALUES (:serial, :id) ON CONFLICT (serial) DO NOTHING")))
        return failed(QStringLiteral("History battery"), statements->newBattery);
    if (!statements->point.prepare(pointsStatement(1)))
        return failed(QStringLiteral("History point"), statements->point);
    if (!statements->points.prepare(pointsStatement(PointGroup)))
        return failed(QStringLiteral("History point"), statements->points);
    m_reportStatements = std::move(statements);
    return true;
}

bool HistoryStore::open()
{
    openFile();
    if (m_damaged)
        replaceDamaged();
    return m_open;
}

bool HistoryStore::openFile()
{
    m_open = false;
    QSqlDatabase db = QSqlDatabase::contains(m_connection) ? QSqlDatabase::database(m_connection, false)
                                                           : QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), m_connection);
    db.setDatabaseName(m_path);
    if (!db.open()) {
        m_problem = QStringLiteral("the history file %1 cannot be opened: %2")
                        .arg(QDir::toNativeSeparators(m_path), db.lastError().text());
        Log::write(QStringLiteral("History file %1 cannot be opened: %2; history is off until the next start")
                                  .arg(QDir::toNativeSeparators(m_path), db.lastError().text()),
                              LogType::Error);
        return false;
    }
    QSqlQuery query(db);
    if (!SqliteFile::execAll(query, SetupStatements))
        return failed(QStringLiteral("History setup"), query);
    if (!createLayout(query) || !findNextId())
        return false;
    // A file that opens but cannot be written (its mode, a read-only mount) would take no point: say so
    // now instead of at the first report.
    QSqlQuery probe(db);
    if (!probe.exec(QStringLiteral("INSERT OR REPLACE INTO meta (key, value) VALUES ('opened', %1)")
                        .arg(QDateTime::currentSecsSinceEpoch()))) {
        m_problem = QStringLiteral("the history file %1 cannot be written: %2")
                        .arg(QDir::toNativeSeparators(m_path), probe.lastError().databaseText());
        Log::write(QStringLiteral("History file %1 cannot be written: %2; history is off until the next start")
                                  .arg(QDir::toNativeSeparators(m_path), probe.lastError().databaseText()),
                              LogType::Error);
        return false;
    }
    m_open = true;
    return true;
}

bool HistoryStore::createLayout(QSqlQuery &query)
{
    for (const char *statement : LayoutStatements) {
        if (!query.exec(QLatin1String(statement)))
            return failed(QStringLiteral("History layout"), query);
    }
    qint64 layout = metaValue(QStringLiteral("layout"), 0);
    if (layout == 0) {
        setMetaValue(QStringLiteral("layout"), LayoutVersion);
        return true;
    }
    // One step at a time, each in its own transaction: a file left between two steps resumes at the next.
    for (const LayoutStep &step : LayoutSteps) {
        if (layout != step.from)
            continue;
        QSqlDatabase db = QSqlDatabase::database(m_connection, false);
        if (!db.transaction())
            return failed(QStringLiteral("History layout"), query);
        for (std::size_t i = 0; i < step.count; ++i) {
            if (!query.exec(QLatin1String(step.statements[i]))) {
                failed(QStringLiteral("History layout"), query);
                db.rollback();
                return false;
            }
        }
        if (!db.commit()) {
            const QSqlError error = db.lastError();
            db.rollback();
            return failed(QStringLiteral("History layout"), error);
        }
        layout = step.from + 1;
        Log::write(QStringLiteral("History file %1 moved to layout %2: %3")
                                  .arg(QDir::toNativeSeparators(m_path))
                                  .arg(layout)
                                  .arg(QLatin1String(step.told)),
                              LogType::Information);
    }
    if (layout != LayoutVersion) {
        m_problem = QStringLiteral("the history file %1 has layout %2, this server knows %3")
                        .arg(QDir::toNativeSeparators(m_path))
                        .arg(layout)
                        .arg(LayoutVersion);
        Log::write(QStringLiteral("History file %1 has layout %2, this server knows %3; history is off")
                                  .arg(QDir::toNativeSeparators(m_path))
                                  .arg(layout)
                                  .arg(LayoutVersion),
                              LogType::Error);
        return false;
    }
    return true;
}

bool HistoryStore::findNextId()
{
    QSqlQuery query(QSqlDatabase::database(m_connection, false));
    if (!query.exec(QStringLiteral("SELECT max(id) FROM batteries")) || !query.next())
        return failed(QStringLiteral("History batteries"), query);
    m_nextId = query.value(0).toLongLong() + 1;
    return true;
}

bool HistoryStore::failed(const QString &label, const QSqlQuery &query)
{
    return failed(label, query.lastError());
}

bool HistoryStore::failed(const QString &label, const QSqlError &error)
{
    if (SqliteFile::isDamage(error)) {
        m_damaged = true;
        m_open = false;
        return false;
    }
    m_problem = QStringLiteral("%1: %2").arg(label, error.text());
    // A full disk lets some writes through between failures: the same failure is told once an hour, not
    // at every run of failures.
    const qint64 now = QDateTime::currentMSecsSinceEpoch();
    const auto told = m_toldAt.constFind(m_problem);
    if (!m_failureLogged && (told == m_toldAt.cend() || now - *told >= RepeatFailureMs)) {
        Log::write(m_problem, LogType::Error);
        if (m_toldAt.size() >= 64)
            m_toldAt.clear();
        m_toldAt.insert(m_problem, now);
    }
    m_failureLogged = true;
    return false;
}

bool HistoryStore::replaceDamaged()
{
    m_damaged = false;
    m_open = false;
    closeConnection();
    const QString kept = SqliteFile::damagedName(m_path);
    // Renamed, not copied: the file may be large, and the server must not wait for a copy.
    bool moved = QFile::rename(m_path, kept);
    for (const QString &suffix : SqliteFile::companions().mid(1)) {
        if (QFileInfo::exists(m_path + suffix))
            moved = QFile::rename(m_path + suffix, kept + suffix) && moved;
    }
    if (!moved || !openFile() || m_damaged) {
        m_damaged = false;
        Log::write(QStringLiteral("History file %1 is damaged and could not be replaced; history is off "
                                             "until the next start")
                                  .arg(QDir::toNativeSeparators(m_path)),
                              LogType::Error);
        m_open = false;
        return false;
    }
    Log::write(QStringLiteral("History file damaged: kept as %1 and replaced by an empty one. Stored "
                                         "reports are not affected.")
                              .arg(QDir::toNativeSeparators(kept)),
                          LogType::Error);
    ++m_replacements;
    return true;
}

std::optional<qint64> HistoryStore::idOf(const QByteArray &serial)
{
    if (!m_open)
        return std::nullopt;
    QSqlQuery query(QSqlDatabase::database(m_connection, false));
    query.prepare(QStringLiteral("SELECT id FROM batteries WHERE serial = ?"));
    query.addBindValue(serial);
    if (!query.exec()) {
        failed(QStringLiteral("History read"), query);
        return std::nullopt;
    }
    if (!query.next())
        return std::nullopt;
    return query.value(0).toLongLong();
}

QList<qint64> HistoryStore::batteryIds()
{
    QList<qint64> ids;
    if (!m_open)
        return ids;
    QSqlQuery query(QSqlDatabase::database(m_connection, false));
    query.setForwardOnly(true);
    if (!query.exec(QStringLiteral("SELECT id FROM batteries ORDER BY id"))) {
        failed(QStringLiteral("History read"), query);
        return ids;
    }
    while (query.next())
        ids.append(query.value(0).toLongLong());
    return ids;
}

std::optional<qint64> HistoryStore::ensureId(const QByteArray &serial, QSqlQuery &lookup, QSqlQuery &insert,
                                             QList<quint64> &added)
{
    const quint64 key = serialNumber(serial);
    const auto known = m_ids.constFind(key);
    if (known != m_ids.constEnd())
        return *known;
    // Tried as new first: a new battery then costs one statement, not a lookup that finds nothing and an
    // insert; a battery the file knows from before this start is looked up once.
    insert.bindValue(SerialName, serial);
    insert.bindValue(IdName, m_nextId);
    if (!insert.exec())
        return std::nullopt;
    if (insert.numRowsAffected() == 1) {
        m_ids.insert(key, m_nextId);
        added.append(key);
        return m_nextId++;
    }
    lookup.bindValue(SerialName, serial);
    if (!lookup.exec() || !lookup.next())
        return std::nullopt;
    const qint64 id = lookup.value(0).toLongLong();
    lookup.finish();
    m_ids.insert(key, id);
    return id;
}

bool HistoryStore::insertPoints(const std::vector<std::pair<qint64, HistoryPoint>> &rows, const QString &label)
{
    QSqlQuery &group = m_reportStatements->points;
    QSqlQuery &single = m_reportStatements->point;
    std::size_t next = 0;
    for (; next + PointGroup <= rows.size(); next += PointGroup) {
        for (int row = 0; row < PointGroup; ++row)
            bindPoint(group, row, rows[next + row].first, rows[next + row].second);
        if (!group.exec())
            return failed(label, group);
    }
    for (; next < rows.size(); ++next) {
        bindPoint(single, 0, rows[next].first, rows[next].second);
        if (!single.exec())
            return failed(label, single);
    }
    return true;
}

QList<qint64> HistoryStore::addPoints(const QList<BatteryRecord> &records, QList<std::pair<qint64, quint64>> *serials,
                                     const QList<QByteArray> &senders)
{
    QList<qint64> changed;
    if (!m_open || !prepareReportStatements())
        return changed;
    QSqlDatabase db = QSqlDatabase::database(m_connection, false);
    QSqlQuery &lookup = m_reportStatements->lookup;
    QSqlQuery &newBattery = m_reportStatements->newBattery;
    bool ok = db.transaction() || failed(QStringLiteral("History points"), db.lastError());
    QList<quint64> added;
    std::vector<std::pair<qint64, HistoryPoint>> rows;
    rows.reserve(records.size());
    for (qsizetype i = 0; i < records.size(); ++i) {
        const BatteryRecord &record = records[i];
        if (!ok)
            break;
        if (!isValidRecord(record))
            continue;
        const auto id = ensureId(record.serialKey(), lookup, newBattery, added);
        if (!id) {
            ok = failed(QStringLiteral("History battery"), lookup.lastError().isValid() ? lookup : newBattery);
            break;
        }
        const QByteArray sender = senders.value(i);
        rows.push_back({*id,
                        {qint64(record.reportTime), healthPercentage(record), int(healthClass(record)),
                         int(record.fullCapacity), int(record.cycleCount),
                         sender.isEmpty() ? ReportPlaces::ipv4Bytes(record.reportAddress) : sender}});
        if (changed.isEmpty() || changed.constLast() != *id)
            changed.append(*id);
        if (serials)
            serials->append({*id, serialNumber(record.serialKey())});
    }
    ok = ok && insertPoints(rows, QStringLiteral("History point"));
    if (ok && !db.commit())
        ok = failed(QStringLiteral("History commit"), db.lastError());
    if (!ok) {
        if (m_open)
            db.rollback();
        for (const quint64 key : std::as_const(added))
            m_ids.remove(key);
        if (serials)
            serials->clear();
        m_writeFailure = m_problem;
        return {};
    }
    succeeded();
    m_writeFailure.clear();
    return changed;
}

bool HistoryStore::addPoints(const QByteArray &serial, const QList<HistoryPoint> &points)
{
    if (!m_open)
        return false;
    QSqlDatabase db = QSqlDatabase::database(m_connection, false);
    if (!prepareReportStatements())
        return false;
    QSqlQuery &lookup = m_reportStatements->lookup;
    QSqlQuery &newBattery = m_reportStatements->newBattery;
    if (!db.transaction())
        return failed(QStringLiteral("History import"), db.lastError());
    QList<quint64> added;
    const auto forgetAdded = [this, &added] {
        for (const quint64 key : std::as_const(added))
            m_ids.remove(key);
    };
    const auto id = ensureId(serial, lookup, newBattery, added);
    if (!id) {
        db.rollback();
        return failed(QStringLiteral("History import"), newBattery);
    }
    std::vector<std::pair<qint64, HistoryPoint>> rows;
    rows.reserve(points.size());
    for (const HistoryPoint &p : points)
        rows.push_back({*id, p});
    if (!insertPoints(rows, QStringLiteral("History import"))) {
        db.rollback();
        forgetAdded();
        return false;
    }
    if (db.commit())
        return true;
    forgetAdded();
    return false;
}

void HistoryStore::removeBattery(const QByteArray &serial)
{
    const auto id = idOf(serial);
    if (!m_open || !id)
        return;
    QSqlDatabase db = QSqlDatabase::database(m_connection, false);
    QSqlQuery query(db);
    db.transaction();
    for (const QString &table : {QStringLiteral("points"), QStringLiteral("forecasts")}) {
        if (!query.exec(QStringLiteral("DELETE FROM %1 WHERE id = %2").arg(table).arg(*id))) {
            db.rollback();
            failed(QStringLiteral("History delete"), query);
            return;
        }
    }
    const quint64 key = serialNumber(serial);
    m_ids.remove(key);
    query.prepare(QStringLiteral("DELETE FROM batteries WHERE serial = ?"));
    query.addBindValue(serial);
    if (!query.exec()) {
        db.rollback();
        failed(QStringLiteral("History delete"), query);
    } else if (!db.commit()) {
        const QSqlError error = db.lastError();
        db.rollback();
        failed(QStringLiteral("History delete"), error);
    }
}

QList<HistoryPoint> HistoryStore::points(qint64 id, qint64 from, qint64 to)
{
    QList<HistoryPoint> result;
    if (!m_open)
        return result;
    QSqlQuery query(QSqlDatabase::database(m_connection, false));
    query.setForwardOnly(true);
    query.prepare(QStringLiteral("SELECT time, percent, class, capacity, cycles, address FROM points WHERE id = ? AND "
                                 "time >= ? AND time <= ? ORDER BY time"));
    query.addBindValue(id);
    query.addBindValue(from);
    query.addBindValue(to);
    if (!query.exec()) {
        failed(QStringLiteral("History read"), query);
        return result;
    }
    while (query.next())
        result.append({query.value(0).toLongLong(), query.value(1).toInt(), query.value(2).toInt(),
                       query.value(3).toInt(), query.value(4).toInt(), query.value(5).toByteArray()});
    return result;
}

int HistoryStore::thin(const QList<qint64> &ids, qint64 examineFrom, qint64 cutoff, qint64 removeBefore)
{
    if (!m_open)
        return -1;
    QSqlDatabase db = QSqlDatabase::database(m_connection, false);
    if (!m_thinStatements) {
        auto statements = std::make_unique<ThinStatements>(db);
        if (!statements->prepare())
            return failed(QStringLiteral("History thinning"), statements->scan) ? 0 : -1;
        m_thinStatements = std::move(statements);
    }
    ThinStatements &s = *m_thinStatements;
    if (!db.transaction())
        return failed(QStringLiteral("History thinning"), db.lastError()) ? 0 : -1;
    const auto fail = [&](const QSqlQuery &query) {
        db.rollback();
        failed(QStringLiteral("History thinning"), query);
        return -1;
    };
    int removed = 0;
    // Points of one battery and day but the one that stands for the day (its median): [from, to) of that
    // battery goes, before and after the one kept.
    struct Run
    {
        qint64 id;
        qint64 from;
        qint64 to;
    };
    std::vector<Run> runs;
    std::vector<qint64> times;
    std::vector<int> percents;
    qint64 groupId = -1, groupDay = 0;
    const auto closeDay = [&] {
        if (times.size() > 1) {
            const size_t kept = size_t(DailyHealth::indexOfValue(percents));
            if (kept > 0)
                runs.push_back({groupId, times.front(), times[kept]});
            if (kept + 1 < times.size())
                runs.push_back({groupId, times[kept + 1], times.back() + 1});
        }
        times.clear();
        percents.clear();
    };
    for (qsizetype first = 0; first < ids.size(); first += ThinStatements::Group) {
        s.bindIds(s.removeOld, ids, first);
        s.removeOld.bindValue(ThinStatements::Group, removeBefore);
        if (!s.removeOld.exec())
            return fail(s.removeOld);
        removed += s.removeOld.numRowsAffected();
        s.bindIds(s.scan, ids, first);
        s.scan.bindValue(ThinStatements::Group, std::max(examineFrom, removeBefore));
        s.scan.bindValue(ThinStatements::Group + 1, cutoff);
        if (!s.scan.exec())
            return fail(s.scan);
        runs.clear();
        while (s.scan.next()) {
            const qint64 id = s.scan.value(0).toLongLong();
            const qint64 time = s.scan.value(1).toLongLong();
            const qint64 day = m_days.dayOf(time);
            if (id != groupId || day != groupDay) {
                closeDay();
                groupId = id;
                groupDay = day;
            }
            times.push_back(time);
            percents.push_back(s.scan.value(2).toInt());
        }
        closeDay();
        groupId = -1;
        s.scan.finish();
        for (const Run &run : runs) {
            s.removeRun.bindValue(0, run.id);
            s.removeRun.bindValue(1, run.from);
            s.removeRun.bindValue(2, run.to);
            if (!s.removeRun.exec())
                return fail(s.removeRun);
            removed += s.removeRun.numRowsAffected();
        }
    }
    if (!db.commit()) {
        const QSqlError error = db.lastError();
        db.rollback();
        return failed(QStringLiteral("History thinning"), error) ? 0 : -1;
    }
    succeeded();
    return removed;
}

QList<DailyHealth> HistoryStore::dailyHealth(QSqlQuery &query, qint64 id, qint64 since, ReportPlaces *places)
{
    QList<DailyHealth> days;
    QList<std::pair<qint64, QByteArray>> senders;
    query.bindValue(0, id);
    query.bindValue(1, since);
    if (!query.exec()) {
        failed(QStringLiteral("History read"), query);
        return days;
    }
    std::vector<int> reports; // of the day being read, whose value is set once it is whole
    const auto closeDay = [&] {
        if (reports.size() > 1)
            days.last().percent = DailyHealth::valueOf(std::move(reports));
        reports.clear();
    };
    while (query.next()) {
        if (places)
            senders.append({query.value(0).toLongLong(), query.value(2).toByteArray()});
        const qint64 day = m_days.dayOf(query.value(0).toLongLong());
        const int percent = query.value(1).toInt();
        if (days.isEmpty() || days.constLast().day != day) {
            closeDay();
            days.append({day, percent});
        }
        reports.push_back(percent);
    }
    closeDay();
    query.finish();
    if (places)
        *places = placesOf(senders);
    return days;
}

bool HistoryStore::refreshForecasts(const QList<qint64> &ids, const Fit &fit, QHash<qint64, Forecast> *fitted)
{
    if (!m_open)
        return false;
    QSqlDatabase db = QSqlDatabase::database(m_connection, false);
    QSqlQuery newest(db);
    QSqlQuery save(db);
    // Prepared once for the whole batch: a statement parsed for each battery was a fifth of the fitting.
    QSqlQuery points(db);
    points.setForwardOnly(true);
    if (!db.transaction())
        return failed(QStringLiteral("History forecast"), db.lastError());
    if (!newest.prepare(QStringLiteral("SELECT max(time) FROM points WHERE id = ?"))
        || !points.prepare(QStringLiteral("SELECT time, percent, address FROM points WHERE id = ? AND time >= ? "
                                          "ORDER BY time"))
        || !save.prepare(QStringLiteral("INSERT OR REPLACE INTO forecasts (id, newest, %1) VALUES (?, ?, ?, ?, ?, ?, "
                                        "?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?)")
                             .arg(ForecastColumns))) {
        const QSqlError error = newest.lastError().isValid() ? newest.lastError()
                                : points.lastError().isValid() ? points.lastError() : save.lastError();
        db.rollback();
        return failed(QStringLiteral("History forecast"), error);
    }
    for (const qint64 id : ids) {
        newest.bindValue(0, id);
        if (!newest.exec() || !newest.next()) {
            db.rollback();
            return failed(QStringLiteral("History forecast"), newest);
        }
        const QVariant newestTime = newest.value(0);
        newest.finish();
        if (newestTime.isNull())
            continue; // no point left
        // A little more than what a fit reads, so that its first day is whole.
        const qint64 since = newestTime.toLongLong() - qint64(Forecast::ReadDays + 2) * 86400;
        ReportPlaces places;
        const QList<DailyHealth> days = dailyHealth(points, id, since, &places);
        Forecast f = fit(days);
        f.places = std::move(places);
        const QVariant values[] = {id,
                                   newestTime,
                                   int(f.status),
                                   optionalDay(f.day),
                                   optionalDay(f.earliestDay),
                                   optionalDay(f.latestDay),
                                   f.slopePerYear,
                                   f.level,
                                   f.days,
                                   int(f.model),
                                   optionalDay(f.sinceDay),
                                   f.priorLevel,
                                   f.priorSlopePerYear,
                                   f.places.isEmpty() ? QVariant(QMetaType(QMetaType::QByteArray)) : QVariant(f.places.encoded()),
                                   f.curvePerYear2,
                                   f.noise,
                                   optionalDay(f.riseDay),
                                   f.riseFrom,
                                   f.seasonSin,
                                   f.seasonCos};
        for (int i = 0; i < int(std::size(values)); ++i)
            save.bindValue(i, values[i]);
        if (!save.exec()) {
            db.rollback();
            return failed(QStringLiteral("History forecast"), save);
        }
        if (fitted)
            fitted->insert(id, f);
    }
    if (!db.commit()) {
        const QSqlError error = db.lastError();
        db.rollback();
        return failed(QStringLiteral("History forecast"), error);
    }
    succeeded();
    return true;
}

bool HistoryStore::forEachDays(const QList<qint64> &ids, const std::function<void(qint64, const QList<DailyHealth> &)> &visit)
{
    if (!m_open)
        return false;
    QSqlDatabase db = QSqlDatabase::database(m_connection, false);
    QSqlQuery newest(db);
    QSqlQuery points(db);
    points.setForwardOnly(true);
    if (!newest.prepare(QStringLiteral("SELECT max(time) FROM points WHERE id = ?"))
        || !points.prepare(QStringLiteral("SELECT time, percent, address FROM points WHERE id = ? AND time >= ? ORDER BY time")))
        return failed(QStringLiteral("History read"), newest.lastError().isValid() ? newest : points);
    for (const qint64 id : ids) {
        newest.bindValue(0, id);
        if (!newest.exec() || !newest.next())
            return failed(QStringLiteral("History read"), newest);
        const QVariant newestTime = newest.value(0);
        newest.finish();
        if (newestTime.isNull())
            continue;
        const qint64 since = newestTime.toLongLong() - qint64(Forecast::ReadDays + 2) * 86400;
        visit(id, dailyHealth(points, id, since, nullptr));
    }
    succeeded();
    return true;
}

std::optional<std::pair<qint64, QByteArray>> HistoryStore::trackRecord()
{
    if (!m_open)
        return std::nullopt;
    QSqlQuery query(QSqlDatabase::database(m_connection, false));
    if (!query.exec(QStringLiteral("SELECT made, record FROM accuracy WHERE id = 1"))) {
        failed(QStringLiteral("History track record"), query);
        return std::nullopt;
    }
    if (!query.next())
        return std::nullopt;
    return std::pair<qint64, QByteArray>(query.value(0).toLongLong(), query.value(1).toByteArray());
}

bool HistoryStore::setTrackRecord(qint64 made, const QByteArray &record)
{
    if (!m_open)
        return false;
    QSqlQuery query(QSqlDatabase::database(m_connection, false));
    query.prepare(QStringLiteral("INSERT OR REPLACE INTO accuracy (id, made, record) VALUES (1, ?, ?)"));
    query.addBindValue(made);
    query.addBindValue(QString::fromUtf8(record));
    if (!query.exec())
        return failed(QStringLiteral("History track record"), query);
    succeeded();
    return true;
}

std::optional<Forecast> HistoryStore::forecast(qint64 id)
{
    if (!m_open)
        return std::nullopt;
    QSqlQuery query(QSqlDatabase::database(m_connection, false));
    query.prepare(QStringLiteral("SELECT %1 FROM forecasts WHERE id = ?").arg(ForecastColumns));
    query.addBindValue(id);
    if (!query.exec()) {
        failed(QStringLiteral("History forecast read"), query);
        return std::nullopt;
    }
    if (!query.next())
        return std::nullopt;
    return forecastFrom(query, 0);
}

qint64 HistoryStore::forEachForecast(qint64 afterId, int limit,
                                     const std::function<void(const QByteArray &, const Forecast &)> &visit)
{
    if (!m_open)
        return -1;
    QSqlQuery query(QSqlDatabase::database(m_connection, false));
    query.setForwardOnly(true);
    if (!query.prepare(QStringLiteral("SELECT f.id, b.serial, %1 FROM forecasts f JOIN batteries b ON b.id = f.id "
                                      "WHERE f.id > ? ORDER BY f.id LIMIT ?")
                           .arg(ForecastColumns))) {
        failed(QStringLiteral("History forecast read"), query);
        return -1;
    }
    query.addBindValue(afterId);
    query.addBindValue(limit);
    if (!query.exec()) {
        failed(QStringLiteral("History forecast read"), query);
        return -1;
    }
    qint64 last = -1;
    while (query.next()) {
        last = query.value(0).toLongLong();
        visit(query.value(1).toByteArray(), forecastFrom(query, 2));
    }
    return last;
}

QList<std::pair<qint64, quint64>> HistoryStore::everyBattery()
{
    QList<std::pair<qint64, quint64>> out;
    if (!m_open)
        return out;
    QSqlQuery query(QSqlDatabase::database(m_connection, false));
    query.setForwardOnly(true);
    if (!query.exec(QStringLiteral("SELECT id, serial FROM batteries ORDER BY id"))) {
        failed(QStringLiteral("History battery"), query);
        return out;
    }
    while (query.next())
        out.append({query.value(0).toLongLong(), serialNumber(query.value(1).toByteArray())});
    return out;
}

QList<qint64> HistoryStore::staleForecasts(QHash<qint64, QByteArray> *serials)
{
    QList<qint64> ids;
    if (!m_open)
        return ids;
    QSqlQuery query(QSqlDatabase::database(m_connection, false));
    query.setForwardOnly(true);
    if (!query.exec(QStringLiteral("SELECT b.id, b.serial FROM batteries b LEFT JOIN forecasts f ON f.id = b.id WHERE f.id IS NULL "
                                   "OR f.newest < (SELECT max(time) FROM points p WHERE p.id = b.id)"))) {
        failed(QStringLiteral("History forecast read"), query);
        return ids;
    }
    while (query.next()) {
        ids.append(query.value(0).toLongLong());
        if (serials)
            serials->insert(ids.constLast(), query.value(1).toByteArray());
    }
    return ids;
}

std::optional<qint64> HistoryStore::newestFitted()
{
    if (!m_open)
        return std::nullopt;
    QSqlQuery query(QSqlDatabase::database(m_connection, false));
    if (!query.exec(QStringLiteral("SELECT max(newest) FROM forecasts")) || !query.next()) {
        failed(QStringLiteral("History forecast read"), query);
        return std::nullopt;
    }
    return query.value(0).isNull() ? std::nullopt : std::optional<qint64>(query.value(0).toLongLong());
}

QList<BatteryRecord> HistoryStore::withoutPoint(const QList<BatteryRecord> &records)
{
    QList<BatteryRecord> missing;
    if (!m_open || !prepareReportStatements())
        return missing;
    QSqlQuery newest(QSqlDatabase::database(m_connection, false));
    if (!newest.prepare(QStringLiteral("SELECT max(time) FROM points WHERE id = ?"))) {
        failed(QStringLiteral("History point read"), newest);
        return missing;
    }
    QSqlQuery &lookup = m_reportStatements->lookup;
    for (const BatteryRecord &record : records) {
        if (!isValidRecord(record))
            continue;
        lookup.bindValue(0, record.serialKey());
        if (!lookup.exec()) {
            failed(QStringLiteral("History battery"), lookup);
            return missing;
        }
        const bool known = lookup.next();
        const qint64 id = known ? lookup.value(0).toLongLong() : -1;
        lookup.finish();
        qint64 newestTime = -1;
        if (known) {
            newest.bindValue(0, id);
            if (!newest.exec() || !newest.next()) {
                failed(QStringLiteral("History point read"), newest);
                return missing;
            }
            newestTime = newest.value(0).isNull() ? -1 : newest.value(0).toLongLong();
            newest.finish();
        }
        if (newestTime < qint64(record.reportTime))
            missing.append(record);
    }
    return missing;
}

qint64 HistoryStore::metaValue(const QString &key, qint64 fallback)
{
    QSqlQuery query(QSqlDatabase::database(m_connection, false));
    query.prepare(QStringLiteral("SELECT value FROM meta WHERE key = ?"));
    query.addBindValue(key);
    if (!query.exec()) {
        failed(QStringLiteral("History settings"), query);
        return fallback;
    }
    return query.next() ? query.value(0).toLongLong() : fallback;
}

void HistoryStore::setMetaValue(const QString &key, qint64 value)
{
    QSqlQuery query(QSqlDatabase::database(m_connection, false));
    query.prepare(QStringLiteral("INSERT OR REPLACE INTO meta (key, value) VALUES (?, ?)"));
    query.addBindValue(key);
    query.addBindValue(value);
    if (!query.exec())
        failed(QStringLiteral("History settings"), query);
}

} // namespace NVL::Engineering::VK

namespace NVL::Engineering::VK {

void HistoryStore::releaseMemory()
{
    if (!m_open)
        return;
    QSqlQuery query(QSqlDatabase::database(m_connection, false));
    query.exec(QStringLiteral("PRAGMA shrink_memory")); // nothing lost where it fails: the cache stays
}

} // namespace NVL::Engineering::VK
