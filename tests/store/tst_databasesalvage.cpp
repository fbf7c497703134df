// Damaged battery databases: what is read back, what is kept aside, what is logged, and that the
// next starts find a sound file. The stock is 1,000 reports in the main file and 50 more that only
// the write-ahead log holds, as after a crash.
#include "BatteryDatabase.h"
#include "DatabaseLayout.h"
#include "DatabaseSalvage.h"
#include "RecordingEventSink.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QMap>
#include <QRegularExpression>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QTemporaryDir>
#include <QTest>

#include <climits>
#include <cstring>
#include <memory>

using namespace NVL::Engineering::VK;

namespace {

constexpr int MainReports = 1000;
constexpr int LogReports = 50;
const QStringList Suffixes{QString(), QStringLiteral("-wal"), QStringLiteral("-shm")};

QByteArray serialOf(int n)
{
    QByteArray serial(8, '\0');
    serial[0] = char(n >> 8);
    serial[1] = char(n);
    serial[2] = 'S';
    serial[7] = char(n * 7);
    return serial;
}

QByteArray reportOf(int n)
{
    BatteryRecord record;
    record.version = 1;
    std::memcpy(record.serial, serialOf(n).constData(), 8);
    record.cycleCount = quint16(n);
    record.fullCapacity = 3000;
    std::strcpy(record.alias, "Radio");
    record.reportTime = 1700000000u + quint32(n);
    return record.toBytes();
}

QByteArray fileBytes(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

bool writeFile(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(bytes) == bytes.size();
}

// Serial to data of every row of the open store.
QMap<QByteArray, QByteArray> listed(BatteryDatabase &)
{
    QMap<QByteArray, QByteArray> rows;
    QSqlQuery query(QSqlDatabase::database(BatteryDatabase::connectionName(), false));
    query.exec(QStringLiteral("SELECT data FROM batteries ORDER BY serial"));
    while (query.next())
        rows.insert(query.value(0).toByteArray().mid(4, 8), query.value(0).toByteArray());
    return rows;
}

bool execOn(const QString &path, const QStringList &statements)
{
    const QString name = QStringLiteral("writer");
    bool ok = true;
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), name);
        db.setDatabaseName(path);
        ok = db.open();
        for (const QString &statement : statements)
            ok = ok && QSqlQuery(db).exec(statement);
        db.close();
    }
    QSqlDatabase::removeDatabase(name);
    return ok;
}

} // namespace

class TestDatabaseSalvage : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void damagedPageInTheMiddle_data();
    void damagedPageInTheMiddle();
    void truncatedMainFile_data();
    void truncatedMainFile();
    void notADatabase_data();
    void notADatabase();
    void logTornAtItsEndIsLeftToSQLite();
    void emptyConfigTableGetsTheVersionBack();
    void missingBatteriesTableIsCreated();
    void missingConfigTableKeepsTheRows();
    void leftoverBackupOfACrashedSalvageIsRestored();
    void databaseLockedElsewhereIsLeftAlone();
    void garbledPageCountIsCountedNotWalked();

private:
    QString dbPath() const { return m_dir->filePath(QStringLiteral("vk.db")); }
    // The stock as a crash leaves it: the log still holds the last 50 reports.
    bool buildStock();
    // Every report of the stock.
    QMap<QByteArray, QByteArray> stock() const;
    // One start that salvages; returns the rows then listed.
    QMap<QByteArray, QByteArray> startOnce();
    // lost: the rows really lost; the log gives them exactly, or a lower bound marked "at least".
    void checkSalvageLog(int salvaged, int lost, bool mustBeExact);
    void checkKeptFiles(const QMap<QString, QByteArray> &asFound);
    void checkRestartsKeep(const QMap<QByteArray, QByteArray> &rows);

    std::unique_ptr<QTemporaryDir> m_dir;
    std::unique_ptr<RecordingEventSink> m_sink;
};

void TestDatabaseSalvage::init()
{
    m_dir = std::make_unique<QTemporaryDir>();
    QVERIFY(m_dir->isValid());
    m_sink = std::make_unique<RecordingEventSink>();
}

