#pragma once

#include <QByteArray>
#include <QHash>
#include <QList>
#include <QSet>
#include <QString>

#include <optional>

namespace NVL::Engineering::VK {

// vk-webhooks.db beside the store: every event to post, per receiver, until it is delivered or given up,
// and what each receiver was told of a lasting state (a battery due, a site flagged), so that a restart
// tells nothing twice. Events are written with a sync before any is posted; a delivery is struck without
// one, since at worst a crash then posts it again under the same id.
// Threads: the event loop's alone.
class WebhookOutbox
{
public:
    struct Event
    {
        QString id;
        QString kind;
        QByteArray body;
        qint64 created = 0; // seconds since the epoch
    };
    struct Entry
    {
        qint64 row = 0;
        Event event;
        int attempts = 0;
        qint64 nextTry = 0;
    };
    // A lasting state of one receiver: `subject` (a battery key, a site) is in `kind`'s state, or left it.
    struct Told
    {
        QString endpoint;
        QString kind;
        QString subject;
        bool on = true;
    };
    using ToldSets = QHash<QString, QSet<QString>>; // by endpoint + '\n' + kind

    explicit WebhookOutbox(const QString &file);
    ~WebhookOutbox();
    WebhookOutbox(const WebhookOutbox &) = delete;
    WebhookOutbox &operator=(const WebhookOutbox &) = delete;

    // Opens or makes the file; events of receivers no longer in `endpoints` are dropped, and counted.
    bool open(const QStringList &endpoints, QString &error, int *dropped = nullptr);
    bool isOpen() const { return m_open; }

    // Each event to each of its receivers, and the states that changed with them, in one synced
    // transaction; false (nothing written) when the file refused it.
    bool add(const QList<QPair<QString, Event>> &posts, const QList<Told> &told, QString &error);
    std::optional<Entry> head(const QString &endpoint);
    void remove(qint64 row);
    void postpone(qint64 row, int attempts, qint64 nextTry);
    qint64 depth() const { return m_depth; }
    ToldSets told();

    static QString toldKey(const QString &endpoint, const QString &kind) { return endpoint + QLatin1Char('\n') + kind; }

private:
    QString m_file;
    QString m_connection;
    bool m_open = false;
    qint64 m_depth = 0;
};

} // namespace NVL::Engineering::VK
