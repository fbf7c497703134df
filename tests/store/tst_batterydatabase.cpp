#include "BatteryDatabase.h"
#include "EventSink.h"
#include "HealthFall.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QTemporaryDir>
#include <QTest>

#include <cstring>
#include <memory>

using namespace NVL::Engineering::VK;

namespace {

struct LogEntry
{
    QString message;
    LogType type;
};

class RecordingSink final : public EventSink
{
public:
    void writeEvent(const QString &, const QString &message, LogType type, quint32, quint16,
                    const QByteArray &) override
    {
        entries.append({message, type});
    }

    QStringList messages(LogType type) const
    {
        QStringList result;
        for (const LogEntry &entry : entries) {
            if (entry.type == type)
                result << entry.message;
        }
        return result;
    }

    QList<LogEntry> entries;
};

// A second, independent connection to a database file, for looking at it from outside.
class Probe
{
public:
    explicit Probe(const QString &path)
        : m_name(QStringLiteral("probe%1").arg(++counter))
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), m_name);
        db.setDatabaseName(path);
        m_opened = db.open();
    }
    ~Probe()
    {
        QSqlDatabase::database(m_name, false).close();
        QSqlDatabase::removeDatabase(m_name);
    }
    Probe(const Probe &) = delete;
    Probe &operator=(const Probe &) = delete;

    bool opened() const { return m_opened; }

    bool exec(const QString &sql, const QVariantList &binds = {})
    {
        QSqlQuery query(QSqlDatabase::database(m_name, false));
        if (!query.prepare(sql)) {
            lastError = query.lastError().text();
            return false;
        }
        for (const QVariant &bind : binds)
            query.addBindValue(bind);
        if (!query.exec()) {
            lastError = query.lastError().text();
            return false;
        }
        return true;
    }

    // Column 0 of every row; an empty list also when the statement failed (see lastError).
    QVariantList column(const QString &sql)
    {
        QVariantList values;
        QSqlQuery query(QSqlDatabase::database(m_name, false));
        if (!query.exec(sql)) {
            lastError = query.lastError().text();
            return values;
        }
        while (query.next())
            values << query.value(0);
        return values;
    }

    QString lastError;

private:
    static int counter;
    QString m_name;
    bool m_opened = false;
};

int Probe::counter = 0;

QByteArray serialBytes(std::initializer_list<int> bytes)
{
    QByteArray serial(8, '\0');
    int i = 0;
    for (int byte : bytes)
        serial[i++] = char(byte);
    return serial;
}

// An ordinary battery whose health follows from cycles and capacity.
BatteryRecord makeRecord(const QByteArray &serial, quint16 cycles, quint16 capacity, quint32 time = 1700000000)
{
    BatteryRecord record;
    record.version = 1;
    std::memcpy(record.serial, serial.constData(), 8);
    record.cycleCount = cycles;
    record.fullCapacity = capacity;
    std::strcpy(record.alias, "Radio");
    record.reportTime = time;
    return record;
}

BatteryRecord excellentRecord(const QByteArray &serial) { return makeRecord(serial, 0, 3780); }
BatteryRecord goodRecord(const QByteArray &serial) { return makeRecord(serial, 250, 4000); }

QByteArray fileBytes(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return QByteArray();
    return file.readAll();
}

bool writeFile(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(bytes) == bytes.size();
}

QSqlDatabase serverConnection()
{
    return QSqlDatabase::database(BatteryDatabase::connectionName(), false);
}

// Every row, valid or not, in the order of the serial.
QList<QByteArray> allReports(BatteryDatabase &)
{
    QList<QByteArray> rows;
    QSqlQuery query(serverConnection());
    query.exec(QStringLiteral("SELECT data FROM batteries ORDER BY serial"));
    while (query.next())
        rows << query.value(0).toByteArray();
    return rows;
}

BatteryDatabase::Replaced save(BatteryDatabase &db, const BatteryRecord &record)
{
    return db.saveReports({record}).value(0);
}

bool execOnServerConnection(const QString &sql)
{
    QSqlQuery query(serverConnection());
    return query.exec(sql);
}

bool startedFresh(BatteryDatabase &db)
{
    QString error;
    return db.openWithRecovery() && db.checkVersion(error) && error.isEmpty();
}

} // namespace

class TestBatteryDatabase : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { EventSink::setCurrent(&m_sink); }
    void cleanupTestCase() { EventSink::setCurrent(nullptr); }
    void init();
    void cleanup();

    void schemaResourceKeepsItsBytes();
    void firstOpenCreatesSchema();
    void foreignVersionStopsWithoutChange();
    void emptyConfigGetsTheVersionBack();
    void saveReplacesAndListsInByteOrder();
    void validReportsSkipInvalidRows();
    void healthFallsAgainstTheReplacedRecord();
    void checkpointAfterEveryHundredthSave();
    void damagedLogIsSalvagedAndKept();
    void damagedIndexIsRebuiltAroundTheRows();
    void fileThatIsNoDatabaseIsKeptAndReplaced();
    void emptyFileIsReportedAndReplaced();
    void unopenableFileFails();
    void orphanedBackupIsRestored();
    void statementFailuresAreLoggedWithLabels();
    void exceptionalTriggersAreLoggedWithLabels();
    void runtimeQueryFailuresAreLogged();
    void destructionRemovesConnection();

