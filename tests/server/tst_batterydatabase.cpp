#include "BatteryDatabase.h"
#include "EventSink.h"

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

QList<QByteArray> allReports(BatteryDatabase &db)
{
    QList<QByteArray> rows;
    QSqlQuery query = db.getReports();
    while (query.next())
        rows << query.value(0).toByteArray();
    return rows;
}

QSqlDatabase serverConnection()
{
    return QSqlDatabase::database(BatteryDatabase::connectionName(), false);
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
    void emptyConfigRecreatesTables();
    void saveReplacesAndListsInByteOrder();
    void validReportsSkipInvalidRows();
    void healthDropped();
    void checkpointAfterEveryHundredthSave();
    void repairDropsUncheckpointedLog();
    void repairKeepsDamagedMainFileAsItWas();
    void unreadableFileFailsAfterRepair();
    void unopenableFileFails();
    void orphanedBackupIsRestored();
    void statementFailuresAreLoggedWithLabels();
    void exceptionalTriggersAreLoggedWithLabels();
    void runtimeQueryFailuresAreLogged();
    void destructionRemovesConnection();

private:
    QString dbPath() const { return m_dir->filePath(QStringLiteral("vk.db")); }

    RecordingSink m_sink;
    std::unique_ptr<QTemporaryDir> m_dir;
};

