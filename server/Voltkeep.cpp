#include "Voltkeep.h"

#include "ApiServer.h"
#include "BatteryStore.h"
#include "ConnectionManager.h"
#include "FleetHome.h"
#include "FleetIndex.h"
#include "HistoryKeeper.h"
#include "InsightKeeper.h"
#include "InsightOutlook.h"
#include "ReportFanOut.h"
#include "MailLedger.h"
#include "LocalDays.h"
#include "MailQueue.h"
#include "MailSpool.h"
#include "MailTransport.h"
#include "MessageHeader.h"
#include "ReportsNotStored.h"
#include "NotificationDelivery.h"
#include "ReportComposer.h"
#include "NotificationPlanner.h"
#include "ListReply.h"
#include "ServerSettings.h"
#include "ServerMetrics.h"
#include "VoltkeepIdentity.h"
#include "Webhooks.h"

#include <QDateTime>
#include <QDir>
#include <QElapsedTimer>
#include <QHostAddress>
#include <QtEndian>

#include <algorithm>
#include <limits>
#include <utility>
#include <vector>

#ifdef Q_OS_UNIX
#include <sys/resource.h>
#endif

namespace NVL::Engineering::VK {

namespace {

const QString programName()
{
    return QString::fromLatin1(Identity::ServiceName);
}

// Every connection costs a descriptor: take all the system allows this process, not the default share.
void raiseDescriptorLimit()
{
#ifdef Q_OS_UNIX
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
        limit.rlim_cur = limit.rlim_max;
        setrlimit(RLIMIT_NOFILE, &limit);
    }
#endif
}

// The HTTP total within a quarter of what the process may open (the radios keep the rest).
void keepWithinDescriptors(HttpLimits &limits)
{
#ifdef Q_OS_UNIX
    rlimit descriptors{};
    if (getrlimit(RLIMIT_NOFILE, &descriptors) == 0 && descriptors.rlim_cur != RLIM_INFINITY)
        limits.connections = HttpLimits::connectionsWithin(limits.connections, quint64(descriptors.rlim_cur));
#else
    Q_UNUSED(limits);
#endif
}

static_assert(MailSettings().sessionSeconds * 1000 == SmtpSession::DefaultSessionLimitMs);

// The exit status of a start that failed, whatever the reason: the log and the status line say which.
constexpr int StartFailedExitCode = 1;

} // namespace

Voltkeep::Voltkeep(int argc, char **argv)
    : QObject(nullptr)
    , Service<QCoreApplication>(argc, argv, programName())
    , m_paths(DataPaths::current())
    , m_mailLedger(std::make_unique<MailLedger>())
{
    QCoreApplication::setOrganizationName(QString::fromLatin1(Identity::OrganisationName));
    QCoreApplication::setApplicationName(programName());
    if (!m_paths.serverFolder.isEmpty())
        QDir().mkpath(m_paths.serverFolder); // a failure shows when the database is opened
    m_fleet = std::make_unique<FleetIndex>();
    m_fanOut = std::make_unique<ReportFanOut>(*m_fleet);
    m_fanOut->setHealthFell([this](const BatteryRecord &report) {
        if (m_planner && m_delivery)
            m_delivery->healthAlert(report, m_planner->triggeredNotifications());
    });
    m_metrics = std::make_unique<ServerMetrics>();
    setServiceDescription(QString::fromLatin1(Identity::Description));
    m_commitTimer.setSingleShot(true);
    connect(&m_commitTimer, &QTimer::timeout, this, &Voltkeep::commitReports);
}

Voltkeep::~Voltkeep()
{
    // Without a stop (the event loop ended otherwise) the server still comes apart in order.
    tearDown();
}

MailQueue::Dropped Voltkeep::tearDown()
{
    m_connectionManager.reset();
    m_api.reset();
    if (m_fanOut)
        m_fanOut->setInsight(nullptr);
    m_insight.reset();
    // Another server may take the planner's lock over from here on.
    if (m_home)
        m_home->endDuties();
    if (store() && store()->isOpen())
        commitReports();
    if (m_fanOut)
        m_fanOut->setWebhooks(nullptr);
    m_webhooks.reset();
    if (m_home)
        m_home->endHistory(); // it may hand points to the history
    if (m_fanOut)
        m_fanOut->setHistory(nullptr);
    m_history.reset();
    if (store())
        store()->close();
    m_delivery.reset(); // it reads the planner's settings
    m_planner.reset();
    MailQueue::Dropped dropped;
    if (m_mailQueue) {
        dropped = m_mailQueue->stop();
        m_mailQueue.reset();
    }
    return dropped;
}