private:
    QString dbPath() const { return m_dir->filePath(QStringLiteral("vk.db")); }
    // The one damaged main file kept aside, by its full path.
    QString keptDamagedFile() const
    {
        const QStringList kept = QDir(m_dir->path()).entryList({QStringLiteral("vk.db.damaged-*")}, QDir::Files);
        const QStringList mains = kept.filter(QRegularExpression(QStringLiteral("^vk\\.db\\.damaged-\\d{8}-\\d{6}$")));
        return mains.size() == 1 ? m_dir->filePath(mains.first()) : QString();
    }

    RecordingSink m_sink;
    std::unique_ptr<QTemporaryDir> m_dir;
};

void TestBatteryDatabase::init()
{
    m_dir = std::make_unique<QTemporaryDir>();
    QVERIFY(m_dir->isValid());
    m_sink.entries.clear();
}

void TestBatteryDatabase::cleanup()
{
    QVERIFY2(!QSqlDatabase::contains(BatteryDatabase::connectionName()), "a test left the connection registered");
    m_dir.reset();
}

void TestBatteryDatabase::schemaResourceKeepsItsBytes()
{
    QFile schema(QStringLiteral(":/Voltkeep.schema"));
    QVERIFY(schema.open(QIODevice::ReadOnly));
    const QByteArray bytes = schema.readAll();
    QCOMPARE(bytes.size(), 363);
    QVERIFY(bytes.endsWith("\r\n"));
    QCOMPARE(bytes.count("\r\n"), 17);
    QCOMPARE(bytes.count('\n'), 17); // no bare line feeds
    QCOMPARE(bytes.count('\t'), 3);
    const QList<QByteArray> lines = bytes.split('\n');
    QVERIFY(lines.at(6).startsWith("\tserial BLOB"));
    QVERIFY(lines.at(7).startsWith("\tdata BLOB"));
    QVERIFY(lines.at(11).startsWith("\tdatabase_version"));

    const QStringList pieces = QString::fromUtf8(bytes).split(QStringLiteral(";\r\n"), Qt::KeepEmptyParts);
    QCOMPARE(pieces.size(), 8);
    QCOMPARE(pieces.first(), QStringLiteral("DROP TABLE IF EXISTS batteries"));
    QCOMPARE(pieces.at(2), QStringLiteral("\r\nPRAGMA foreign_keys = ON"));
    QCOMPARE(pieces.at(6), QStringLiteral("\r\nINSERT INTO config(database_version) VALUES(1)"));
    QVERIFY(pieces.last().isEmpty());
}

void TestBatteryDatabase::firstOpenCreatesSchema()
{
    QVERIFY(!QFile::exists(dbPath()));
    {
        BatteryDatabase db(dbPath());
        QVERIFY(!db.isOpen());
        QVERIFY(startedFresh(db));
        QVERIFY(db.isOpen());
        QVERIFY(allReports(db).isEmpty());

        // Exclusive locking keeps any other connection out while the server holds the file.
        Probe outsider(dbPath());
        QVERIFY(outsider.column(QStringLiteral("SELECT count(*) FROM config")).isEmpty());
        QVERIFY2(outsider.lastError.contains(QLatin1String("locked")), qPrintable(outsider.lastError));

        db.close();
    }
    QVERIFY(m_sink.entries.isEmpty());

    Probe probe(dbPath());
    QVERIFY(probe.opened());
    QCOMPARE(probe.column(QStringLiteral("SELECT database_version FROM config")), QVariantList{1});
    QCOMPARE(probe.column(QStringLiteral("SELECT count(*) FROM batteries")), QVariantList{0});
    QCOMPARE(probe.column(QStringLiteral("SELECT count(*) FROM sqlite_master WHERE name = 'batteries_serial_idx'")),
             QVariantList{1});
    QCOMPARE(probe.column(QStringLiteral("PRAGMA page_size")), QVariantList{512});
    QCOMPARE(probe.column(QStringLiteral("PRAGMA journal_mode")), QVariantList{QStringLiteral("wal")});
    QCOMPARE(probe.column(QStringLiteral("PRAGMA integrity_check")), QVariantList{QStringLiteral("ok")});
}

