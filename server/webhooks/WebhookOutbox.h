#pragma once

#include <QByteArray>
#include <QHash>
#include <QList>
#include <QSet>
#include <QString>

#include <optional>

namespace NVL::Engineering::VK {

// vk-webhooks.db beside the store: every event to post, per receiver, until it is delivered or given up,
// what each receiver was told of a lasting state (a battery due, a site flagged), so that a restart
// tells nothing twice, and each battery's class as battery.class last told it, so that a restart tells a
// change whose event a crash kept out of the file. Events are written with a sync before any is posted;
// deliveries are struck without one, since at worst a crash then posts them again under the same ids.
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
    // A battery's class (BatteryHealth) by its key (FleetIndex::orderKey).
    struct ClassOf
    {
        quint64 battery = 0;
        quint8 healthClass = 0;
    };
    // A class battery.class has not told: `told` is the one it last told.
    struct UntoldClass
    {
        quint64 battery = 0;
        quint8 told = 0;
        quint8 now = 0;
    };

    explicit WebhookOutbox(const QString &file);
    ~WebhookOutbox();
    WebhookOutbox(const WebhookOutbox &) = delete;
    WebhookOutbox &operator=(const WebhookOutbox &) = delete;

    // Opens or makes the file; events of receivers no longer in `endpoints` are dropped, and counted. The
    // classes told are forgotten where no receiver wants battery.class (`classes` false): a receiver that
    // wants it later starts from the classes as they then are.
    bool open(const QStringList &endpoints, bool classes, QString &error, int *dropped = nullptr);
    bool isOpen() const { return m_open; }

    // Each event to each of its receivers, and the states and classes that changed with them, in one synced
    // transaction; false (nothing written) when the file refused it.
    bool add(const QList<QPair<QString, Event>> &posts, const QList<Told> &told, const QList<ClassOf> &classes,
             QString &error);
    // The batteries of `now` whose class differs from the one last told; one never told before is taken as
    // told now (its first report raises no event).
    QList<UntoldClass> untold(const QList<ClassOf> &now);
    // The receiver's oldest `count` events, oldest first.
    QList<Entry> heads(const QString &endpoint, int count);
    void remove(const QList<qint64> &rows);
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