void Voltkeep::start()
{
    ServerSettings settings = ServerSettings::read(m_paths.settingsFile());
    if (!settings.store.error.isEmpty()) {
        logEvent(settings.store.error, LogType::Error);
        endFailedStart(settings.store.error);
        return;
    }
    m_fleet->setTypeNames(settings.types);
    m_home = FleetHome::make(settings, m_paths);
    connect(m_home.get(), &FleetHome::caughtUp, this, &Voltkeep::takeSharedRows);
    connect(m_home.get(), &FleetHome::plannerLockChecked, this, [this](bool held, bool changed) {
        if (changed)
            logEvent(held ? QStringLiteral("This server sends the fleet's planned mail: it holds the shared "
                                           "database's planner lock")
                          : QStringLiteral("This server no longer sends the fleet's planned mail: its hold on the "
                                           "shared database's planner lock ended"),
                     held ? LogType::Information : LogType::Warning);
        if (m_webhooks)
            m_webhooks->setTellsStates(sendsPlannedMail());
        sendClaimedMail();
    });
    QString error;
    if (!store()->open(error)) {
        logEvent(error, LogType::Error);
        endFailedStart(error);
        return;
    }

    // Nothing else begins unless the radio port is ours: a server nobody can reach has failed.
    raiseDescriptorLimit();
    keepWithinDescriptors(settings.http.limits);
    const quint32 port = settings.port;
    m_connectionManager =
        std::make_unique<ConnectionManager>(static_cast<RadioSink *>(this), port, settings.connections);
    if (!m_connectionManager->listenFailure().isEmpty()) {
        const QString failure = m_connectionManager->listenFailure();
        m_connectionManager.reset();
        endFailedStart(failure);
        return;
    }

    if (store()->salvages() > 0)
        m_metrics->countSalvage(ServerMetrics::StoreFile::Batteries);

    // Beside the store, for the same reason as its reports; a failure to open it leaves the radios served.
    // Without a receiver there is no outbox and no thread for it.
    if (!settings.webhooks.endpoints.isEmpty())
        m_webhooks = std::make_unique<Webhooks>(settings.webhooks, m_paths.serverFolder + QStringLiteral("/vk-webhooks.db"),
                                                *m_fleet);
    if (m_webhooks) {
        m_webhooks->setSites(InsightSettings::from(settings.insight).sites);
        m_webhooks->setTellsStates(sendsPlannedMail());
    }
    m_fanOut->setWebhooks(m_webhooks.get());
    m_metrics->setWebhookDeliveries([this] { return m_webhooks ? m_webhooks->deliveries() : QList<ServerMetrics::WebhookCount>(); });
    m_metrics->setWebhookOutboxDepth([this] { return m_webhooks ? m_webhooks->outboxDepth() : 0; });

    // The history file beside vk.db and the HTTP API; neither can make the start fail.
    m_history = settings.history.enabled ? std::make_unique<HistoryKeeper>(settings.history, m_paths.historyFile())
                                         : nullptr;
    m_fanOut->setHistory(m_history.get());
    m_home->historyOpened(m_history.get(), settings.history);
    startHttp(settings.http, settings.insight);

    // Mail goes out on a thread of its own: a slow mail server must not keep reports from being read.
    // Each attempt's outcome goes to the ledger (the log) and the metrics, on the worker; a mail to be
    // tried again has not failed yet.
    MailQueue::Limits mailLimits;
    mailLimits.retryFirstSeconds = settings.mail.retryFirstSeconds;
    mailLimits.retryForSeconds = settings.mail.retryForSeconds;
    mailLimits.spoolFile = m_paths.serverFolder + QStringLiteral("/vk-mail-spool.json");
    m_mailQueue = std::make_unique<MailQueue>(
        &MailTransport::send,
        [this, record = NotificationDelivery::recorder(m_mailLedger.get(), m_metrics.get())](
            const PreparedMail &mail, const SmtpSession::Outcome &outcome, const MailAttempt &attempt) {
            record(mail, outcome, attempt);
            if (outcome.succeeded() || attempt.retryInSeconds > 0)
                return;
            // From the mail worker to the event loop, where the webhooks live; Voltkeep outlives the queue.
            WebhookDocument::FailedMail failed{mail.notificationAlias,
                                               mail.kind == PreparedMail::Kind::Alert ? QStringLiteral("alert") : QStringLiteral("report"),
                                               outcome.failure.reason, int(mail.recipientCount())};
            QMetaObject::invokeMethod(this, [this, failed] {
                if (m_webhooks)
                    m_webhooks->mailFailed(failed);
            }, Qt::QueuedConnection);
        },
        mailLimits);
    m_delivery = std::make_unique<NotificationDelivery>(m_paths.configurationFile, m_mailQueue.get());
    m_delivery->setSessionLimitMs(settings.mail.sessionSeconds * 1000);
    m_planner = std::make_unique<NotificationPlanner>(m_paths.configurationFile);
    connect(m_planner.get(), &NotificationPlanner::timerExpired, this, &Voltkeep::notificationDue);
    // The settings read with the notifications, once per change of the file, not at every mail.
    m_delivery->setPlanner(m_planner.get());
    // A retry goes with the settings in force when it is made, not those it was queued with.
    connect(m_planner.get(), &NotificationPlanner::mailConfigurationChanged, this, [this] {
        const auto mail = m_planner->mailConfiguration();
        if (mail && mail->error.isEmpty())
            m_mailQueue->setSettings(mail->smtpSettings);
    });
    m_delivery->setComposeContext([this, publicUrl = settings.http.publicUrl] {
        ComposeContext context;
        context.forecastOf = [fleet = m_fleet.get()](const QByteArray &serial) -> std::optional<Forecast> {
            const FleetIndex::Entry *entry = fleet->find(serial);
            return entry ? std::optional<Forecast>(entry->forecast) : std::nullopt;
        };
        context.publicUrl = publicUrl;
        context.today = LocalDays::today();
        if (const auto insight = m_insight ? m_insight->result() : nullptr)
            context.outlook = insightOutlook(*insight);
        return context;
    });
    connect(m_insight.get(), &InsightKeeper::computed, this, &Voltkeep::tellSilences);
    connect(m_insight.get(), &InsightKeeper::computed, this, [this] {
        if (const auto result = m_insight ? m_insight->result() : nullptr; result && m_webhooks)
            m_webhooks->insightComputed(*result);
    });
    m_planner->watchConfigurationFile();
    sendSpooledMails(mailLimits.spoolFile);
    m_home->begin(*m_fleet, m_history != nullptr, settings.history);

    logEvent(QStringLiteral("%1 %2.%3.%4.%5\n")
                     .arg(programName())
                     .arg(Identity::VersionMajor)
                     .arg(Identity::VersionMinor)
                     .arg(Identity::VersionPatch)
                     .arg(Identity::VersionBuild)
                 + QStringLiteral("Accepting connections on port: %1 (TCP + UDP)").arg(port),
             LogType::Success);
}