void TestBatteryDatabase::foreignVersionStopsWithoutChange()
{
    const QByteArray serial = serialBytes({0, 0, 'A', 1, 2, 3, 4, 5});
    {
        // Laid out as the server itself would have, so that its tuning has nothing to change.
        Probe probe(dbPath());
        QVERIFY(probe.exec(QStringLiteral("PRAGMA page_size = 512")));
        QVERIFY(probe.exec(QStringLiteral("PRAGMA journal_mode = WAL")));
        QVERIFY(probe.exec(QStringLiteral("CREATE TABLE batteries (serial BLOB UNIQUE PRIMARY KEY NOT NULL, data BLOB NOT NULL)")));
        QVERIFY(probe.exec(QStringLiteral("CREATE TABLE config (database_version INTEGER NOT NULL)")));
        QVERIFY(probe.exec(QStringLiteral("INSERT INTO config VALUES (2)")));
        QVERIFY(probe.exec(QStringLiteral("INSERT INTO batteries VALUES (?, ?)"),
                           {serial, goodRecord(serial).toBytes()}));
    }
    const QByteArray before = fileBytes(dbPath());
    QVERIFY(!before.isEmpty());
    {
        BatteryDatabase db(dbPath());
        QVERIFY(db.openWithRecovery());
        QString error;
        QVERIFY(!db.checkVersion(error));
        QCOMPARE(error, QStringLiteral("Database error: unable to continue"));
        db.close();
    }
    QCOMPARE(fileBytes(dbPath()), before);
    Probe probe(dbPath());
    QCOMPARE(probe.column(QStringLiteral("SELECT count(*) FROM batteries")), QVariantList{1});
}

void TestBatteryDatabase::emptyConfigGetsTheVersionBack()
{
    BatteryDatabase db(dbPath());
    QVERIFY(startedFresh(db));
    save(db, goodRecord(serialBytes({1, 2, 3, 4, 5, 6, 7, 8})));
    QCOMPARE(allReports(db).size(), 1);

    // The stored reports stay: only the missing row is written back.
    QVERIFY(execOnServerConnection(QStringLiteral("DELETE FROM config")));
    QString error;
    QVERIFY(db.checkVersion(error));
    QVERIFY(error.isEmpty());
    QCOMPARE(allReports(db), QList<QByteArray>{goodRecord(serialBytes({1, 2, 3, 4, 5, 6, 7, 8})).toBytes()});
    {
        QSqlQuery query(QStringLiteral("SELECT database_version FROM config"), serverConnection());
        QVERIFY(query.next());
        QCOMPARE(query.value(0).toInt(), 1);
        QVERIFY(!query.next());
    }
    QCOMPARE(m_sink.entries.size(), 1);
    QCOMPARE(m_sink.entries.first().type, LogType::Warning);
    QCOMPARE(m_sink.entries.first().message, QStringLiteral("Database version was missing and has been written back"));
    db.close();
}

void TestBatteryDatabase::saveReplacesAndListsInByteOrder()
{
    BatteryDatabase db(dbPath());
    QVERIFY(startedFresh(db));

    const QByteArray high = serialBytes({1, 0, 0, 0, 0, 0, 0, 0});
    const QByteArray mid = serialBytes({0, 0xFF, 0, 0, 0, 0, 0, 0});
    const QByteArray low = serialBytes({0, 1, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF});
    save(db, makeRecord(high, 10, 3000, 1));
    save(db, makeRecord(mid, 20, 3000, 2));
    save(db, makeRecord(low, 30, 3000, 3));
    const BatteryRecord secondHigh = makeRecord(high, 11, 3100, 4);
    save(db, secondHigh);

    const QList<QByteArray> expected = {makeRecord(low, 30, 3000, 3).toBytes(), makeRecord(mid, 20, 3000, 2).toBytes(),
                                        secondHigh.toBytes()};
    QCOMPARE(allReports(db), expected);

    QList<QByteArray> listed;
    for (const BatteryRecord &record : db.validReports())
        listed << record.toBytes();
    QCOMPARE(listed, expected);

    db.deleteReport(mid);
    db.deleteReport(serialBytes({9, 9, 9, 9, 9, 9, 9, 9})); // no such row: no error
    QCOMPARE(allReports(db), (QList<QByteArray>{expected.at(0), expected.at(2)}));
    QVERIFY(m_sink.entries.isEmpty());
    db.close();
}