void TestDatabaseSalvage::cleanup()
{
    m_sink.reset();
    QVERIFY(!QSqlDatabase::contains(BatteryDatabase::connectionName()));
    m_dir.reset();
}

bool TestDatabaseSalvage::buildStock()
{
    {
        BatteryDatabase db(dbPath());
        QString error;
        if (!db.openWithRecovery() || !db.checkVersion(error))
            return false;
        db.close();
    }
    QStringList inserts{QStringLiteral("BEGIN")};
    for (int n = 0; n < MainReports; ++n)
        inserts << QStringLiteral("INSERT INTO batteries VALUES (x'%1', x'%2')")
                       .arg(QString::fromLatin1(serialOf(n).toHex()), QString::fromLatin1(reportOf(n).toHex()));
    inserts << QStringLiteral("COMMIT");
    if (!execOn(dbPath(), inserts)) // closing folds everything into the main file
        return false;
    if (QFile::exists(dbPath() + "-wal"))
        return false;

    const QString snapshot = m_dir->filePath(QStringLiteral("snapshot"));
    QDir().mkpath(snapshot);
    {
        BatteryDatabase db(dbPath());
        QString error;
        if (!db.openWithRecovery() || !db.checkVersion(error))
            return false;
        for (int n = MainReports; n < MainReports + LogReports; ++n)
            db.saveReports({BatteryRecord::fromBytes(reportOf(n))});
        for (const QString &suffix : {QString(), QStringLiteral("-wal")}) {
            if (!QFile::copy(dbPath() + suffix, snapshot + "/vk.db" + suffix))
                return false;
        }
        db.close();
    }
    for (const QString &suffix : Suffixes)
        QFile::remove(dbPath() + suffix);
    for (const QString &suffix : {QString(), QStringLiteral("-wal")}) {
        if (!QFile::copy(snapshot + "/vk.db" + suffix, dbPath() + suffix))
            return false;
    }
    QDir(snapshot).removeRecursively();
    m_sink->entries.clear();
    return QFileInfo(dbPath() + "-wal").size() > 0;
}

QMap<QByteArray, QByteArray> TestDatabaseSalvage::stock() const
{
    QMap<QByteArray, QByteArray> rows;
    for (int n = 0; n < MainReports + LogReports; ++n)
        rows.insert(serialOf(n), reportOf(n));
    return rows;
}

QMap<QByteArray, QByteArray> TestDatabaseSalvage::startOnce()
{
    BatteryDatabase db(dbPath());
    QString error;
    const bool opened = db.openWithRecovery();
    const bool checked = opened && db.checkVersion(error);
    QMap<QByteArray, QByteArray> rows;
    if (checked)
        rows = listed(db);
    db.close();
    if (!checked)
        qWarning("start failed: %s", qPrintable(error));
    return rows;
}

void TestDatabaseSalvage::checkSalvageLog(int salvaged, int lost, bool mustBeExact)
{
    QList<RecordingEventSink::Entry> salvages;
    for (const RecordingEventSink::Entry &entry : std::as_const(m_sink->entries)) {
        if (entry.message.startsWith(QLatin1String("Database damaged: ")))
            salvages << entry;
    }
    QCOMPARE(salvages.size(), 1);
    QCOMPARE(salvages.first().type, LogType::Error);
    const QString &message = salvages.first().message;
    qInfo("%s", qPrintable(message));
    const QRegularExpression kept(QStringLiteral("^Database damaged: kept as "
                                                 "(.+/vk\\.db\\.damaged-\\d{8}-\\d{6}(-wal)?) "
                                                 "and rebuilt\\. Reports salvaged: (\\d+)\\. Rows lost: (.+)\\.$"));
    const QRegularExpressionMatch match = kept.match(message);
    QVERIFY2(match.hasMatch(), qPrintable(message));
    QVERIFY2(QFile::exists(match.captured(1)), qPrintable(message));
    QCOMPARE(match.captured(3).toInt(), salvaged);
    const QString counted = match.captured(4);
    const QRegularExpressionMatch bound = QRegularExpression(QStringLiteral(
        "^at least (\\d+) \\(unreadable pages: \\d+; lost rows are counted by the serials that surviving index "
        "entries name\\)$")).match(counted);
    if (bound.hasMatch()) {
        QVERIFY2(!mustBeExact, qPrintable(message));
        QVERIFY2(bound.captured(1).toInt() <= lost, qPrintable(message));
    } else {
        QCOMPARE(counted, QString::number(lost));
    }
}