void Voltkeep::startHttp(const HttpSettings &settings, const InsightSection &insight)
{
    // Streamed in: a fleet of 100,000 held twice while loading would double the server's peak memory.
    m_fleet->clear();
    const qint64 unsureSince = m_history ? m_history->catchUpSince() : std::numeric_limits<qint64>::max();
    QList<BatteryRecord> unsure; // the newest reports, whose points a crash may have cost
    std::vector<quint64> storedElsewhere; // by other servers of a shared store
    store()->forEachValidReportPlaced([&](const BatteryRecord &record, bool storedHere) {
        m_fleet->update(record);
        if (qint64(record.reportTime) >= unsureSince)
            unsure.append(record);
        if (!storedHere)
            storedElsewhere.push_back(FleetIndex::orderKey(record.serial));
    });
    if (m_history)
        m_history->catchUp(std::move(unsure));
    if (m_webhooks) {
        std::sort(storedElsewhere.begin(), storedElsewhere.end());
        m_webhooks->setClassesLeftToOthers(std::move(storedElsewhere));
        m_webhooks->recheck(LocalDays::today());
    }
    if (m_history)
        m_history->loadForecasts(qsizetype(m_fleet->size())); // after the banner, in batches
    if (m_history) {
        for (int i = 0; i < m_history->fileReplacements(); ++i)
            m_metrics->countSalvage(ServerMetrics::StoreFile::History);
        connect(m_history.get(), &HistoryKeeper::fileReplaced, this,
                [this] { m_metrics->countSalvage(ServerMetrics::StoreFile::History); });
        connect(m_history.get(), &HistoryKeeper::pointsWritten, this, [this](int points) { m_metrics->countHistoryPoints(points); });
        // After the fan-out's own connection: the fleet model has a forecast before the shared store's.
        connect(m_history.get(), &HistoryKeeper::forecastsFitted, m_home.get(), &FleetHome::forecastsFitted);
    }
    m_insight = std::make_unique<InsightKeeper>(*m_fleet, InsightSettings::from(insight));
    m_fanOut->setInsight(m_insight.get());
    if (m_history)
        m_insight->setReady([history = m_history.get()] { return history->forecastsSettled(); });
    m_insight->refresh();
    m_metrics->setSilentBatteries([this] {
        const auto result = m_insight ? m_insight->result() : nullptr;
        return result ? qint64(result->silent.size()) : -1;
    });
    m_metrics->setFlaggedSites([this] {
        const auto result = m_insight ? m_insight->result() : nullptr;
        return result ? qint64(result->wear.flaggedSites) : -1;
    });
    m_metrics->setFlaggedAddresses([this] {
        const auto result = m_insight ? m_insight->result() : nullptr;
        return result ? qint64(result->wear.flaggedAddresses) : -1;
    });
    m_metrics->setBatteriesByClass([this] { return m_fleet->classCounts(); });
    m_metrics->setBatteriesDue([this] { return m_fleet->dueWithin(ServerMetrics::DueSpans, LocalDays::today()); });
    m_metrics->setMailQueueDepth([this] { return m_mailQueue ? qint64(m_mailQueue->waiting()) : 0; });
    if (m_history)
        m_metrics->setHistoryWorking([this] { return m_history && m_history->isOpen() && m_history->failure().isEmpty(); });
    if (m_home->spooled())
        m_metrics->setSpooled([this] { return m_home->spooled().value_or(0); });
    ApiServer::Sources sources;
    sources.history = m_history.get();
    sources.fleet = m_fleet.get();
    sources.metrics = m_metrics.get();
    sources.mails = m_mailLedger.get();
    sources.insight = m_insight.get();
    sources.health = [this] { return healthProblems(); };
    m_api = std::make_unique<ApiServer>(settings, std::move(sources));
}