void TestBatteryDatabase::validReportsSkipInvalidRows()
{
    BatteryDatabase db(dbPath());
    QVERIFY(startedFresh(db));
    QVERIFY(db.validReports().isEmpty());

    const BatteryRecord first = makeRecord(serialBytes({0, 0, 0, 0, 0, 0, 0, 1}), 10, 3000);
    BatteryRecord second = makeRecord(serialBytes({0, 0x80, 0, 0, 0, 0, 0, 0}), 20, 3100);
    second.version = 2;
    const BatteryRecord third = makeRecord(serialBytes({2, 0, 0, 0, 0, 0, 0, 0}), 30, 3200);
    save(db, third);
    save(db, first);
    save(db, second);

    // Rows no valid report could have written: wrong length, unknown versions.
    BatteryRecord versionZero = makeRecord(serialBytes({0, 0, 0, 0, 0, 0, 0, 2}), 1, 1);
    versionZero.version = 0;
    BatteryRecord versionThree = makeRecord(serialBytes({1, 0, 0, 0, 0, 0, 0, 0}), 1, 1);
    versionThree.version = 3;
    const QList<std::pair<QByteArray, QByteArray>> invalidRows = {
        {versionZero.serialKey(), versionZero.toBytes()},
        {versionThree.serialKey(), versionThree.toBytes()},
        {serialBytes({0, 0x40, 0, 0, 0, 0, 0, 0}), first.toBytes().left(63)},
        {serialBytes({3, 0, 0, 0, 0, 0, 0, 0}), first.toBytes() + '\0'},
    };
    for (const auto &row : invalidRows) {
        QSqlQuery insert(serverConnection());
        QVERIFY(insert.prepare(QStringLiteral("INSERT INTO batteries (serial, data) VALUES (?, ?)")));
        insert.addBindValue(row.first);
        insert.addBindValue(row.second);
        QVERIFY2(insert.exec(), qPrintable(insert.lastError().text()));
    }
    QCOMPARE(allReports(db).size(), 7);

    const QList<BatteryRecord> records = db.validReports();
    QList<QByteArray> bytes;
    for (const BatteryRecord &record : records)
        bytes << record.toBytes();
    QCOMPARE(bytes, (QList<QByteArray>{first.toBytes(), second.toBytes(), third.toBytes()}));
    QVERIFY(m_sink.entries.isEmpty());
    db.close();
}

void TestBatteryDatabase::healthFallsAgainstTheReplacedRecord()
{
    BatteryDatabase db(dbPath());
    QVERIFY(startedFresh(db));
    const QByteArray serial = serialBytes({0, 0, 'B', 1, 2, 3, 4, 5});
    const auto fellOnSave = [&db](const BatteryRecord &record) { return healthFell(save(db, record), record); };

    QVERIFY(!fellOnSave(excellentRecord(serial))); // no stored row
    QVERIFY(fellOnSave(goodRecord(serial)));
    QVERIFY(!fellOnSave(goodRecord(serial)));
    QVERIFY(!fellOnSave(excellentRecord(serial)));
    QVERIFY(fellOnSave(makeRecord(serial, 500, 3780))); // Poor

    // Saved together, a battery reported twice is compared with its first report.
    const QList<BatteryRecord> twice{goodRecord(serial), makeRecord(serial, 500, 3780)};
    const QList<BatteryDatabase::Replaced> replaced = db.saveReports(twice);
    QCOMPARE(replaced.size(), 2);
    QVERIFY(!healthFell(replaced.at(0), twice.at(0)));
    QVERIFY(healthFell(replaced.at(1), twice.at(1)));
    // Without look-ups reports are upserted a group to a statement: reported twice, the later report stays.
    QList<BatteryRecord> grouped;
    for (int i = 0; i < 150; ++i) // the second group's 120th report is of the battery of its 70th
        grouped << makeRecord(serialBytes({0, 0, 'G', 0, 0, 0, 0, i == 120 ? 70 : i}), quint16(i), 3000);
    db.saveReports(grouped, nullptr, BatteryDatabase::Lookup::None);
    QHash<QByteArray, quint16> cycles;
    for (const BatteryRecord &r : db.validReports())
        if (r.serial[2] == 'G')
            cycles.insert(r.serialKey(), r.cycleCount);
    QCOMPARE(cycles.size(), 149);
    QCOMPARE(cycles.value(grouped.at(70).serialKey()), quint16(120));

    // A stored row that is no valid record never raises an alert.
    QByteArray shortRow = excellentRecord(serial).toBytes().left(63);
    {
        QSqlQuery query(serverConnection());
        QVERIFY(query.prepare(QStringLiteral("UPDATE batteries SET data = ? WHERE serial = ?")));
        query.addBindValue(shortRow);
        query.addBindValue(serial);
        QVERIFY(query.exec());
        QCOMPARE(query.numRowsAffected(), 1);
    }
    QVERIFY(!fellOnSave(makeRecord(serial, 500, 3780)));
    QVERIFY(m_sink.entries.isEmpty());
    db.close();
}