// The damaged files lie beside the new one, byte for byte as the start found them.
void TestDatabaseSalvage::checkKeptFiles(const QMap<QString, QByteArray> &asFound)
{
    // The shared-memory index is SQLite's scratch space: kept, but its bytes say nothing.
    QStringList kept = QDir(m_dir->path()).entryList({QStringLiteral("vk.db.damaged-*")}, QDir::Files);
    kept.removeIf([](const QString &name) { return name.endsWith(QLatin1String("-shm")); });
    QCOMPARE(kept.size(), asFound.size());
    for (const QString &name : std::as_const(kept)) {
        const QString suffix = name.endsWith(QLatin1String("-wal")) ? QStringLiteral("-wal")
            : name.endsWith(QLatin1String("-shm"))                  ? QStringLiteral("-shm")
                                                                    : QString();
        QVERIFY2(asFound.contains(suffix), qPrintable(name));
        QVERIFY2(fileBytes(m_dir->filePath(name)) == asFound.value(suffix), qPrintable(name));
    }
    QVERIFY(!QFile::exists(dbPath() + ".backup"));
}

void TestDatabaseSalvage::checkRestartsKeep(const QMap<QByteArray, QByteArray> &rows)
{
    const QStringList keptBefore = QDir(m_dir->path()).entryList({QStringLiteral("vk.db.damaged-*")}, QDir::Files);
    for (int restart = 1; restart <= 3; ++restart) {
        m_sink->entries.clear();
        const QMap<QByteArray, QByteArray> again = startOnce();
        QCOMPARE(again.size(), rows.size());
        QVERIFY(again == rows);
        for (const RecordingEventSink::Entry &entry : std::as_const(m_sink->entries))
            qWarning("restart %d logged: %s", restart, qPrintable(entry.message));
        QVERIFY(m_sink->entries.isEmpty());
    }
    QCOMPARE(QDir(m_dir->path()).entryList({QStringLiteral("vk.db.damaged-*")}, QDir::Files), keptBefore);
    const QString check = m_dir->filePath(QStringLiteral("check.db"));
    QVERIFY(QFile::copy(dbPath(), check));
    const QString name = QStringLiteral("check");
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), name);
        db.setDatabaseName(check);
        QVERIFY(db.open());
        QSqlQuery query(QStringLiteral("PRAGMA integrity_check"), db);
        QVERIFY(query.next());
        QCOMPARE(query.value(0).toString(), QStringLiteral("ok"));
    }
    QSqlDatabase::removeDatabase(name);
}

void TestDatabaseSalvage::damagedPageInTheMiddle_data()
{
    QTest::addColumn<QString>("tree");
    QTest::addColumn<QString>("kind");
    QTest::addColumn<bool>("holdsRows");
    QTest::newRow("table leaf") << QStringLiteral("batteries") << QStringLiteral("leaf") << true;
    QTest::newRow("table interior") << QStringLiteral("batteries") << QStringLiteral("internal") << false;
    QTest::newRow("serial index leaf") << QStringLiteral("batteries_serial_idx") << QStringLiteral("leaf") << false;
    QTest::newRow("primary key leaf") << QStringLiteral("sqlite_autoindex_batteries_1") << QStringLiteral("leaf")
                                      << false;
}

