#pragma once

#include <QByteArray>
#include <QList>
#include <QString>
#include <QtGlobal>

#include <array>
#include <atomic>
#include <functional>

namespace NVL::Engineering::VK {

// What monitoring reads at /metrics, in Prometheus' text format. Counters are counted where things
// happen, from any thread (the mail worker counts its outcomes); the gauges that describe a state are
// asked of their owner when the text is rendered, on the event loop.
class ServerMetrics
{
public:
    enum class Transport { Tcp, Udp };
    enum class DropReason { DatabaseClosed, Malformed, DiskFull, NotStored };
    enum class MailKind { Report, Alert };
    enum class StoreFile { Batteries, History };

    using Sampler = std::function<qint64()>;
    using ClassSampler = std::function<std::array<qint64, 4>()>; // Poor, Fair, Good, Excellent
    // The spans of voltkeep_batteries_due, as the overview's cards count them.
    static constexpr std::array<int, 3> DueSpans{30, 90, 180};
    using DueSampler = std::function<std::array<qint64, DueSpans.size()>()>;
    struct WebhookCount
    {
        QString endpoint;
        QByteArray outcome;
        qint64 count = 0;
    };
    using WebhookSampler = std::function<QList<WebhookCount>()>;

    ServerMetrics();

    void countReport(Transport transport);
    void countDroppedReport(DropReason reason, qint64 count = 1);
    void countListRequest();
    void countDeleteRequest();
    // Messages of one SMTP session; a delivered one also sets the time of the last delivery.
    void countMails(MailKind kind, int delivered, int failed);
    void countSalvage(StoreFile file);
    void countHistoryPoints(qint64 points);

    void setBatteriesByClass(ClassSampler sampler) { m_batteriesByClass = std::move(sampler); }
    void setBatteriesDue(DueSampler sampler) { m_batteriesDue = std::move(sampler); }
    void setMailQueueDepth(Sampler sampler) { m_mailQueueDepth = std::move(sampler); }
    // Unset while the history is off.
    void setHistoryWorking(std::function<bool()> sampler) { m_historyWorking = std::move(sampler); }
    // Insight's figures; a negative one is left out (not computed yet).
    void setSilentBatteries(Sampler sampler) { m_silentBatteries = std::move(sampler); }
    // Insight's gauges are absent until the first analysis after the start: a 0 there would be a guess.
    void setFlaggedSites(Sampler sampler) { m_flaggedSites = std::move(sampler); }
    void setFlaggedAddresses(Sampler sampler) { m_flaggedAddresses = std::move(sampler); }
    // Every configured receiver with every outcome, 0 included, so that a rate has a series to start from.
    void setWebhookDeliveries(WebhookSampler sampler) { m_webhookDeliveries = std::move(sampler); }
    void setWebhookOutboxDepth(Sampler sampler) { m_webhookOutboxDepth = std::move(sampler); }
    // Unset unless the store is a shared database.
    void setSpooled(Sampler sampler) { m_spooled = std::move(sampler); }

    // Text format 0.0.4; call on the event loop (the samplers run there).
    QByteArray exposition() const;
    static const QByteArray ContentType;

private:
    template<std::size_t N>
    using Counters = std::array<std::atomic<quint64>, N>;

    qint64 m_startTime;
    Counters<2> m_reports{};
    Counters<4> m_dropped{};
    std::atomic<quint64> m_listRequests{0};
    std::atomic<quint64> m_deleteRequests{0};
    Counters<2> m_mailsDelivered{};
    Counters<2> m_mailsFailed{};
    std::atomic<qint64> m_lastDelivery{0};
    Counters<2> m_salvages{};
    std::atomic<quint64> m_historyPoints{0};
    ClassSampler m_batteriesByClass;
    DueSampler m_batteriesDue;
    Sampler m_mailQueueDepth;
    std::function<bool()> m_historyWorking;
    Sampler m_silentBatteries;
    Sampler m_flaggedSites;
    Sampler m_flaggedAddresses;
    Sampler m_spooled;
    WebhookSampler m_webhookDeliveries;
    Sampler m_webhookOutboxDepth;
};

} // namespace NVL::Engineering::VK