void TestBatteryDatabase::checkpointAfterEveryHundredthSave()
{
    BatteryDatabase db(dbPath());
    QVERIFY(startedFresh(db));
    auto saveNumbered = [&db](int n) { save(db, goodRecord(serialBytes({n >> 8, n & 0xFF, 7, 7, 7, 7, 7, 7}))); };
    auto mainFileSize = [this] { return QFileInfo(dbPath()).size(); };

    // Until a checkpoint folds the log back, the main file does not grow.
    const qint64 initial = mainFileSize();
    for (int n = 1; n <= 99; ++n)
        saveNumbered(n);
    QCOMPARE(mainFileSize(), initial);
    saveNumbered(100);
    const qint64 afterFirst = mainFileSize();
    QVERIFY2(afterFirst > initial, qPrintable(QStringLiteral("%1 -> %2").arg(initial).arg(afterFirst)));

    for (int n = 101; n <= 199; ++n)
        saveNumbered(n);
    QCOMPARE(mainFileSize(), afterFirst);
    saveNumbered(200);
    QVERIFY(mainFileSize() > afterFirst);

    QCOMPARE(allReports(db).size(), 200);
    QVERIFY(m_sink.entries.isEmpty());
    db.close();
}

void TestBatteryDatabase::damagedLogIsSalvagedAndKept()
{
    const QByteArray kept = serialBytes({0, 0, 'K', 1, 1, 1, 1, 1});
    const QByteArray logOnly = serialBytes({0, 0, 'L', 2, 2, 2, 2, 2});
    {
        BatteryDatabase db(dbPath());
        QVERIFY(startedFresh(db));
        save(db, goodRecord(kept));
        db.close(); // the last close folds the log into the main file
    }
    QVERIFY(!QFile::exists(dbPath() + "-wal"));

    // Commit a row and a damaging schema change into the log only, and take the files as they are
    // while the log still holds them (closing would fold it back).
    const QString snapshot = m_dir->filePath(QStringLiteral("snapshot"));
    QVERIFY(QDir().mkpath(snapshot));
    const QStringList suffixes{QString(), QStringLiteral("-wal"), QStringLiteral("-shm")};
    {
        Probe writer(dbPath());
        QVERIFY(writer.exec(QStringLiteral("INSERT INTO batteries VALUES (?, ?)"), {logOnly, goodRecord(logOnly).toBytes()}));
        QVERIFY(writer.exec(QStringLiteral("PRAGMA writable_schema = ON")));
        QVERIFY(writer.exec(QStringLiteral("UPDATE sqlite_master SET sql = 'CREATE INDEX batteries_serial_idx ON "
                                           "batteries(data)' WHERE name = 'batteries_serial_idx'")));
        for (const QString &suffix : suffixes)
            QVERIFY(QFile::copy(dbPath() + suffix, snapshot + "/vk.db" + suffix));
    }
    for (const QString &suffix : suffixes) {
        QFile::remove(dbPath() + suffix);
        QVERIFY(QFile::copy(snapshot + "/vk.db" + suffix, dbPath() + suffix));
    }
    QVERIFY(QFileInfo(dbPath() + "-wal").size() > 0);
    {
        // The log really carries the damage: seen on a copy, since looking would fold it back.
        const QString check = m_dir->filePath(QStringLiteral("check"));
        QVERIFY(QDir().mkpath(check));
        for (const QString &suffix : suffixes)
            QVERIFY(QFile::copy(snapshot + "/vk.db" + suffix, check + "/vk.db" + suffix));
        Probe probe(check + "/vk.db");
        QCOMPARE(probe.column(QStringLiteral("SELECT count(*) FROM batteries")), QVariantList{2});
        QVERIFY(probe.column(QStringLiteral("PRAGMA integrity_check")) != QVariantList{QStringLiteral("ok")});
    }
    const QByteArray mainAsFound = fileBytes(dbPath());
    const QByteArray logAsFound = fileBytes(dbPath() + "-wal");
    // A stale backup from an earlier run is in the way of the new file.
    QVERIFY(writeFile(dbPath() + ".backup", QByteArray("stale backup")));

    {
        BatteryDatabase db(dbPath());
        QVERIFY(db.openWithRecovery());
        QVERIFY(!QFile::exists(dbPath() + ".backup"));
        QString error;
        QVERIFY(db.checkVersion(error));
        // Every row is read back, the one only the log held included.
        QCOMPARE(allReports(db), (QList<QByteArray>{goodRecord(kept).toBytes(), goodRecord(logOnly).toBytes()}));
        db.close();
    }
    const QString keptMain = keptDamagedFile();
    QCOMPARE(fileBytes(keptMain), mainAsFound);
    QCOMPARE(fileBytes(keptMain + "-wal"), logAsFound);
    QCOMPARE(m_sink.entries.size(), 1); // a failed check with a result is no statement failure
    QCOMPARE(m_sink.entries.first().type, LogType::Error);
    QCOMPARE(m_sink.entries.first().message,
             QStringLiteral("Database damaged: kept as %1 and rebuilt. Reports salvaged: 2. Rows lost: 0.")
                 .arg(QDir::toNativeSeparators(keptMain)));
    Probe probe(dbPath());
    QCOMPARE(probe.column(QStringLiteral("PRAGMA integrity_check")), QVariantList{QStringLiteral("ok")});
    QCOMPARE(probe.column(QStringLiteral("SELECT sql FROM sqlite_master WHERE name = 'batteries_serial_idx'")),
             QVariantList{QStringLiteral("CREATE INDEX batteries_serial_idx ON batteries(serial)")});
}