BatteryStore *Voltkeep::store() const
{
    return m_home ? &m_home->store() : nullptr;
}

QStringList Voltkeep::healthProblems() const
{
    QStringList problems;
    if (const QString problem = store() ? store()->problem() : QStringLiteral("the battery database is not open");
        !problem.isEmpty())
        problems << problem;
    if (!m_connectionManager || !m_connectionManager->isListening())
        problems << QStringLiteral("the radio port does not listen for TCP connections");
    if (!m_connectionManager || !m_connectionManager->isBound())
        problems << QStringLiteral("the radio port's UDP socket is not bound");
    if (const QString problem = m_notStored.problem(); !problem.isEmpty())
        problems << problem;
    if (m_history && !m_history->isOpen())
        problems << QStringLiteral("the battery history is not kept: ") + m_history->problem();
    else if (m_history && !m_history->failure().isEmpty())
        problems << QStringLiteral("the battery history cannot be written: ") + m_history->failure();
    return problems;
}

void Voltkeep::takeSharedRows(const PostgresBatteryStore::CaughtUp &caught)
{
    // Reports of the outage, stored now: their points and alerts as if stored when they came, measured
    // against the fleet as it stood before them. Other sites' reports become points too, as this server
    // sees them: every dashboard forecasts the whole fleet.
    m_fanOut->take({caught.drained.records + caught.elsewhere.records, caught.drained.senders + caught.elsewhere.senders,
                    caught.changed, caught.removed, caught.drained.records, m_fanOut->replacedBy(caught.drained.records)});
}

bool Voltkeep::sendsPlannedMail() const
{
    return m_home && m_home->sendsPlannedMail();
}

void Voltkeep::endFailedStart(const QString &reason)
{
    if (store())
        store()->close();
    logEvent(programName() + QStringLiteral(" could not start and ends (exit status %1)").arg(StartFailedExitCode),
             LogType::Error);
    failStart(reason, StartFailedExitCode);
}

