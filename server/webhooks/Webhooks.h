#pragma once

#include "BatteryRecord.h"
#include "ServerMetrics.h"
#include "SiteMap.h"
#include "WebhookBacklog.h"
#include "WebhookCourier.h"
#include "WebhookDocument.h"
#include "WebhookLull.h"
#include "WebhookOutbox.h"
#include "WebhookSettings.h"
#include "WebhookWriter.h"

#include <QElapsedTimer>
#include <QHash>
#include <QList>
#include <QObject>
#include <QSet>
#include <QTimer>

#include <array>
#include <deque>
#include <map>
#include <memory>
#include <optional>
#include <vector>

namespace NVL::Engineering::VK {

class FleetIndex;
struct InsightResult;

// What the fleet raises for the receivers of [webhooks]: told of stored reports, refitted forecasts,
// insight's analyses and failed mails, it finds the events each receiver wants, writes them to the
// outbox and wakes the receivers' couriers. A lasting state (due, due now, silent, a flagged site) is
// told once when a battery or site enters it, and again only after it left it. While radios report, this
// costs their loop a comparison and a copy per report; the events are found in a lull (WebhookLull), and
// the documents are made and written on the outbox's thread.
// Threads: the event loop's alone, like the fleet model it reads, beside the outbox's own.
class Webhooks : public QObject
{
public:
    Webhooks(const WebhookSettings &settings, const QString &outboxFile, const FleetIndex &fleet,
             QObject *parent = nullptr);
    ~Webhooks() override;

    // Why no event is kept (the outbox could not be opened); empty while they are.
    QString problem() const { return m_problem; }
    bool any() const { return !m_settings.endpoints.isEmpty(); }

    // Whether this server tells the lasting states (due, due now, silent, a flagged site). Servers that
    // share one store see the whole fleet, and only the one that sends the fleet's planned mail tells
    // them, so that a receiver hears of a state once; each still tells what its own reports and mail
    // raised. Told again from the fleet as it stands when this server takes the duty over.
    void setTellsStates(bool tells);
    // The first recheck also tells the class changes the outbox missed (a crash between the store's commit
    // and the outbox's), of every battery but these (keys in ascending order): in a shared store, those whose
    // newest report another server stored, which tells the changes it raised.
    void setClassesLeftToOthers(std::vector<quint64> keys) { m_leftToOthers = std::move(keys); }
    // The named address ranges a battery's site is told by.
    void setSites(SiteMap sites) { m_sites = std::move(sites); }
    // Reports just stored and now in the fleet model, each beside the record it replaced.
    void reportsStored(const QList<BatteryRecord> &reports, const QList<std::optional<BatteryRecord>> &replaced);
    // Batteries whose forecast changed, by serial.
    void forecastsChanged(const QList<QByteArray> &serials);
    void insightComputed(const InsightResult &result);
    // Every battery's lasting states again, for `today`: at each local midnight, since a forecast day comes
    // within a receiver's days without a report, and once the fleet is loaded at start, since a crash may
    // have kept a state out of the outbox. A slice of the fleet per loop turn: the radios wait no longer
    // than for a report.
    void recheck(qint64 today);
    void mailFailed(const WebhookDocument::FailedMail &mail);

    qint64 outboxDepth() const { return m_writer->depth(); }

    // Events handed to the outbox's thread and not yet written past which changes are held (WebhookBacklog).
    void setBacklogBound(qint64 events) { m_backlog.setBound(events); }
    QList<ServerMetrics::WebhookCount> deliveries() const;

private:
    // What each receiver was told of the lasting states, by battery key (FleetIndex::orderKey) or site.
    struct Told
    {
        QSet<quint64> due;
        QSet<quint64> now;
        QSet<quint64> silent;
        QSet<QString> sites;
    };
    struct Batch
    {
        QList<WebhookWriter::Pending> pending;
        QList<WebhookOutbox::Told> told;
        QList<WebhookOutbox::ClassOf> classes;
    };
    // One event to every receiver that wants its kind.
    void post(Batch &batch, const QString &kind, WebhookWriter::Maker make) const;
    // Whether `subject` enters the state (`now`) for a receiver; a change is kept for the outbox.
    template<typename Subject>
    static bool enters(Batch &batch, QSet<Subject> &told, const QString &endpoint, const QString &kind,
                       const Subject &subject, bool now);
    // `entry` is the fleet model's of `key`, or none when the battery is gone.
    void batteryStates(Batch &batch, quint64 key, const FleetIndex::Entry *entry, qint64 now, qint64 today);
    void write(Batch &batch);
    // The reports that waited for a lull: a slice per loop turn once it came, or all of them before
    // anything else is told, so that events keep the order of what raised them.
    void tellSeen();
    void seenSlice();
    void tellAllSeen();
    void tell(const std::vector<WebhookLull::Seen> &seen);
    void handedBack(int events);
    void catchUp();
    void heldSlice();
    void sweepSlice();
    void classSlice();
    void untoldClasses(const QList<WebhookOutbox::UntoldClass> &untold);
    void classLookDone();
    // The classes of `now` against the ones last told, answered by untoldClasses in the order asked.
    void askUntold(QList<WebhookOutbox::ClassOf> now, bool ofStart);
    bool startLookAsked() const; // a slice of the start's look not yet answered
    // A battery.class event of the battery as `entry` holds it.
    void postClass(Batch &batch, const FleetIndex::Entry &entry, const QString &previousClass, qint64 now) const;
    void armDayTimer();
    bool wanted(const QString &kind) const { return m_wanted.contains(kind); }

    // `extra` with the site of the battery's newest address; unchanged where no address is known.
    QJsonObject placed(const FleetIndex::Entry &entry, QJsonObject extra = {}) const;

    WebhookSettings m_settings;
    const FleetIndex &m_fleet;
    SiteMap m_sites;
    std::unique_ptr<WebhookWriter> m_writer;
    QString m_problem;
    std::vector<Told> m_told; // beside m_settings.endpoints
    struct Wants
    {
        bool due = false;
        bool now = false;
    };
    std::vector<Wants> m_wants; // beside m_settings.endpoints: read at every report, so no list is searched
    QStringList m_wanted;     // every kind some receiver wants
    bool m_wantsStates = false; // battery.due or battery.now
    bool m_wantsClass = false;
    bool m_tellsStates = true;
    QList<WebhookCourier *> m_couriers;
    QTimer m_dayTimer;
    qint64 m_sweptDay = 0;       // the local day the fleet was last looked at for
    std::size_t m_sweepNext = 0; // the fleet entry it goes on from
    bool m_sweeping = false;
    std::vector<quint64> m_leftToOthers;
    bool m_classesLookedAt = false;
    std::size_t m_classNext = 0; // the fleet entry the look at the classes goes on from
    std::size_t m_classesLooked = 0;
    bool m_classSlicing = false;
    std::deque<bool> m_untoldAsked; // whether each look not yet answered is the start's, in the order asked
    QElapsedTimer m_classLook;
    WebhookBacklog m_backlog;
    WebhookLull m_lull{[this](bool full) { full ? tellAllSeen() : tellSeen(); }};
    bool m_tellingSeen = false;
    // Held back, still to be looked at once caught up.
    std::vector<quint64> m_classesToLook;
    std::vector<quint64> m_statesToTell;
    bool m_tellingHeld = false;
    std::map<QString, std::array<quint64, WebhookCourier::OutcomeCount>> m_counts;
};

} // namespace NVL::Engineering::VK