void TestBatteryDatabase::damagedIndexIsRebuiltAroundTheRows()
{
    const QByteArray first = serialBytes({0, 0, 'C', 1, 1, 1, 1, 1});
    const QByteArray second = serialBytes({0, 0, 'C', 2, 2, 2, 2, 2});
    {
        BatteryDatabase db(dbPath());
        QVERIFY(startedFresh(db));
        save(db, goodRecord(first));
        save(db, goodRecord(second));
        db.close();
    }
    int rootPage = 0;
    {
        Probe probe(dbPath());
        const QVariantList pages =
            probe.column(QStringLiteral("SELECT rootpage FROM sqlite_master WHERE name = 'batteries_serial_idx'"));
        QCOMPARE(pages.size(), 1);
        rootPage = pages.first().toInt();
    }
    QVERIFY(rootPage > 1);
    {
        QFile file(dbPath());
        QVERIFY(file.open(QIODevice::ReadWrite));
        QVERIFY(file.seek(qint64(rootPage - 1) * 512));
        QCOMPARE(file.write(QByteArray(512, char(0xFF))), 512);
    }
    const QByteArray damaged = fileBytes(dbPath());
    QVERIFY(writeFile(dbPath() + "-wal", QByteArray(100, 'w')));
    QVERIFY(writeFile(dbPath() + "-shm", QByteArray(100, 's')));
    QVERIFY(writeFile(dbPath() + ".backup", QByteArray("stale backup")));

    {
        BatteryDatabase db(dbPath());
        QVERIFY(db.openWithRecovery());
        QVERIFY(!QFile::exists(dbPath() + ".backup"));
        QString error;
        QVERIFY(db.checkVersion(error));
        QCOMPARE(allReports(db), (QList<QByteArray>{goodRecord(first).toBytes(), goodRecord(second).toBytes()}));
        db.close();
    }
    // The damaged files are kept as they were found, the new file is sound.
    const QString keptMain = keptDamagedFile();
    QCOMPARE(fileBytes(keptMain), damaged);
    QCOMPARE(fileBytes(keptMain + "-wal"), QByteArray(100, 'w'));
    QVERIFY(QFile::exists(keptMain + "-shm")); // SQLite's scratch index, rebuilt by its own open
    for (const QString &suffix : {QStringLiteral("-wal"), QStringLiteral("-shm")}) {
        const QByteArray companion = fileBytes(dbPath() + suffix);
        QVERIFY2(!companion.contains("wwww") && !companion.contains("ssss"), qPrintable(suffix));
    }
    const QStringList errors = m_sink.messages(LogType::Error);
    QCOMPARE(errors.size(), 1);
    // The damaged page was the root of one index; the other, read whole, vouches that nothing is lost.
    QVERIFY2(errors.first().endsWith(QLatin1String(" Reports salvaged: 2. Rows lost: 0.")), qPrintable(errors.first()));
    Probe probe(dbPath());
    QCOMPARE(probe.column(QStringLiteral("SELECT count(*) FROM batteries")), QVariantList{2});
    QCOMPARE(probe.column(QStringLiteral("PRAGMA integrity_check")), QVariantList{QStringLiteral("ok")});
}

void TestBatteryDatabase::emptyFileIsReportedAndReplaced()
{
    QVERIFY(writeFile(dbPath(), QByteArray()));
    BatteryDatabase db(dbPath());
    QVERIFY(startedFresh(db));
    QCOMPARE(m_sink.messages(LogType::Error),
             QStringList{QStringLiteral("Database damaged: %1 is empty (0 bytes), the reports it held are lost. "
                                        "A new database is created.")
                             .arg(QDir::toNativeSeparators(dbPath()))});
    db.close();
}