void TestDatabaseSalvage::damagedPageInTheMiddle()
{
    QFETCH(QString, tree);
    QFETCH(QString, kind);
    QFETCH(bool, holdsRows);
    QVERIFY(buildStock());
    const DatabaseLayout layout(dbPath(), dbPath() + "-wal");
    QVERIFY(layout.isValid());
    const DatabaseLayout::Page page = layout.middlePage(tree, kind);
    QVERIFY(page.number > 1);
    QVERIFY(DatabaseLayout::overwritePage(dbPath(), page.number));
    const QMap<QString, QByteArray> asFound{{QString(), fileBytes(dbPath())},
                                            {QStringLiteral("-wal"), fileBytes(dbPath() + "-wal")}};

    const QMap<QByteArray, QByteArray> rows = startOnce();
    const int lost = holdsRows ? page.cells : 0;
    qInfo("%s page %u: %lld of %d reports kept", qPrintable(tree + ' ' + kind), page.number, qlonglong(rows.size()),
          MainReports + LogReports);
    QCOMPARE(rows.size(), MainReports + LogReports - lost);
    const QMap<QByteArray, QByteArray> all = stock();
    for (auto it = rows.cbegin(); it != rows.cend(); ++it)
        QVERIFY(all.value(it.key()) == it.value());
    for (int n = MainReports; n < MainReports + LogReports; ++n)
        QVERIFY2(rows.contains(serialOf(n)), "a report that only the log held is missing");
    // Both indexes, or at least one, survive whole: the count of lost rows is exact.
    checkSalvageLog(rows.size(), lost, true);
    checkKeptFiles(asFound);
    checkRestartsKeep(rows);
}

void TestDatabaseSalvage::truncatedMainFile_data()
{
    QTest::addColumn<int>("cut"); // in bytes; negative counts pages from the end
    QTest::newRow("empty") << 0;
    QTest::newRow("within the header") << 50;
    QTest::newRow("after ten pages") << 10 * DatabaseLayout::PageSize;
    QTest::newRow("in the middle, between pages") << -130 * DatabaseLayout::PageSize;
    QTest::newRow("in the middle, inside a page") << -130 * DatabaseLayout::PageSize + 100;
    QTest::newRow("three pages short") << -3 * DatabaseLayout::PageSize;
}

void TestDatabaseSalvage::truncatedMainFile()
{
    QFETCH(int, cut);
    QVERIFY(buildStock());
    const DatabaseLayout layout(dbPath(), dbPath() + "-wal");
    QVERIFY(layout.isValid());
    const qint64 size = QFileInfo(dbPath()).size();
    const qint64 at = cut >= 0 ? cut : size + cut;
    QVERIFY(at >= 0 && at < size);
    QVERIFY(QFile::resize(dbPath(), at));
    const int expected = layout.rowsSurvivingCut(at);
    const QMap<QString, QByteArray> asFound{{QString(), fileBytes(dbPath())},
                                            {QStringLiteral("-wal"), fileBytes(dbPath() + "-wal")}};

    const QMap<QByteArray, QByteArray> rows = startOnce();
    qInfo("cut at %lld of %lld bytes: %lld of %d reports kept", qlonglong(at), qlonglong(size), qlonglong(rows.size()),
          MainReports + LogReports);
    QCOMPARE(rows.size(), expected);
    QVERIFY(expected > 0); // the log alone holds some
    const QMap<QByteArray, QByteArray> all = stock();
    for (auto it = rows.cbegin(); it != rows.cend(); ++it)
        QVERIFY(all.value(it.key()) == it.value());
    for (int n = MainReports; n < MainReports + LogReports; ++n)
        QVERIFY2(rows.contains(serialOf(n)), "a report that only the log held is missing");
    checkSalvageLog(rows.size(), MainReports + LogReports - rows.size(), false);
    checkKeptFiles(asFound);
    checkRestartsKeep(rows);
}

void TestDatabaseSalvage::notADatabase_data()
{
    QTest::addColumn<bool>("withLog");
    QTest::newRow("alone") << false;
    QTest::newRow("beside a log") << true;
}