void Voltkeep::stop()
{
    const MailQueue::Dropped dropped = tearDown();
    if (dropped.notBegun > 0)
        logEvent(QStringLiteral("%1 notification mail(s) not sent: the service stopped before their turn")
                     .arg(dropped.notBegun),
                 LogType::Warning);
    if (dropped.retries > 0)
        logEvent(QStringLiteral("%1 notification mail(s) waiting to be tried again not sent: the service stopped")
                     .arg(dropped.retries),
                 LogType::Warning);
    if (dropped.kept > 0)
        logEvent(QStringLiteral("%1 notification mail(s) cut short by the stop: they go again after the next start")
                     .arg(dropped.kept),
                 LogType::Warning);
    logEvent(programName() + QStringLiteral(" Stopped"), LogType::Success);
}

void Voltkeep::sendSpooledMails(const QString &spoolFile)
{
    QString error;
    QList<PreparedMail> mails = MailSpool::take(spoolFile, &error);
    if (!error.isEmpty())
        logEvent(QStringLiteral("Mails cut short by the last stop lost: ") + error, LogType::Error);
    if (mails.isEmpty())
        return;
    const auto mail = m_planner->mailConfiguration();
    for (PreparedMail &m : mails) {
        if (mail && mail->error.isEmpty())
            m.settings = mail->smtpSettings;
        m_mailQueue->enqueue(std::move(m));
    }
    logEvent(QStringLiteral("%1 notification mail(s) cut short by the last stop go again").arg(mails.size()),
             LogType::Information);
}

int Voltkeep::mailsWaiting() const
{
    return m_mailQueue ? m_mailQueue->waiting() : 0;
}

void Voltkeep::reportReceived(const BatteryRecord &report, quint32 senderIpv4, const QByteArray &sender,
                              RadioTransport transport)
{
    m_metrics->countReport(transport == RadioTransport::Tcp ? ServerMetrics::Transport::Tcp
                                                            : ServerMetrics::Transport::Udp);
    if (!store()->isOpen()) {
        m_metrics->countDroppedReport(ServerMetrics::DropReason::DatabaseClosed);
        logEvent(QStringLiteral("Battery data dropped"), LogType::Information);
        return;
    }
    BatteryRecord record = report;
    record.reportTime = quint32(QDateTime::currentSecsSinceEpoch());
    record.reportAddress = senderIpv4;
    m_pendingReports.append(record);
    m_pendingSenders.append(senderIpv4 ? QByteArray() : sender);
    if (!senderIpv4 && sender.size() == 16 && !m_ipv6PeerTold) {
        m_ipv6PeerTold = true;
        const QHostAddress address(reinterpret_cast<const quint8 *>(sender.constData()));
        logEvent(QStringLiteral("Reports from IPv6 peers (the first: %1) are stored with Report IP 0.0.0.0, since a "
                                "record holds an IPv4 address; their history points keep the full address")
                     .arg(address.toString()),
                 LogType::Information);
    }
    if (m_pendingReports.size() == 1) {
        // What other connections and datagrams bring meanwhile joins this commit: one sync for many.
        m_commitTimer.start(CommitPacing::WaitMs);
    } else if (m_pendingReports.size() >= CommitPacing::MaxReports) {
        commitReports();
    } else if (m_pendingReports.size() >= m_commitPacing.limit() && m_commitTimer.interval() != 0) {
        // Full: committed once this pass of the event loop is through, with what the pass brings besides. On
        // a disk whose sync alone outlasts the budget the group is then never smaller than one pass.
        m_commitTimer.start(0);
    }
}

void Voltkeep::malformedReport(RadioTransport)
{
    m_metrics->countDroppedReport(ServerMetrics::DropReason::Malformed);
}