void TestBatteryDatabase::fileThatIsNoDatabaseIsKeptAndReplaced()
{
    const QByteArray garbage(4096, 'x');
    QVERIFY(writeFile(dbPath(), garbage));
    QVERIFY(writeFile(dbPath() + "-wal", QByteArray(100, 'w')));
    QVERIFY(writeFile(dbPath() + "-shm", QByteArray(100, 's')));
    {
        BatteryDatabase db(dbPath());
        QVERIFY(db.openWithRecovery());
        QString error;
        QVERIFY(db.checkVersion(error));
        QVERIFY(allReports(db).isEmpty());
        db.close();
    }
    const QStringList errors = m_sink.messages(LogType::Error);
    QCOMPARE(errors.size(), 2);
    QVERIFY2(errors.first().startsWith(QLatin1String("Integrity Check: ")), qPrintable(errors.first()));
    QVERIFY2(errors.first().contains(QLatin1String("not a database")), qPrintable(errors.first()));
    const QString keptMain = keptDamagedFile();
    QVERIFY2(errors.at(1).startsWith(QStringLiteral("Database damaged: kept as %1 and rebuilt. Reports salvaged: 0. "
                                                    "Rows lost: at least 0 (unreadable pages: 8;")
                                         .arg(QDir::toNativeSeparators(keptMain))),
             qPrintable(errors.at(1)));
    // Stale companions of a file that is no database are kept with it, not applied to the new one.
    QCOMPARE(fileBytes(keptMain), garbage);
    QCOMPARE(fileBytes(keptMain + "-wal"), QByteArray(100, 'w'));
    QVERIFY(QFile::exists(keptMain + "-shm")); // SQLite's scratch index, rebuilt by its own open
    QVERIFY(!QFile::exists(dbPath() + ".backup"));
    QVERIFY(!fileBytes(dbPath() + "-wal").contains("wwww"));
    Probe probe(dbPath());
    QCOMPARE(probe.column(QStringLiteral("PRAGMA integrity_check")), QVariantList{QStringLiteral("ok")});
    QCOMPARE(probe.column(QStringLiteral("SELECT database_version FROM config")), QVariantList{1});
}

void TestBatteryDatabase::unopenableFileFails()
{
    const QString path = m_dir->filePath(QStringLiteral("missing/vk.db"));
    {
        BatteryDatabase db(path);
        QVERIFY(!db.openWithRecovery());
        // Fetching the closed connection tries to open it again, and Qt says so.
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression(QStringLiteral("unable to open database")));
        QVERIFY(!db.isOpen());
    }
    QVERIFY(!QFile::exists(path));
    QVERIFY(!QFile::exists(path + ".backup"));
}

void TestBatteryDatabase::orphanedBackupIsRestored()
{
    const QByteArray serial = serialBytes({0, 0, 'R', 9, 9, 9, 9, 9});
    {
        BatteryDatabase db(dbPath());
        QVERIFY(startedFresh(db));
        save(db, goodRecord(serial));
        db.close();
    }
    // What a repair leaves behind when its final rename failed.
    QVERIFY(QFile::rename(dbPath(), dbPath() + ".backup"));
    QVERIFY(!QFile::exists(dbPath() + "-wal"));
    {
        BatteryDatabase db(dbPath());
        QVERIFY(db.openWithRecovery());
        QVERIFY(!QFile::exists(dbPath() + ".backup"));
        QString error;
        QVERIFY(db.checkVersion(error));
        QCOMPARE(allReports(db), QList<QByteArray>{goodRecord(serial).toBytes()});
        db.close();
    }
    QCOMPARE(m_sink.entries.size(), 1);
    QCOMPARE(m_sink.entries.first().type, LogType::Warning);
    QCOMPARE(m_sink.entries.first().message,
             QStringLiteral("Database restored from %1").arg(QDir::toNativeSeparators(dbPath() + ".backup")));

    // With the database in place, a backup beside it is left for the next repair to remove.
    m_sink.entries.clear();
    QVERIFY(writeFile(dbPath() + ".backup", QByteArray("older copy")));
    {
        BatteryDatabase db(dbPath());
        QVERIFY(startedFresh(db));
        QCOMPARE(allReports(db).size(), 1);
        db.close();
    }
    QCOMPARE(fileBytes(dbPath() + ".backup"), QByteArray("older copy"));
    QVERIFY(m_sink.entries.isEmpty());
}

void TestBatteryDatabase::statementFailuresAreLoggedWithLabels()
{
    BatteryDatabase db(dbPath());
    QVERIFY(startedFresh(db));
    const QByteArray serial = serialBytes({0, 0, 'D', 1, 2, 3, 4, 5});
    save(db, excellentRecord(serial));
    QVERIFY(execOnServerConnection(QStringLiteral("DROP TABLE batteries")));

    QString expectedListError;
    {
        QSqlQuery query(serverConnection());
        QVERIFY(!query.exec(QStringLiteral("SELECT data FROM batteries ORDER BY serial")));
        expectedListError = query.lastError().text();
    }
    QVERIFY(expectedListError.contains(QLatin1String("no such table")));

    QVERIFY(!save(db, goodRecord(serial)));
    QVERIFY(db.validReports().isEmpty());
    db.deleteReport(serial);

    QCOMPARE(m_sink.entries.size(), 4);
    for (const LogEntry &entry : std::as_const(m_sink.entries)) {
        QCOMPARE(entry.type, LogType::Error);
        QVERIFY2(entry.message.contains(QLatin1String("no such table: batteries")), qPrintable(entry.message));
    }
    // A save's failures are one line for the save, not one per statement.
    const QStringList labels{QStringLiteral("Health-Prepare"), QStringLiteral("1 report(s) not stored"),
                             QStringLiteral("Get Reports"), QStringLiteral("Delete-Prepare")};
    for (int i = 0; i < labels.size(); ++i) {
        const QString &message = m_sink.entries.at(i).message;
        QVERIFY2(message.startsWith(labels.at(i) + QStringLiteral(": ")), qPrintable(message));
    }
    QCOMPARE(m_sink.entries.at(2).message, QStringLiteral("Get Reports: ") + expectedListError);
    db.close();
}

