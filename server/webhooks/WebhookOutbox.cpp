#include "WebhookOutbox.h"

#include "SqliteFile.h"

#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QUuid>
#include <QVariant>

namespace NVL::Engineering::VK {

namespace {

const char *const Setup[] = {
    "PRAGMA journal_mode = WAL",
    "PRAGMA locking_mode = EXCLUSIVE",
    "PRAGMA synchronous = NORMAL",
    "CREATE TABLE IF NOT EXISTS outbox(row INTEGER PRIMARY KEY, endpoint TEXT NOT NULL, event TEXT NOT NULL, "
    "kind TEXT NOT NULL, body BLOB NOT NULL, created INTEGER NOT NULL, attempts INTEGER NOT NULL DEFAULT 0, "
    "next INTEGER NOT NULL DEFAULT 0)",
    "CREATE INDEX IF NOT EXISTS outbox_endpoint ON outbox(endpoint, row)",
    "CREATE TABLE IF NOT EXISTS told(endpoint TEXT NOT NULL, kind TEXT NOT NULL, subject TEXT NOT NULL, "
    "PRIMARY KEY(endpoint, kind, subject)) WITHOUT ROWID",
    "CREATE TABLE IF NOT EXISTS classes(battery INTEGER PRIMARY KEY, class INTEGER NOT NULL)",
};

const QString PutClass = QStringLiteral("INSERT INTO classes(battery, class) VALUES (?, ?) "
                                        "ON CONFLICT(battery) DO UPDATE SET class = excluded.class");

// SQLite's integers are signed: the key's 64 bits are kept as they are.
qint64 stored(quint64 battery)
{
    return qint64(battery);
}

} // namespace

WebhookOutbox::WebhookOutbox(const QString &file)
    : m_file(file)
    , m_connection(QStringLiteral("webhooks-") + QUuid::createUuid().toString(QUuid::WithoutBraces))
{
}

WebhookOutbox::~WebhookOutbox()
{
    if (QSqlDatabase::contains(m_connection)) {
        QSqlDatabase::database(m_connection, false).close();
        QSqlDatabase::removeDatabase(m_connection);
    }
}

bool WebhookOutbox::open(const QStringList &endpoints, bool classes, QString &error, int *dropped)
{
    QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), m_connection);
    db.setDatabaseName(m_file);
    if (!db.open()) {
        error = db.lastError().text();
        return false;
    }
    QSqlQuery query(db);
    if (!SqliteFile::execAll(query, Setup)) {
        error = query.lastError().text();
        return false;
    }
    // A receiver taken out of vk.cfg will never be posted to: its events would only swell the outbox.
    QStringList marks;
    for (qsizetype i = 0; i < endpoints.size(); ++i)
        marks << QStringLiteral("?");
    const QString notIn = QStringLiteral(" WHERE endpoint NOT IN (%1)").arg(marks.join(QLatin1Char(',')));
    for (const char *table : {"outbox", "told"}) {
        query.prepare(QStringLiteral("DELETE FROM ") + QLatin1String(table) + (endpoints.isEmpty() ? QString() : notIn));
        for (const QString &endpoint : endpoints)
            query.addBindValue(endpoint);
        if (!query.exec()) {
            error = query.lastError().text();
            return false;
        }
        if (dropped && qstrcmp(table, "outbox") == 0)
            *dropped = query.numRowsAffected();
    }
    if ((!classes && !query.exec(QStringLiteral("DELETE FROM classes")))
        || !query.exec(QStringLiteral("SELECT count(*) FROM outbox")) || !query.next()) {
        error = query.lastError().text();
        return false;
    }
    m_depth = query.value(0).toLongLong();
    m_open = true;
    return true;
}