void Voltkeep::commitReports()
{
    if (m_pendingReports.isEmpty())
        return;
    m_commitTimer.stop();
    QList<BatteryRecord> reports = std::exchange(m_pendingReports, {});
    QList<QByteArray> senders = std::exchange(m_pendingSenders, {});
    BatteryStore::SaveOutcome outcome;
    QList<ReportFanOut::Replaced> replaced = m_fanOut->replacedBy(reports);
    QElapsedTimer saving;
    saving.start();
    store()->saveReports(reports, senders, outcome);
    m_commitPacing.committed(reports.size(), saving.nsecsElapsed());
    if (outcome.notStored > 0 || outcome.queued > 0 || outcome.superseded > 0) {
        // Nothing shows a report the store does not hold: the index, the history and the mails take the
        // stored ones only. A report waiting in the outage spool, or older than another server's of the
        // same battery, comes into the index when the shared database gives it.
        if (outcome.notStored > 0) {
            m_metrics->countDroppedReport(outcome.diskFull ? ServerMetrics::DropReason::DiskFull
                                                           : ServerMetrics::DropReason::NotStored,
                                          outcome.notStored);
            m_notStored.failed(outcome.notStored, outcome.diskFull ? QStringLiteral("disk full") : outcome.failure);
        } else {
            m_notStored.stored();
        }
        QList<BatteryRecord> kept;
        QList<ReportFanOut::Replaced> keptReplaced;
        QList<QByteArray> keptSenders;
        for (qsizetype i = 0; i < reports.size(); ++i) {
            if (outcome.stored.value(i)) {
                kept.append(reports[i]);
                keptReplaced.append(replaced.value(i));
                keptSenders.append(senders.value(i));
            }
        }
        reports = std::move(kept);
        replaced = std::move(keptReplaced);
        senders = std::move(keptSenders);
    } else {
        m_notStored.stored();
    }
    m_fanOut->stored(reports, senders, replaced);
}

void Voltkeep::versionRequested(ConnectionId connection, quint8 peerVersion)
{
    if (peerVersion > 1)
        logEvent(QStringLiteral("Newer protocol version (%1) detected. Do you need to upgrade?").arg(peerVersion),
                 LogType::Information);
    if (m_connectionManager)
        m_connectionManager->sendVersion(connection);
}

void Voltkeep::listRequested(ConnectionId connection)
{
    // Answered once the reports before it are stored; the mail they raised goes its own way.
    m_metrics->countListRequest();
    commitReports();
    // Given in parts as the peer takes them: a million batteries are 64 MB, and encoding them at once
    // would hold every radio that long.
    if (m_connectionManager)
        m_connectionManager->sendStream(connection, std::make_unique<ListReply>(*m_fleet));
}

void Voltkeep::deleteRequested(ConnectionId)
{
    m_metrics->countDeleteRequest();
    // The reports received before the request are stored before any of its serials is deleted.
    commitReports();
}

void Voltkeep::deleteSerialReceived(const QByteArray &serial)
{
    store()->deleteReport(serial);
    m_fanOut->removed(serial);
}

void Voltkeep::tellSilences()
{
    const auto result = m_insight ? m_insight->result() : nullptr;
    if (!result || !m_planner || !m_delivery || !sendsPlannedMail())
        return;
    const QList<NotificationData> triggered = m_planner->triggeredNotifications();
    // Without a notification of the kind nothing is told, and nothing counts as told.
    if (std::none_of(triggered.cbegin(), triggered.cend(), [](const NotificationData &n) { return n.triggerType == SilentTrigger; }))
        return;
    QList<ReportComposer::Silence> silences;
    for (const SilentBattery &s : m_home->untoldSilences(result->silent))
        silences.append({s.record, int((result->asOf - qint64(s.record.reportTime)) / 86400), s.lastSite});
    m_delivery->silentAlert(silences, triggered);
}

void Voltkeep::notificationDue(const QString &uuid, const QString &identity, const QDateTime &due)
{
    commitReports();
    if (!m_planner || !m_delivery)
        return;
    const auto notification = m_planner->scheduledNotification(uuid);
    if (!notification)
        return;
    if (!m_home->planned(*notification, identity, due))
        m_delivery->periodicReport(*notification, store()->validReports());
}

void Voltkeep::sendClaimedMail()
{
    const QList<NotificationData> claimed = m_home ? m_home->claimed() : QList<NotificationData>();
    if (claimed.isEmpty() || !m_delivery)
        return;
    // The fleet as this server holds it: during an outage the shared database gives nothing, and a
    // report of an empty fleet would be false.
    QList<BatteryRecord> fleet;
    FleetIndex::Cursor cursor;
    while (const FleetIndex::Entry *entry = m_fleet->next(cursor))
        fleet.append(entry->record);
    for (const NotificationData &notification : claimed)
        m_delivery->periodicReport(notification, fleet);
}

} // namespace NVL::Engineering::VK