void TestBatteryDatabase::init()
{
    m_dir = std::make_unique<QTemporaryDir>();
    QVERIFY(m_dir->isValid());
    m_sink.entries.clear();
    BatteryDatabase::resetSaveCount();
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

void TestBatteryDatabase::emptyConfigRecreatesTables()
{
    BatteryDatabase db(dbPath());
    QVERIFY(startedFresh(db));
    db.saveReport(goodRecord(serialBytes({1, 2, 3, 4, 5, 6, 7, 8})));
    QCOMPARE(allReports(db).size(), 1);

    QVERIFY(execOnServerConnection(QStringLiteral("DELETE FROM config")));
    QString error;
    QVERIFY(db.checkVersion(error));
    QVERIFY(error.isEmpty());
    QVERIFY(allReports(db).isEmpty());
    {
        QSqlQuery query(QStringLiteral("SELECT database_version FROM config"), serverConnection());
        QVERIFY(query.next());
        QCOMPARE(query.value(0).toInt(), 1);
        QVERIFY(!query.next());
    }
    QVERIFY(m_sink.entries.isEmpty());
    db.close();
}

void TestBatteryDatabase::saveReplacesAndListsInByteOrder()
{
    BatteryDatabase db(dbPath());
    QVERIFY(startedFresh(db));

    const QByteArray high = serialBytes({1, 0, 0, 0, 0, 0, 0, 0});
    const QByteArray mid = serialBytes({0, 0xFF, 0, 0, 0, 0, 0, 0});
    const QByteArray low = serialBytes({0, 1, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF});
    db.saveReport(makeRecord(high, 10, 3000, 1));
    db.saveReport(makeRecord(mid, 20, 3000, 2));
    db.saveReport(makeRecord(low, 30, 3000, 3));
    const BatteryRecord secondHigh = makeRecord(high, 11, 3100, 4);
    db.saveReport(secondHigh);

    const QList<QByteArray> expected = {makeRecord(low, 30, 3000, 3).toBytes(), makeRecord(mid, 20, 3000, 2).toBytes(),
                                        secondHigh.toBytes()};
    QCOMPARE(allReports(db), expected);

    // The list reply counts the rows, then walks them again from the first.
    QSqlQuery query = db.getReports();
    QVERIFY(!query.isForwardOnly());
    QList<QByteArray> firstPass;
    while (query.next())
        firstPass << query.value(0).toByteArray();
    QCOMPARE(firstPass, expected);
    QVERIFY(query.first());
    QList<QByteArray> secondPass{query.value(0).toByteArray()};
    while (query.next())
        secondPass << query.value(0).toByteArray();
    QCOMPARE(secondPass, expected);
    query = QSqlQuery();

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
    db.saveReport(third);
    db.saveReport(first);
    db.saveReport(second);

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

void TestBatteryDatabase::healthDropped()
{
    BatteryDatabase db(dbPath());
    QVERIFY(startedFresh(db));
    const QByteArray serial = serialBytes({0, 0, 'B', 1, 2, 3, 4, 5});

    QVERIFY(!db.healthDropped(goodRecord(serial))); // no stored row

    db.saveReport(excellentRecord(serial));
    QVERIFY(db.healthDropped(goodRecord(serial)));
    QVERIFY(!db.healthDropped(excellentRecord(serial)));

    db.saveReport(goodRecord(serial));
    QVERIFY(!db.healthDropped(goodRecord(serial)));
    QVERIFY(!db.healthDropped(excellentRecord(serial)));
    QVERIFY(db.healthDropped(makeRecord(serial, 500, 3780))); // Poor

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
    QVERIFY(!db.healthDropped(makeRecord(serial, 500, 3780)));
    QVERIFY(m_sink.entries.isEmpty());
    db.close();
}

void TestBatteryDatabase::checkpointAfterEveryHundredthSave()
{
    BatteryDatabase db(dbPath());
    QVERIFY(startedFresh(db));
    auto saveNumbered = [&db](int n) { db.saveReport(goodRecord(serialBytes({n >> 8, n & 0xFF, 7, 7, 7, 7, 7, 7}))); };
    auto mainFileSize = [this] { return QFileInfo(dbPath()).size(); };

    // Until a checkpoint folds the log back, the main file does not grow.
    const qint64 initial = mainFileSize();
    for (int n = 1; n <= 99; ++n)
        saveNumbered(n);
    QCOMPARE(BatteryDatabase::saveCount(), 99);
    QCOMPARE(mainFileSize(), initial);
    saveNumbered(100);
    QCOMPARE(BatteryDatabase::saveCount(), 0);
    const qint64 afterFirst = mainFileSize();
    QVERIFY2(afterFirst > initial, qPrintable(QStringLiteral("%1 -> %2").arg(initial).arg(afterFirst)));

    for (int n = 101; n <= 199; ++n)
        saveNumbered(n);
    QCOMPARE(mainFileSize(), afterFirst);
    saveNumbered(200);
    QCOMPARE(BatteryDatabase::saveCount(), 0);
    QVERIFY(mainFileSize() > afterFirst);

    QCOMPARE(allReports(db).size(), 200);
    QVERIFY(m_sink.entries.isEmpty());
    db.close();
}

void TestBatteryDatabase::repairDropsUncheckpointedLog()
{
    const QByteArray kept = serialBytes({0, 0, 'K', 1, 1, 1, 1, 1});
    const QByteArray lost = serialBytes({0, 0, 'L', 2, 2, 2, 2, 2});
    {
        BatteryDatabase db(dbPath());
        QVERIFY(startedFresh(db));
        db.saveReport(goodRecord(kept));
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
        QVERIFY(writer.exec(QStringLiteral("INSERT INTO batteries VALUES (?, ?)"), {lost, goodRecord(lost).toBytes()}));
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
    const QByteArray checkpointed = fileBytes(dbPath());
    // A stale backup from an earlier run is in the way of the new copy.
    QVERIFY(writeFile(dbPath() + ".backup", QByteArray("stale backup")));

    {
        BatteryDatabase db(dbPath());
        QVERIFY(db.openWithRecovery());
        QVERIFY(!QFile::exists(dbPath() + ".backup"));
        QCOMPARE(fileBytes(dbPath()), checkpointed);
        QString error;
        QVERIFY(db.checkVersion(error));
        QCOMPARE(allReports(db), QList<QByteArray>{goodRecord(kept).toBytes()});
        db.close();
    }
    QVERIFY(m_sink.entries.isEmpty()); // a failed check with a result is no statement failure
    Probe probe(dbPath());
    QCOMPARE(probe.column(QStringLiteral("PRAGMA integrity_check")), QVariantList{QStringLiteral("ok")});
    QCOMPARE(probe.column(QStringLiteral("SELECT sql FROM sqlite_master WHERE name = 'batteries_serial_idx'")),
             QVariantList{QStringLiteral("CREATE INDEX batteries_serial_idx ON batteries(serial)")});
}

void TestBatteryDatabase::repairKeepsDamagedMainFileAsItWas()
{
    const QByteArray first = serialBytes({0, 0, 'C', 1, 1, 1, 1, 1});
    const QByteArray second = serialBytes({0, 0, 'C', 2, 2, 2, 2, 2});
    {
        BatteryDatabase db(dbPath());
        QVERIFY(startedFresh(db));
        db.saveReport(goodRecord(first));
        db.saveReport(goodRecord(second));
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
        // The restored file is taken as it is, without a second check.
        QVERIFY(db.openWithRecovery());
        QVERIFY(!QFile::exists(dbPath() + ".backup"));
        QCOMPARE(fileBytes(dbPath()), damaged);
        for (const QString &suffix : {QStringLiteral("-wal"), QStringLiteral("-shm")}) {
            const QByteArray companion = fileBytes(dbPath() + suffix);
            QVERIFY2(!companion.contains("wwww") && !companion.contains("ssss"), qPrintable(suffix));
        }
        QString error;
        QVERIFY(db.checkVersion(error));
        db.close();
    }
    Probe probe(dbPath());
    QCOMPARE(probe.column(QStringLiteral("SELECT count(*) FROM batteries NOT INDEXED")), QVariantList{2});
    QVERIFY(probe.column(QStringLiteral("PRAGMA integrity_check")) != QVariantList{QStringLiteral("ok")});
}

void TestBatteryDatabase::unreadableFileFailsAfterRepair()
{
    const QByteArray garbage(4096, 'x');
    QVERIFY(writeFile(dbPath(), garbage));
    // Stale companions of a file that is no database must not survive the repair.
    QVERIFY(writeFile(dbPath() + "-wal", QByteArray(100, 'w')));
    QVERIFY(writeFile(dbPath() + "-shm", QByteArray(100, 's')));
    {
        BatteryDatabase db(dbPath());
        QVERIFY(!db.openWithRecovery());
    }
    const QStringList errors = m_sink.messages(LogType::Error);
    QCOMPARE(errors.size(), 1);
    QVERIFY2(errors.first().startsWith(QLatin1String("Integrity Check: ")), qPrintable(errors.first()));
    QVERIFY2(errors.first().contains(QLatin1String("not a database")), qPrintable(errors.first()));
    // The repair put the file back from its own copy and left no backup.
    QCOMPARE(fileBytes(dbPath()), garbage);
    QVERIFY(!QFile::exists(dbPath() + ".backup"));
    QVERIFY(!QFile::exists(dbPath() + "-wal"));
    QVERIFY(!QFile::exists(dbPath() + "-shm"));
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
        db.saveReport(goodRecord(serial));
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
    db.saveReport(excellentRecord(serial));
    QVERIFY(execOnServerConnection(QStringLiteral("DROP TABLE batteries")));

    QString expectedListError;
    {
        QSqlQuery query(serverConnection());
        QVERIFY(!query.exec(QStringLiteral("SELECT data FROM batteries ORDER BY serial")));
        expectedListError = query.lastError().text();
    }
    QVERIFY(expectedListError.contains(QLatin1String("no such table")));

    db.saveReport(goodRecord(serial));
    QVERIFY(!db.healthDropped(goodRecord(serial)));
    {
        QSqlQuery reports = db.getReports();
        QVERIFY(!reports.next());
        QVERIFY(!reports.first());
    }
    db.deleteReport(serial);
    QCOMPARE(BatteryDatabase::saveCount(), 2);

    QCOMPARE(m_sink.entries.size(), 5);
    for (const LogEntry &entry : std::as_const(m_sink.entries)) {
        QCOMPARE(entry.type, LogType::Error);
        QVERIFY2(entry.message.contains(QLatin1String("no such table: batteries")), qPrintable(entry.message));
    }
    const QStringList labels{QStringLiteral("Save-Prepare-1"), QStringLiteral("Save-Prepare-2"),
                             QStringLiteral("Health-Prepare"), QStringLiteral("Get Reports"),
                             QStringLiteral("Delete-Prepare")};
    for (int i = 0; i < labels.size(); ++i) {
        const QString &message = m_sink.entries.at(i).message;
        QVERIFY2(message.startsWith(labels.at(i) + QStringLiteral(": ")), qPrintable(message));
    }
    QCOMPARE(m_sink.entries.at(3).message, QStringLiteral("Get Reports: ") + expectedListError);
    db.close();
}

void TestBatteryDatabase::exceptionalTriggersAreLoggedWithLabels()
{
    BatteryDatabase db(dbPath());
    QVERIFY(startedFresh(db));
    const QByteArray serial = serialBytes({0, 0, 'T', 1, 2, 3, 4, 5});
    db.saveReport(excellentRecord(serial));
    QVERIFY(execOnServerConnection(QStringLiteral(
        "CREATE TRIGGER refuse_delete BEFORE DELETE ON batteries BEGIN SELECT RAISE(ABORT, 'delete refused'); END")));
    QVERIFY(execOnServerConnection(QStringLiteral(
        "CREATE TRIGGER refuse_insert BEFORE INSERT ON batteries BEGIN SELECT RAISE(ROLLBACK, 'insert refused'); END")));

    // The delete fails, the insert rolls the whole transaction back, so the commit finds none.
    db.saveReport(goodRecord(serial));
    QCOMPARE(m_sink.entries.size(), 3);
    QVERIFY2(m_sink.entries.at(0).message.startsWith(QLatin1String("Save-Delete: ")), qPrintable(m_sink.entries.at(0).message));
    QVERIFY(m_sink.entries.at(0).message.contains(QLatin1String("delete refused")));
    QVERIFY2(m_sink.entries.at(1).message.startsWith(QLatin1String("Save-Insert: ")), qPrintable(m_sink.entries.at(1).message));
    QVERIFY(m_sink.entries.at(1).message.contains(QLatin1String("insert refused")));
    QVERIFY2(m_sink.entries.at(2).message.startsWith(QLatin1String("Save-Commit: ")), qPrintable(m_sink.entries.at(2).message));
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
    db.saveReport(goodRecord(serial));
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

    QVERIFY(!db.healthDropped(goodRecord(serialBytes({0, 0, 'T', 1, 2, 3, 4, 5}))));
    {
        QSqlQuery reports = db.getReports();
        QVERIFY(!reports.next());
    }
    const QStringList errors = m_sink.messages(LogType::Error);
    QCOMPARE(errors.size(), 2);
    QVERIFY2(errors.at(0).startsWith(QLatin1String("Health: ")), qPrintable(errors.at(0)));
    QVERIFY2(errors.at(1).startsWith(QLatin1String("Get Reports: ")), qPrintable(errors.at(1)));
    for (const QString &error : errors)
        QVERIFY2(error.contains(QLatin1String("integer overflow")), qPrintable(error));
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
