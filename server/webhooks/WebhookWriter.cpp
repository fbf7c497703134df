#include "WebhookWriter.h"

#include <QMetaObject>

#include <utility>

namespace NVL::Engineering::VK {

WebhookWriter::WebhookWriter(const QString &file)
    : m_thread(&WebhookWriter::run, this, file)
{
}

WebhookWriter::~WebhookWriter()
{
    close();
}

void WebhookWriter::run(QString file)
{
    WebhookOutbox outbox(file); // its connection lives and dies on this thread
    for (;;) {
        Job job;
        {
            std::unique_lock lock(m_mutex);
            m_wake.wait(lock, [this] { return m_stopping || !m_jobs.empty(); });
            if (m_jobs.empty())
                return; // stopping, and everything handed over is done
            job = std::move(m_jobs.front());
            m_jobs.pop_front();
        }
        job(outbox);
        m_depth.store(outbox.depth(), std::memory_order_relaxed);
    }
}

void WebhookWriter::post(Job job)
{
    {
        const std::lock_guard lock(m_mutex);
        if (m_stopping)
            return;
        m_jobs.push_back(std::move(job));
    }
    m_wake.notify_one();
}

WebhookWriter::Opened WebhookWriter::open(const QStringList &endpoints, bool classes)
{
    Opened opened;
    bool done = false;
    std::condition_variable answered;
    post([&](WebhookOutbox &outbox) {
        Opened result;
        if (outbox.open(endpoints, classes, result.error, &result.dropped))
            result.told = outbox.told();
        const std::lock_guard lock(m_mutex);
        opened = std::move(result);
        done = true;
        answered.notify_one();
    });
    std::unique_lock lock(m_mutex);
    answered.wait(lock, [&done] { return done; });
    return opened;
}

void WebhookWriter::close()
{
    {
        const std::lock_guard lock(m_mutex);
        m_stopping = true;
    }
    m_wake.notify_one();
    if (m_thread.joinable())
        m_thread.join();
}

void WebhookWriter::add(QList<Pending> pending, QList<WebhookOutbox::Told> told, QList<WebhookOutbox::ClassOf> classes)
{
    post([this, pending = std::move(pending), told = std::move(told), classes = std::move(classes)](WebhookOutbox &outbox) {
        QList<QPair<QString, WebhookOutbox::Event>> posts;
        for (const Pending &p : pending) {
            const WebhookOutbox::Event event = p.make();
            for (const QString &endpoint : p.endpoints)
                posts.append({endpoint, event});
        }
        QString error;
        const bool added = outbox.add(posts, told, classes, error);
        const std::lock_guard lock(m_mutex);
        answerLocked(added ? Answer{Answer::Kind::Written, int(posts.size()), {}, {}, {}}
                           : Answer{Answer::Kind::Failed, int(posts.size()), error, {}, {}});
    });
}

void WebhookWriter::findUntold(QList<WebhookOutbox::ClassOf> now)
{
    post([this, now = std::move(now)](WebhookOutbox &outbox) {
        QList<WebhookOutbox::UntoldClass> untold = outbox.untold(now);
        const std::lock_guard lock(m_mutex);
        answerLocked({Answer::Kind::Untold, 0, {}, {}, std::move(untold)});
    });
}

void WebhookWriter::askHeads(const QString &endpoint, int count)
{
    post([this, endpoint, count](WebhookOutbox &outbox) {
        QList<WebhookOutbox::Entry> entries = outbox.heads(endpoint, count);
        const std::lock_guard lock(m_mutex);
        answerLocked({Answer::Kind::Head, 0, endpoint, std::move(entries), {}});
    });
}

void WebhookWriter::remove(QList<qint64> rows)
{
    post([rows = std::move(rows)](WebhookOutbox &outbox) { outbox.remove(rows); });
}

void WebhookWriter::postpone(qint64 row, int attempts, qint64 nextTry)
{
    post([row, attempts, nextTry](WebhookOutbox &outbox) { outbox.postpone(row, attempts, nextTry); });
}

void WebhookWriter::answerLocked(Answer answer)
{
    m_answers.push_back(std::move(answer));
    if (!m_deliveryPosted) {
        m_deliveryPosted = true;
        QMetaObject::invokeMethod(this, "deliver", Qt::QueuedConnection);
    }
}

void WebhookWriter::deliver()
{
    std::deque<Answer> answers;
    {
        const std::lock_guard lock(m_mutex);
        answers = std::exchange(m_answers, {});
        m_deliveryPosted = false;
    }
    for (const Answer &answer : answers) {
        switch (answer.kind) {
        case Answer::Kind::Written: emit written(answer.events); break;
        case Answer::Kind::Failed: emit failed(answer.events, answer.text); break;
        case Answer::Kind::Head: emit heads(answer.text, answer.entries); break;
        case Answer::Kind::Untold: emit untoldClasses(answer.untold); break;
        }
    }
}

} // namespace NVL::Engineering::VK
