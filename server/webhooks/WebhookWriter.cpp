#include "WebhookWriter.h"

#include <QMetaObject>

namespace NVL::Engineering::VK {

WebhookWriter::WebhookWriter(const QString &file)
    : m_outbox(std::make_unique<WebhookOutbox>(file))
{
    m_thread.setObjectName(QStringLiteral("webhook outbox"));
    moveToThread(&m_thread);
    m_thread.start();
}

WebhookWriter::~WebhookWriter()
{
    close();
}

WebhookWriter::Opened WebhookWriter::open(const QStringList &endpoints)
{
    Opened opened;
    QMetaObject::invokeMethod(this, [this, &opened, endpoints] {
        if (m_outbox->open(endpoints, opened.error, &opened.dropped))
            opened.told = m_outbox->told();
        m_depth.store(m_outbox->depth(), std::memory_order_relaxed);
    }, Qt::BlockingQueuedConnection);
    return opened;
}

void WebhookWriter::close()
{
    if (!m_thread.isRunning())
        return;
    QMetaObject::invokeMethod(this, [this] { m_outbox.reset(); }, Qt::BlockingQueuedConnection);
    m_thread.quit();
    m_thread.wait();
}

void WebhookWriter::add(QList<Pending> pending, QList<WebhookOutbox::Told> told)
{
    QMetaObject::invokeMethod(this, [this, pending = std::move(pending), told = std::move(told)] {
        QList<QPair<QString, WebhookOutbox::Event>> posts;
        for (const Pending &p : pending) {
            const WebhookOutbox::Event event = p.make();
            for (const QString &endpoint : p.endpoints)
                posts.append({endpoint, event});
        }
        QString error;
        if (m_outbox->add(posts, told, error)) {
            m_depth.store(m_outbox->depth(), std::memory_order_relaxed);
            emit written(int(posts.size()));
        } else {
            emit failed(int(posts.size()), error);
        }
    });
}

void WebhookWriter::askHead(const QString &endpoint)
{
    QMetaObject::invokeMethod(this, [this, endpoint] { emit head(endpoint, m_outbox->head(endpoint)); });
}

void WebhookWriter::remove(qint64 row)
{
    QMetaObject::invokeMethod(this, [this, row] {
        m_outbox->remove(row);
        m_depth.store(m_outbox->depth(), std::memory_order_relaxed);
    });
}

void WebhookWriter::postpone(qint64 row, int attempts, qint64 nextTry)
{
    QMetaObject::invokeMethod(this, [this, row, attempts, nextTry] { m_outbox->postpone(row, attempts, nextTry); });
}

} // namespace NVL::Engineering::VK
