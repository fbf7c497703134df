#include "ServerMetrics.h"

#include "VoltkeepIdentity.h"

#include <QDateTime>

namespace NVL::Engineering::VK {

namespace {

constexpr auto Relaxed = std::memory_order_relaxed;

class Exposition
{
public:
    void family(const char *name, const char *type, const char *help)
    {
        m_out += QByteArrayLiteral("# HELP ") + name + ' ' + help + QByteArrayLiteral("\n# TYPE ") + name + ' ' + type
            + '\n';
    }
    void sample(const char *name, qint64 value, const char *label = nullptr, const char *labelValue = nullptr)
    {
        m_out += name;
        if (label)
            m_out += QByteArrayLiteral("{") + label + QByteArrayLiteral("=\"") + labelValue + QByteArrayLiteral("\"}");
        m_out += ' ' + QByteArray::number(value) + '\n';
    }
    // A label value as the text format escapes it: an endpoint's name is the administrator's.
    void sample(const char *name, qint64 value, const QList<QPair<const char *, QByteArray>> &labels)
    {
        m_out += name;
        m_out += '{';
        for (qsizetype i = 0; i < labels.size(); ++i) {
            QByteArray text = labels[i].second;
            text.replace('\\', "\\\\").replace('"', "\\\"").replace('\n', "\\n");
            m_out += (i ? QByteArrayLiteral(",") : QByteArray()) + labels[i].first + QByteArrayLiteral("=\"") + text + '"';
        }
        m_out += "} " + QByteArray::number(value) + '\n';
    }
    template<typename Counters>
    void labelled(const char *name, const char *label, const Counters &counters, std::initializer_list<const char *> values)
    {
        std::size_t i = 0;
        for (const char *value : values)
            sample(name, qint64(counters[i++].load(Relaxed)), label, value);
    }
    QByteArray take() { return std::move(m_out); }

private:
    QByteArray m_out;
};

} // namespace

const QByteArray ServerMetrics::ContentType = QByteArrayLiteral("text/plain; version=0.0.4; charset=utf-8");

ServerMetrics::ServerMetrics()
    : m_startTime(QDateTime::currentSecsSinceEpoch())
{
}

void ServerMetrics::countReport(Transport transport)
{
    m_reports[std::size_t(transport)].fetch_add(1, Relaxed);
}

void ServerMetrics::countDroppedReport(DropReason reason, qint64 count)
{
    m_dropped[std::size_t(reason)].fetch_add(count, Relaxed);
}

void ServerMetrics::countListRequest()
{
    m_listRequests.fetch_add(1, Relaxed);
}

void ServerMetrics::countDeleteRequest()
{
    m_deleteRequests.fetch_add(1, Relaxed);
}

void ServerMetrics::countMails(MailKind kind, int delivered, int failed)
{
    m_mailsDelivered[std::size_t(kind)].fetch_add(quint64(std::max(delivered, 0)), Relaxed);
    m_mailsFailed[std::size_t(kind)].fetch_add(quint64(std::max(failed, 0)), Relaxed);
    if (delivered > 0)
        m_lastDelivery.store(QDateTime::currentSecsSinceEpoch(), Relaxed);
}

void ServerMetrics::countSalvage(StoreFile file)
{
    m_salvages[std::size_t(file)].fetch_add(1, Relaxed);
}

void ServerMetrics::countHistoryPoints(qint64 points)
{
    m_historyPoints.fetch_add(quint64(std::max<qint64>(points, 0)), Relaxed);
}

QByteArray ServerMetrics::exposition() const
{
    Exposition e;
    e.family("voltkeep_build_info", "gauge", "Version of the running server (always 1).");
    e.sample("voltkeep_build_info", 1, "version", Identity::VersionText);
    e.family("voltkeep_start_time_seconds", "gauge", "Time the server started, seconds since the epoch.");
    e.sample("voltkeep_start_time_seconds", m_startTime);

    const std::array<qint64, 4> classes = m_batteriesByClass ? m_batteriesByClass() : std::array<qint64, 4>{};
    e.family("voltkeep_batteries", "gauge", "Batteries stored, by health class of their newest report.");
    const char *classNames[] = {"poor", "fair", "good", "excellent"};
    for (std::size_t i = 0; i < classes.size(); ++i)
        e.sample("voltkeep_batteries", classes[i], "class", classNames[i]);
    if (m_batteriesDue) {
        const auto due = m_batteriesDue();
        e.family("voltkeep_batteries_due", "gauge",
                 "Batteries Poor now, at the boundary, or forecast to reach it within the label's days from today.");
        for (std::size_t i = 0; i < due.size(); ++i)
            e.sample("voltkeep_batteries_due", due[i], "within_days", QByteArray::number(DueSpans[i]).constData());
    }

    e.family("voltkeep_reports_received_total", "counter", "Battery reports received since start, by transport.");
    e.labelled("voltkeep_reports_received_total", "transport", m_reports, {"tcp", "udp"});
    e.family("voltkeep_reports_dropped_total", "counter",
             "Battery reports not stored since start: the database was closed, the message was malformed, the disk "
             "was full, or the store failed otherwise.");
    e.labelled("voltkeep_reports_dropped_total", "reason", m_dropped, {"database_closed", "malformed", "disk_full", "not_stored"});
    e.family("voltkeep_list_requests_total", "counter", "List requests answered since start.");
    e.sample("voltkeep_list_requests_total", qint64(m_listRequests.load(Relaxed)));
    e.family("voltkeep_delete_requests_total", "counter", "Delete requests received since start.");
    e.sample("voltkeep_delete_requests_total", qint64(m_deleteRequests.load(Relaxed)));

    e.family("voltkeep_mails_delivered_total", "counter", "Notification mails the mail server accepted, by kind.");
    e.labelled("voltkeep_mails_delivered_total", "kind", m_mailsDelivered, {"report", "alert"});
    e.family("voltkeep_mails_failed_total", "counter", "Notification mails that could not be delivered, by kind.");
    e.labelled("voltkeep_mails_failed_total", "kind", m_mailsFailed, {"report", "alert"});
    e.family("voltkeep_mail_queue_depth", "gauge", "Mails waiting to be sent, the one being sent included.");
    e.sample("voltkeep_mail_queue_depth", m_mailQueueDepth ? m_mailQueueDepth() : 0);
    e.family("voltkeep_last_mail_delivery_timestamp_seconds", "gauge",
             "Time of the last delivered mail, seconds since the epoch; 0 before the first.");
    e.sample("voltkeep_last_mail_delivery_timestamp_seconds", m_lastDelivery.load(Relaxed));

    e.family("voltkeep_database_salvages_total", "counter",
             "Damaged files set aside and rebuilt since start (vk.db salvaged, vk-history.db replaced).");
    e.labelled("voltkeep_database_salvages_total", "file", m_salvages, {"vk.db", "vk-history.db"});
    if (m_historyWorking) {
        e.family("voltkeep_history_up", "gauge", "1 while the battery history is kept, 0 while its file cannot be "
                                                 "opened or written (absent when the history is off).");
        e.sample("voltkeep_history_up", m_historyWorking() ? 1 : 0);
    }
    e.family("voltkeep_history_points_written_total", "counter", "Points written into the battery history since start.");
    e.sample("voltkeep_history_points_written_total", qint64(m_historyPoints.load(Relaxed)));
    const qint64 silent = m_silentBatteries ? m_silentBatteries() : -1;
    if (silent >= 0) {
        e.family("voltkeep_silent_batteries", "gauge", "Batteries that have not reported for [insight] silentDays.");
        e.sample("voltkeep_silent_batteries", silent);
    }
    const qint64 flagged = m_flaggedSites ? m_flaggedSites() : -1;
    if (flagged >= 0) {
        e.family("voltkeep_flagged_sites", "gauge", "Sites whose batteries fade significantly faster than the fleet's of "
                                                    "the same types.");
        e.sample("voltkeep_flagged_sites", flagged);
    }
    const qint64 addresses = m_flaggedAddresses ? m_flaggedAddresses() : -1;
    if (addresses >= 0) {
        e.family("voltkeep_flagged_addresses", "gauge", "Chargers and gateways whose batteries fade significantly faster "
                                                        "than the fleet's of the same types, in any site.");
        e.sample("voltkeep_flagged_addresses", addresses);
    }
    e.family("voltkeep_webhook_deliveries_total", "counter",
             "Webhook posts since start, by receiver and outcome (delivered, http_error, network_error, timeout, "
             "too_large; given_up when an event's retries ran out).");
    if (m_webhookDeliveries)
        for (const WebhookCount &count : m_webhookDeliveries())
            e.sample("voltkeep_webhook_deliveries_total", count.count,
                     {{"endpoint", count.endpoint.toUtf8()}, {"outcome", count.outcome}});
    e.family("voltkeep_webhook_outbox_depth", "gauge", "Webhook posts in the outbox, not yet delivered or given up.");
    e.sample("voltkeep_webhook_outbox_depth", m_webhookOutboxDepth ? m_webhookOutboxDepth() : 0);
    if (m_spooled) {
        e.family("voltkeep_outage_spool_entries", "gauge", "Reports and delete requests waiting in the local spool "
                                                           "for the shared database to be reached again.");
        e.sample("voltkeep_outage_spool_entries", m_spooled());
    }
    return e.take();
}

} // namespace NVL::Engineering::VK