void TestDatabaseSalvage::notADatabase()
{
    QFETCH(bool, withLog);
    QVERIFY(buildStock());
    const DatabaseLayout layout(dbPath(), dbPath() + "-wal");
    QVERIFY(layout.isValid());
    if (!withLog)
        QVERIFY(QFile::remove(dbPath() + "-wal"));
    const QByteArray garbage(8 * DatabaseLayout::PageSize, 'x');
    QVERIFY(writeFile(dbPath(), garbage));
    QMap<QString, QByteArray> asFound{{QString(), garbage}};
    if (withLog)
        asFound.insert(QStringLiteral("-wal"), fileBytes(dbPath() + "-wal"));
    const int expected = withLog ? layout.rowsSurvivingCut(0) : 0;

    const QMap<QByteArray, QByteArray> rows = startOnce();
    qInfo("not a database %s: %lld reports kept", withLog ? "beside a log" : "alone", qlonglong(rows.size()));
    QCOMPARE(rows.size(), expected);
    const QMap<QByteArray, QByteArray> all = stock();
    for (auto it = rows.cbegin(); it != rows.cend(); ++it)
        QVERIFY(all.value(it.key()) == it.value());
    // Alone, SQLite's own complaint comes first, as for any integrity check without a result; beside a
    // log, SQLite takes the first page from the log and reports the damage as the check's result.
    QCOMPARE(m_sink->count(LogType::Error, QStringLiteral("Integrity Check: ")), withLog ? 0 : 1);
    checkSalvageLog(rows.size(), MainReports + LogReports - rows.size(), false);
    checkKeptFiles(asFound);
    checkRestartsKeep(rows);
}

void TestDatabaseSalvage::logTornAtItsEndIsLeftToSQLite()
{
    QVERIFY(buildStock());
    // Half a frame more, as a crash in the middle of a write leaves it.
    {
        QFile log(dbPath() + "-wal");
        QVERIFY(log.open(QIODevice::Append));
        QVERIFY(log.write(QByteArray(300, char(0x5A))) == 300);
    }
    const QMap<QByteArray, QByteArray> rows = startOnce();
    QVERIFY(rows == stock());
    QVERIFY(m_sink->entries.isEmpty());
    QVERIFY(QDir(m_dir->path()).entryList({QStringLiteral("vk.db.damaged-*")}).isEmpty());
    checkRestartsKeep(stock());
}

void TestDatabaseSalvage::emptyConfigTableGetsTheVersionBack()
{
    QVERIFY(buildStock());
    QVERIFY(execOn(dbPath(), {QStringLiteral("DELETE FROM config")}));
    const QMap<QByteArray, QByteArray> rows = startOnce();
    qInfo("empty config table: %lld reports kept", qlonglong(rows.size()));
    QVERIFY(rows == stock());
    QCOMPARE(m_sink->entries.size(), 1);
    QCOMPARE(m_sink->entries.first().type, LogType::Warning);
    QCOMPARE(m_sink->entries.first().message, QStringLiteral("Database version was missing and has been written back"));
    checkRestartsKeep(stock());
}

void TestDatabaseSalvage::missingBatteriesTableIsCreated()
{
    QVERIFY(buildStock());
    QVERIFY(execOn(dbPath(), {QStringLiteral("DROP TABLE batteries")}));
    {
        BatteryDatabase db(dbPath());
        QString error;
        QVERIFY(db.openWithRecovery());
        QVERIFY(db.checkVersion(error));
        QCOMPARE(m_sink->entries.size(), 1);
        QCOMPARE(m_sink->entries.first().type, LogType::Warning);
        QCOMPARE(m_sink->entries.first().message,
                 QStringLiteral("Database table batteries was missing and has been created"));
        // Reports are stored again, without an error per report.
        m_sink->entries.clear();
        db.saveReports({BatteryRecord::fromBytes(reportOf(7))});
        QVERIFY(m_sink->entries.isEmpty());
        QCOMPARE(listed(db).size(), 1);
        db.close();
    }
    checkRestartsKeep({{serialOf(7), reportOf(7)}});
    // The whole schema is back, index included.
    QVERIFY(execOn(dbPath(),
                   {QStringLiteral("SELECT 1 FROM batteries INDEXED BY batteries_serial_idx WHERE serial = 0")}));
}

