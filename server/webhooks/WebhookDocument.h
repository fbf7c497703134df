#pragma once

#include "FleetIndex.h"
#include "WebhookOutbox.h"

#include <QJsonObject>
#include <QString>

#include <optional>

namespace NVL::Engineering::VK {

struct SiteWear;

// The JSON document of each event kind: its id, kind and time, then what the event is about. A battery
// is told as the dashboard shows it (key, serial text, alias, class, percentage, forecast), so a receiver
// needs no second question to the API.
class WebhookDocument
{
public:
    // `extra` adds to the battery object (the class it had, its silence, its site).
    static WebhookOutbox::Event battery(const QString &kind, const FleetIndex::Entry &entry, qint64 now,
                                        const QJsonObject &extra = {});
    static WebhookOutbox::Event site(const SiteWear &site, qint64 now);
    struct FailedMail
    {
        QString notification; // its alias
        QString kind;         // "report" or "alert"
        QString failure;
        int recipients = 0;
    };
    static WebhookOutbox::Event mail(const FailedMail &mail, qint64 now);
    // What `vkconfig webhook test` posts: signed like any event, about nothing.
    static WebhookOutbox::Event test(qint64 now);

private:
    static WebhookOutbox::Event made(const QString &kind, qint64 now, const QString &field, const QJsonObject &about);
};

} // namespace NVL::Engineering::VK