bool WebhookOutbox::add(const QList<QPair<QString, Event>> &posts, const QList<Told> &told, const QList<ClassOf> &classes,
                        QString &error)
{
    if (!m_open) {
        error = QStringLiteral("the webhook outbox is not open");
        return false;
    }
    QSqlDatabase db = QSqlDatabase::database(m_connection, false);
    QSqlQuery pragma(db);
    // Written as durably as the reports that raised them: a crash after this posts them all.
    pragma.exec(QStringLiteral("PRAGMA synchronous = FULL"));
    QSqlQuery insert(db);
    QSqlQuery on(db);
    QSqlQuery off(db);
    QSqlQuery put(db);
    const auto failed = [&error](const QSqlQuery &query) {
        error = query.lastError().text();
        return false;
    };
    bool ok = db.transaction() || failed(pragma);
    ok = ok && (insert.prepare(QStringLiteral("INSERT INTO outbox(endpoint, event, kind, body, created) VALUES (?, ?, ?, ?, ?)"))
                || failed(insert));
    for (qsizetype i = 0; ok && i < posts.size(); ++i) {
        const auto &[endpoint, event] = posts[i];
        insert.addBindValue(endpoint);
        insert.addBindValue(event.id);
        insert.addBindValue(event.kind);
        insert.addBindValue(event.body);
        insert.addBindValue(event.created);
        ok = insert.exec() || failed(insert);
    }
    ok = ok && (on.prepare(QStringLiteral("INSERT OR IGNORE INTO told(endpoint, kind, subject) VALUES (?, ?, ?)")) || failed(on))
        && (off.prepare(QStringLiteral("DELETE FROM told WHERE endpoint = ? AND kind = ? AND subject = ?")) || failed(off));
    for (qsizetype i = 0; ok && i < told.size(); ++i) {
        QSqlQuery &query = told[i].on ? on : off;
        query.addBindValue(told[i].endpoint);
        query.addBindValue(told[i].kind);
        query.addBindValue(told[i].subject);
        ok = query.exec() || failed(query);
    }
    ok = ok && (classes.isEmpty() || put.prepare(PutClass) || failed(put));
    for (qsizetype i = 0; ok && i < classes.size(); ++i) {
        put.addBindValue(stored(classes[i].battery));
        put.addBindValue(int(classes[i].healthClass));
        ok = put.exec() || failed(put);
    }
    if (ok && !db.commit()) {
        error = db.lastError().text();
        ok = false;
    }
    if (ok)
        m_depth += posts.size();
    else
        db.rollback();
    pragma.exec(QStringLiteral("PRAGMA synchronous = NORMAL"));
    return ok;
}

QList<WebhookOutbox::Entry> WebhookOutbox::heads(const QString &endpoint, int count)
{
    QList<Entry> entries;
    if (!m_open)
        return entries;
    QSqlQuery query(QSqlDatabase::database(m_connection, false));
    query.setForwardOnly(true);
    query.prepare(QStringLiteral("SELECT row, event, kind, body, created, attempts, next FROM outbox WHERE endpoint = ? "
                                 "ORDER BY row LIMIT ?"));
    query.addBindValue(endpoint);
    query.addBindValue(count);
    if (!query.exec())
        return entries;
    while (query.next()) {
        Entry entry;
        entry.row = query.value(0).toLongLong();
        entry.event.id = query.value(1).toString();
        entry.event.kind = query.value(2).toString();
        entry.event.body = query.value(3).toByteArray();
        entry.event.created = query.value(4).toLongLong();
        entry.attempts = query.value(5).toInt();
        entry.nextTry = query.value(6).toLongLong();
        entries << entry;
    }
    return entries;
}

void WebhookOutbox::remove(const QList<qint64> &rows)
{
    QSqlDatabase db = QSqlDatabase::database(m_connection, false);
    const bool together = db.transaction();
    QSqlQuery query(db);
    query.prepare(QStringLiteral("DELETE FROM outbox WHERE row = ?"));
    for (const qint64 row : rows) {
        query.addBindValue(row);
        if (query.exec() && query.numRowsAffected() > 0)
            --m_depth;
    }
    if (together)
        db.commit();
}

void WebhookOutbox::postpone(qint64 row, int attempts, qint64 nextTry)
{
    QSqlQuery query(QSqlDatabase::database(m_connection, false));
    query.prepare(QStringLiteral("UPDATE outbox SET attempts = ?, next = ? WHERE row = ?"));
    query.addBindValue(attempts);
    query.addBindValue(nextTry);
    query.addBindValue(row);
    query.exec();
}

QList<WebhookOutbox::UntoldClass> WebhookOutbox::untold(const QList<ClassOf> &now)
{
    QList<UntoldClass> untold;
    if (!m_open)
        return untold;
    QSqlDatabase db = QSqlDatabase::database(m_connection, false);
    QSqlQuery find(db);
    QSqlQuery put(db);
    if (!db.transaction() || !find.prepare(QStringLiteral("SELECT class FROM classes WHERE battery = ?")) || !put.prepare(PutClass))
        return untold;
    for (const ClassOf &battery : now) {
        find.addBindValue(stored(battery.battery));
        if (!find.exec())
            continue;
        if (find.next()) {
            const int told = find.value(0).toInt();
            if (told != battery.healthClass)
                untold.append({battery.battery, quint8(told), battery.healthClass});
        } else {
            put.addBindValue(stored(battery.battery));
            put.addBindValue(int(battery.healthClass));
            put.exec();
        }
        find.finish();
    }
    if (!db.commit())
        db.rollback();
    return untold;
}

WebhookOutbox::ToldSets WebhookOutbox::told()
{
    ToldSets sets;
    QSqlQuery query(QSqlDatabase::database(m_connection, false));
    if (m_open && query.exec(QStringLiteral("SELECT endpoint, kind, subject FROM told")))
        while (query.next())
            sets[toldKey(query.value(0).toString(), query.value(1).toString())].insert(query.value(2).toString());
    return sets;
}

} // namespace NVL::Engineering::VK
