#pragma once

#include "WebhookOutbox.h"

#include <QObject>
#include <QString>
#include <QStringList>
#include <QThread>

#include <atomic>
#include <functional>
#include <memory>
#include <optional>

namespace NVL::Engineering::VK {

// The outbox on a thread of its own: making an event's document and syncing it to disk cost the radios'
// loop nothing but the hand-over. Calls are queued and run in the order made, so a courier's strike of
// one event comes before its question for the next; answers come back as signals on the caller's loop.
class WebhookWriter : public QObject
{
    Q_OBJECT

public:
    // Made on the writer's thread from what the event loop captured: its document, id and time.
    using Maker = std::function<WebhookOutbox::Event()>;
    struct Pending
    {
        QStringList endpoints;
        Maker make;
    };

    explicit WebhookWriter(const QString &file);
    ~WebhookWriter() override;

    // Opens the outbox and waits for it; what each receiver was told, or why it cannot be opened.
    struct Opened
    {
        QString error;
        int dropped = 0;
        WebhookOutbox::ToldSets told;
    };
    Opened open(const QStringList &endpoints);
    // Every call before it done, then the thread ends.
    void close();

    void add(QList<Pending> pending, QList<WebhookOutbox::Told> told);
    void askHead(const QString &endpoint);
    void remove(qint64 row);
    void postpone(qint64 row, int attempts, qint64 nextTry);
    qint64 depth() const { return m_depth.load(std::memory_order_relaxed); }

signals:
    void written(int events);
    void failed(int events, const QString &error);
    void head(const QString &endpoint, const std::optional<NVL::Engineering::VK::WebhookOutbox::Entry> &entry);

private:
    QThread m_thread;
    std::unique_ptr<WebhookOutbox> m_outbox; // made, used and closed on m_thread
    std::atomic<qint64> m_depth{0};
};

} // namespace NVL::Engineering::VK
