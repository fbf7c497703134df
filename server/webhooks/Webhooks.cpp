#include "Webhooks.h"

#include "FleetIndex.h"
#include "InsightResult.h"
#include "LocalDays.h"
#include "Log.h"

#include <QDateTime>
#include <QJsonObject>

#include <utility>

namespace NVL::Engineering::VK {

Webhooks::Webhooks(const WebhookSettings &settings, const QString &outboxFile, const FleetIndex &fleet, QObject *parent)
    : QObject(parent)
    , m_settings(settings)
    , m_fleet(fleet)
    , m_outbox(outboxFile)
{
    QStringList names;
    for (const WebhookEndpoint &endpoint : m_settings.endpoints) {
        names << endpoint.name;
        for (const QString &kind : endpoint.events)
            if (!m_wanted.contains(kind))
                m_wanted << kind;
        m_counts[endpoint.name] = {};
    }
    int dropped = 0;
    QString error;
    if (!m_outbox.open(names, error, &dropped)) {
        m_problem = QStringLiteral("the webhook outbox %1 cannot be opened: %2").arg(outboxFile, error);
        Log::error(m_problem + QStringLiteral("; no webhook is posted"));
        return;
    }
    if (dropped > 0)
        Log::warning(QStringLiteral("%1 webhook event(s) of receivers no longer in [webhooks] dropped").arg(dropped));
    m_told = m_outbox.told();
    for (const WebhookEndpoint &endpoint : m_settings.endpoints) {
        auto *courier = new WebhookCourier(endpoint, m_settings, m_outbox, m_network,
                                           [this](const QString &name, int outcome) { ++m_counts[name][std::size_t(outcome)]; },
                                           this);
        m_couriers << courier;
        courier->wake(); // what the last run left
    }
}

Webhooks::~Webhooks()
{
    // Before the network and the outbox they post from and write to, which go with the members.
    qDeleteAll(std::exchange(m_couriers, {}));
}

void Webhooks::post(Batch &batch, const WebhookOutbox::Event &event) const
{
    for (const WebhookEndpoint &endpoint : m_settings.endpoints)
        if (endpoint.wants(event.kind))
            batch.posts.append({endpoint.name, event});
}

bool Webhooks::enters(Batch &batch, const QString &endpoint, const QString &kind, const QString &subject, bool now)
{
    QSet<QString> &told = m_told[WebhookOutbox::toldKey(endpoint, kind)];
    if (now == told.contains(subject))
        return false;
    if (now)
        told.insert(subject);
    else
        told.remove(subject);
    batch.told.append({endpoint, kind, subject, now});
    return now;
}

void Webhooks::batteryStates(Batch &batch, const QByteArray &serial, qint64 now, qint64 today)
{
    const FleetIndex::Entry *entry = m_fleet.find(serial);
    const QString key = serialKeyText(serial);
    std::optional<ReplacementOutlook> outlook;
    if (entry)
        outlook = entry->outlook();
    for (const WebhookEndpoint &endpoint : m_settings.endpoints) {
        if (endpoint.wants(QStringLiteral("battery.due"))
            && enters(batch, endpoint.name, QStringLiteral("battery.due"), key,
                      outlook && outlook->dueBy(today + endpoint.dueDays)))
            batch.posts.append({endpoint.name,
                                WebhookDocument::battery(QStringLiteral("battery.due"), *entry, now,
                                                         {{QStringLiteral("dueDays"), endpoint.dueDays}})});
        if (endpoint.wants(QStringLiteral("battery.now"))
            && enters(batch, endpoint.name, QStringLiteral("battery.now"), key, outlook && outlook->isDue()))
            batch.posts.append({endpoint.name, WebhookDocument::battery(QStringLiteral("battery.now"), *entry, now)});
    }
}

void Webhooks::reportsStored(const QList<BatteryRecord> &reports, const QList<std::optional<BatteryRecord>> &replaced)
{
    if (!m_problem.isEmpty() || reports.isEmpty() || !any())
        return;
    Batch batch;
    const qint64 now = QDateTime::currentSecsSinceEpoch();
    if (wanted(QStringLiteral("battery.class"))) {
        for (qsizetype i = 0; i < reports.size(); ++i) {
            const std::optional<BatteryRecord> before = replaced.value(i);
            if (!before || healthClass(*before) == healthClass(reports[i]))
                continue;
            // The entry holds the group's newest report of the battery: this one's figures are told.
            const FleetIndex::Entry *entry = m_fleet.find(reports[i].serialKey());
            if (!entry)
                continue;
            FleetIndex::Entry told = *entry;
            told.record = reports[i];
            told.percent = quint8(healthPercentage(reports[i]));
            told.healthClass = quint8(healthClass(reports[i]));
            post(batch, WebhookDocument::battery(QStringLiteral("battery.class"), told, now,
                                                 {{QStringLiteral("previousClass"), healthName(*before)}}));
        }
    }
    if (wanted(QStringLiteral("battery.due")) || wanted(QStringLiteral("battery.now"))) {
        const qint64 today = LocalDays::today();
        QSet<QByteArray> seen;
        for (const BatteryRecord &report : reports) {
            const QByteArray serial = report.serialKey();
            if (!seen.contains(serial)) {
                seen.insert(serial);
                batteryStates(batch, serial, now, today);
            }
        }
    }
    write(batch);
}

void Webhooks::forecastsChanged(const QList<QByteArray> &serials)
{
    if (!m_problem.isEmpty() || !(wanted(QStringLiteral("battery.due")) || wanted(QStringLiteral("battery.now"))))
        return;
    Batch batch;
    const qint64 now = QDateTime::currentSecsSinceEpoch();
    const qint64 today = LocalDays::today();
    for (const QByteArray &serial : serials)
        batteryStates(batch, serial, now, today);
    write(batch);
}

void Webhooks::whole(Batch &batch, const QString &kind, const QHash<QString, std::function<WebhookOutbox::Event()>> &present)
{
    for (const WebhookEndpoint &endpoint : m_settings.endpoints) {
        if (!endpoint.wants(kind))
            continue;
        const QSet<QString> told = m_told.value(WebhookOutbox::toldKey(endpoint.name, kind));
        for (const QString &subject : told)
            if (!present.contains(subject))
                enters(batch, endpoint.name, kind, subject, false);
        for (auto it = present.cbegin(); it != present.cend(); ++it)
            if (enters(batch, endpoint.name, kind, it.key(), true))
                batch.posts.append({endpoint.name, it.value()()});
    }
}

void Webhooks::insightComputed(const InsightResult &result)
{
    if (!m_problem.isEmpty() || !(wanted(QStringLiteral("battery.silent")) || wanted(QStringLiteral("site.flagged"))))
        return;
    Batch batch;
    const qint64 now = QDateTime::currentSecsSinceEpoch();
    if (wanted(QStringLiteral("battery.silent"))) {
        QHash<QString, std::function<WebhookOutbox::Event()>> silent;
        for (const SilentBattery &s : result.silent) {
            silent.insert(serialKeyText(s.record.serialKey()), [this, &s, &result, now] {
                FleetIndex::Entry entry;
                if (const FleetIndex::Entry *e = m_fleet.find(s.record.serialKey()))
                    entry = *e;
                entry.record = s.record;
                QJsonObject extra{{QStringLiteral("silentDays"), int((result.asOf - qint64(s.record.reportTime)) / 86400)}};
                if (!s.lastSite.isEmpty())
                    extra.insert(QStringLiteral("site"), s.lastSite);
                return WebhookDocument::battery(QStringLiteral("battery.silent"), entry, now, extra);
            });
        }
        whole(batch, QStringLiteral("battery.silent"), silent);
    }
    if (wanted(QStringLiteral("site.flagged"))) {
        QHash<QString, std::function<WebhookOutbox::Event()>> flagged;
        for (const SiteWear &site : result.wear.sites)
            if (site.site.flagged)
                flagged.insert(site.site.name, [&site, now] { return WebhookDocument::site(site, now); });
        whole(batch, QStringLiteral("site.flagged"), flagged);
    }
    write(batch);
}

void Webhooks::mailFailed(const WebhookDocument::FailedMail &mail)
{
    if (!m_problem.isEmpty() || !wanted(QStringLiteral("mail.failed")))
        return;
    Batch batch;
    post(batch, WebhookDocument::mail(mail, QDateTime::currentSecsSinceEpoch()));
    write(batch);
}

void Webhooks::write(Batch &batch)
{
    if (batch.posts.isEmpty() && batch.told.isEmpty())
        return;
    QString error;
    if (!m_outbox.add(batch.posts, batch.told, error)) {
        // The states stay as told in memory: the same events are not raised again at every report.
        Log::error(QStringLiteral("%1 webhook event(s) lost: the outbox refused them: %2").arg(batch.posts.size()).arg(error));
        return;
    }
    for (WebhookCourier *courier : std::as_const(m_couriers))
        courier->wake();
}

QList<ServerMetrics::WebhookCount> Webhooks::deliveries() const
{
    QList<ServerMetrics::WebhookCount> counts;
    for (const auto &[endpoint, outcomes] : m_counts)
        for (int i = 0; i < WebhookCourier::OutcomeCount; ++i)
            counts.append({endpoint, QByteArray(WebhookCourier::outcomeName(i)), qint64(outcomes[std::size_t(i)])});
    return counts;
}

} // namespace NVL::Engineering::VK
