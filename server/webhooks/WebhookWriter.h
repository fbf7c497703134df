#pragma once

#include "WebhookOutbox.h"

#include <QObject>
#include <QString>
#include <QStringList>

#include <atomic>
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <thread>

namespace NVL::Engineering::VK {

// The outbox on a thread of its own: making an event's document and syncing it to disk cost the radios'
// loop nothing but the hand-over. Work runs in the order handed over, so a courier's strike of one event
// comes before its question for the next; answers come back as signals on the event loop. Everything
// crosses between the threads under one mutex, which ThreadSanitizer sees, not inside Qt's events.
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
    struct Opened
    {
        QString error;
        int dropped = 0;
        WebhookOutbox::ToldSets told;
    };

    explicit WebhookWriter(const QString &file);
    ~WebhookWriter() override;

    // Opens the outbox and waits for it: what each receiver was told, or why it cannot be opened.
    Opened open(const QStringList &endpoints, bool classes);
    // Every piece of work handed over is done, then the file closes and the thread ends.
    void close();

    void add(QList<Pending> pending, QList<WebhookOutbox::Told> told, QList<WebhookOutbox::ClassOf> classes);
    // Answered by untoldClasses.
    void findUntold(QList<WebhookOutbox::ClassOf> now);
    // Answered by heads: the receiver's oldest `count` events.
    void askHeads(const QString &endpoint, int count);
    void remove(QList<qint64> rows);
    void postpone(qint64 row, int attempts, qint64 nextTry);
    qint64 depth() const { return m_depth.load(std::memory_order_relaxed); }

signals:
    void written(int events);
    void failed(int events, const QString &error);
    void heads(const QString &endpoint, const QList<NVL::Engineering::VK::WebhookOutbox::Entry> &entries);
    void untoldClasses(const QList<NVL::Engineering::VK::WebhookOutbox::UntoldClass> &untold);

private:
    using Job = std::function<void(WebhookOutbox &)>;
    struct Answer
    {
        enum class Kind { Written, Failed, Head, Untold } kind;
        int events = 0;
        QString text; // the error, or the endpoint
        QList<WebhookOutbox::Entry> entries;
        QList<WebhookOutbox::UntoldClass> untold;
    };

    void run(QString file);
    void post(Job job);
    // From the thread, under the mutex: the event loop takes the answers in deliver().
    void answerLocked(Answer answer);
    Q_INVOKABLE void deliver();

    std::mutex m_mutex;
    std::condition_variable m_wake;
    std::deque<Job> m_jobs;       // guarded by m_mutex
    std::deque<Answer> m_answers; // guarded by m_mutex
    bool m_deliveryPosted = false; // guarded by m_mutex
    bool m_stopping = false;      // guarded by m_mutex
    std::atomic<qint64> m_depth{0};
    std::thread m_thread; // last: started once the rest is made
};

} // namespace NVL::Engineering::VK