void TestBatteryDatabase::exceptionalTriggersAreLoggedWithLabels()
{
    BatteryDatabase db(dbPath());
    QVERIFY(startedFresh(db));
    const QByteArray serial = serialBytes({0, 0, 'T', 1, 2, 3, 4, 5});
    save(db, excellentRecord(serial));
    QVERIFY(execOnServerConnection(QStringLiteral(
        "CREATE TRIGGER refuse_delete BEFORE DELETE ON batteries BEGIN SELECT RAISE(ABORT, 'delete refused'); END")));
    QVERIFY(execOnServerConnection(QStringLiteral(
        "CREATE TRIGGER refuse_insert BEFORE INSERT ON batteries BEGIN SELECT RAISE(ROLLBACK, 'insert refused'); END")));

    // The upsert rolls the whole transaction back, so the commit finds none: one line for the save, and
    // the stored row as it was.
    save(db, goodRecord(serial));
    QCOMPARE(m_sink.entries.size(), 1);
    QVERIFY2(m_sink.entries.at(0).message.startsWith(QLatin1String("1 report(s) not stored: ")),
             qPrintable(m_sink.entries.at(0).message));
    QVERIFY(m_sink.entries.at(0).message.contains(QLatin1String("insert refused")));
    QCOMPARE(allReports(db), QList<QByteArray>{excellentRecord(serial).toBytes()});

    m_sink.entries.clear();
    db.deleteReport(serial);
    QCOMPARE(m_sink.entries.size(), 1);
    QCOMPARE(m_sink.entries.first().type, LogType::Error);
    QVERIFY2(m_sink.entries.first().message.startsWith(QLatin1String("Delete Report: ")),
             qPrintable(m_sink.entries.first().message));
    QVERIFY(m_sink.entries.first().message.contains(QLatin1String("delete refused")));
    QCOMPARE(allReports(db).size(), 1);

    // Without the triggers the next save goes through again, in a transaction of its own.
    m_sink.entries.clear();
    QVERIFY(execOnServerConnection(QStringLiteral("DROP TRIGGER refuse_delete")));
    QVERIFY(execOnServerConnection(QStringLiteral("DROP TRIGGER refuse_insert")));
    save(db, goodRecord(serial));
    QVERIFY(m_sink.entries.isEmpty());
    QCOMPARE(allReports(db), QList<QByteArray>{goodRecord(serial).toBytes()});
    db.close();
}

void TestBatteryDatabase::runtimeQueryFailuresAreLogged()
{
    BatteryDatabase db(dbPath());
    QVERIFY(startedFresh(db));
    // A view that prepares fine but fails on its first step.
    QVERIFY(execOnServerConnection(QStringLiteral("DROP TABLE batteries")));
    QVERIFY(execOnServerConnection(QStringLiteral(
        "CREATE VIEW batteries(serial, data) AS SELECT x'0000540102030405', abs(-9223372036854775807 - 1)")));

    QVERIFY(!save(db, goodRecord(serialBytes({0, 0, 'T', 1, 2, 3, 4, 5}))));
    QVERIFY(db.validReports().isEmpty());
    // The lookup and the list fail on their first step; the view refuses the save itself.
    const QStringList errors = m_sink.messages(LogType::Error);
    const QStringList overflows = errors.filter(QLatin1String("integer overflow"));
    QCOMPARE(overflows.size(), 2);
    QVERIFY2(overflows.at(0).startsWith(QLatin1String("Health: ")), qPrintable(overflows.at(0)));
    QVERIFY2(overflows.at(1).startsWith(QLatin1String("Get Reports: ")), qPrintable(overflows.at(1)));
    db.close();
}

void TestBatteryDatabase::destructionRemovesConnection()
{
    {
        BatteryDatabase db(dbPath());
        QVERIFY(startedFresh(db));
        db.close();
        QVERIFY(QSqlDatabase::contains(BatteryDatabase::connectionName()));
        // A closed connection is opened again by the next operation that fetches it.
        QVERIFY(db.isOpen());
        db.close();
    }
    QVERIFY(!QSqlDatabase::contains(BatteryDatabase::connectionName()));
    QCOMPARE(BatteryDatabase::connectionName(), QStringLiteral("NVLVKDB"));
}

QTEST_GUILESS_MAIN(TestBatteryDatabase)
#include "tst_batterydatabase.moc"