void TestDatabaseSalvage::missingConfigTableKeepsTheRows()
{
    QVERIFY(buildStock());
    QVERIFY(execOn(dbPath(), {QStringLiteral("DROP TABLE config")}));
    const QMap<QByteArray, QByteArray> rows = startOnce();
    QVERIFY(rows == stock());
    QCOMPARE(m_sink->entries.size(), 2);
    QCOMPARE(m_sink->entries.at(0).message, QStringLiteral("Database table config was missing and has been created"));
    QCOMPARE(m_sink->entries.at(1).message, QStringLiteral("Database version was missing and has been written back"));
    for (const RecordingEventSink::Entry &entry : std::as_const(m_sink->entries))
        QCOMPARE(entry.type, LogType::Warning);
    checkRestartsKeep(stock());
}

void TestDatabaseSalvage::leftoverBackupOfACrashedSalvageIsRestored()
{
    // A salvage that built its file and moved the damaged one aside, but died before the rename.
    QVERIFY(buildStock());
    QVERIFY(DatabaseLayout::overwritePage(dbPath(), 2));
    QVERIFY(!startOnce().isEmpty());
    QVERIFY(QFile::rename(dbPath(), dbPath() + ".backup"));
    for (const QString &suffix : {QStringLiteral("-wal"), QStringLiteral("-shm")})
        QFile::remove(dbPath() + suffix);
    m_sink->entries.clear();
    const QMap<QByteArray, QByteArray> rows = startOnce();
    QVERIFY(rows.size() > MainReports);
    QCOMPARE(m_sink->count(LogType::Warning, QStringLiteral("Database restored from ")), 1);
    QCOMPARE(m_sink->entries.size(), 1);
}

// A second server holding the file is no damage: nothing is moved, rebuilt or lost.
void TestDatabaseSalvage::databaseLockedElsewhereIsLeftAlone()
{
    QVERIFY(buildStock());
    const QString holder = QStringLiteral("holder");
    {
        QSqlDatabase other = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), holder);
        other.setDatabaseName(dbPath());
        QVERIFY(other.open());
        QVERIFY(QSqlQuery(other).exec(QStringLiteral("PRAGMA locking_mode = EXCLUSIVE")));
        QVERIFY(QSqlQuery(other).exec(QStringLiteral("BEGIN EXCLUSIVE")));
        {
            BatteryDatabase db(dbPath());
            QVERIFY(!db.openWithRecovery());
        }
        QVERIFY(QSqlQuery(other).exec(QStringLiteral("ROLLBACK")));
        other.close();
    }
    QSqlDatabase::removeDatabase(holder);
    QCOMPARE(m_sink->entries.size(), 1);
    QVERIFY2(m_sink->entries.first().message.startsWith(QLatin1String("Integrity Check: "))
                 && m_sink->entries.first().message.contains(QLatin1String("locked")),
             qPrintable(m_sink->entries.first().message));
    QVERIFY(QDir(m_dir->path()).entryList({QStringLiteral("vk.db.damaged-*")}).isEmpty());
    QVERIFY(!QFile::exists(dbPath() + ".backup"));
    m_sink->entries.clear();
    QVERIFY(startOnce() == stock());
    QVERIFY(m_sink->entries.isEmpty());
}

void TestDatabaseSalvage::garbledPageCountIsCountedNotWalked()
{
    QVERIFY(buildStock());
    QVERIFY(startOnce() == stock()); // folds the log into the main file
    QByteArray main = fileBytes(dbPath());
    // A header that claims 2^32 - 1 pages and looks current doing so.
    main.replace(28, 4, QByteArray(4, char(0xFF)));
    main.replace(92, 4, main.mid(24, 4));
    const QString copy = m_dir->filePath(QStringLiteral("garbled.db"));
    QVERIFY(writeFile(copy, main));
    DatabaseSalvage salvage(copy, copy + "-wal");
    salvage.read();
    QCOMPARE(salvage.rows().size(), stock().size());
    QCOMPARE(salvage.lostRows(), 0);
    QCOMPARE(salvage.unreadablePages(), INT_MAX);
}

QTEST_GUILESS_MAIN(TestDatabaseSalvage)
#include "tst_databasesalvage.moc"
