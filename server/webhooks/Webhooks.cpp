#include "Webhooks.h"

#include "FleetIndex.h"
#include "InsightResult.h"
#include "LocalDays.h"
#include "Log.h"
#include "SilentBattery.h"

#include <QDateTime>
#include <QJsonObject>
#include <QThread>

#include <algorithm>
#include <utility>

namespace NVL::Engineering::VK {

namespace {

const QString Due = QStringLiteral("battery.due");
const QString Now = QStringLiteral("battery.now");
const QString Class = QStringLiteral("battery.class");
const QString Silent = QStringLiteral("battery.silent");
const QString Site = QStringLiteral("site.flagged");
const QString Mail = QStringLiteral("mail.failed");

// Batteries looked at per loop turn, by every pass over many of them (the reports that waited for a lull,
// the daily sweep, the start's class look, what a backlog held): the radios wait no longer than for a report.
constexpr std::size_t Slice = 4096;

// The outbox keeps a battery by its key's 16 hex digits, as the documents name it.
QString keyText(quint64 key)
{
    return QStringLiteral("%1").arg(key, 16, 16, QLatin1Char('0')).toUpper();
}

quint64 keyOf(const QByteArray &serial)
{
    return FleetIndex::orderKey(reinterpret_cast<const quint8 *>(serial.constData()));
}

QSet<quint64> keys(const QSet<QString> &texts)
{
    QSet<quint64> set;
    set.reserve(texts.size());
    for (const QString &text : texts)
        set.insert(text.toULongLong(nullptr, 16));
    return set;
}

} // namespace

QJsonObject Webhooks::placed(const FleetIndex::Entry &entry, QJsonObject extra) const
{
    const QByteArray address = SilentBattery::lastAddressOf(entry);
    if (!address.isEmpty())
        extra.insert(QStringLiteral("site"), m_sites.siteOf(address));
    return extra;
}

Webhooks::Webhooks(const WebhookSettings &settings, const QString &outboxFile, const FleetIndex &fleet, QObject *parent)
    : QObject(parent)
    , m_settings(settings)
    , m_fleet(fleet)
    , m_writer(std::make_unique<WebhookWriter>(outboxFile))
{
    QStringList names;
    for (const WebhookEndpoint &endpoint : m_settings.endpoints) {
        names << endpoint.name;
        for (const QString &kind : endpoint.events)
            if (!m_wanted.contains(kind))
                m_wanted << kind;
        m_counts[endpoint.name] = {};
    }
    m_wantsStates = wanted(Due) || wanted(Now);
    m_wantsClass = wanted(Class);
    const WebhookWriter::Opened opened = m_writer->open(names, m_wantsClass);
    if (!opened.error.isEmpty()) {
        m_problem = QStringLiteral("the webhook outbox %1 cannot be opened: %2").arg(outboxFile, opened.error);
        Log::error(m_problem + QStringLiteral("; no webhook is posted"));
        return;
    }
    if (opened.dropped > 0)
        Log::warning(QStringLiteral("%1 webhook event(s) of receivers no longer in [webhooks] dropped").arg(opened.dropped));
    for (const WebhookEndpoint &endpoint : m_settings.endpoints) {
        const auto told = [&](const QString &kind) { return opened.told.value(WebhookOutbox::toldKey(endpoint.name, kind)); };
        m_told.push_back({keys(told(Due)), keys(told(Now)), keys(told(Silent)), told(Site)});
        m_wants.push_back({endpoint.wants(Due), endpoint.wants(Now)});
    }
    connect(m_writer.get(), &WebhookWriter::untoldClasses, this, &Webhooks::untoldClasses);
    connect(m_writer.get(), &WebhookWriter::failed, this, [this](int events, const QString &error) {
        Log::error(QStringLiteral("%1 webhook event(s) lost: the outbox refused them: %2").arg(events).arg(error));
        handedBack(events);
    });
    connect(m_writer.get(), &WebhookWriter::written, this, &Webhooks::handedBack);
    for (const WebhookEndpoint &endpoint : m_settings.endpoints) {
        auto *courier = new WebhookCourier(endpoint, m_settings, *m_writer,
                                           [this](const QString &name, int outcome) { ++m_counts[name][std::size_t(outcome)]; },
                                           this);
        m_couriers << courier;
        connect(m_writer.get(), &WebhookWriter::heads, courier,
                [courier, name = endpoint.name](const QString &endpointName, const QList<WebhookOutbox::Entry> &heads) {
                    if (endpointName == name)
                        courier->headsFound(heads);
                });
        connect(m_writer.get(), &WebhookWriter::written, courier, &WebhookCourier::wake);
        courier->wake(); // what the last run left
    }
    if (m_wantsStates) {
        m_sweptDay = LocalDays::today();
        m_dayTimer.setSingleShot(true);
        connect(&m_dayTimer, &QTimer::timeout, this, [this] {
            if (LocalDays::today() != m_sweptDay)
                recheck(LocalDays::today());
            armDayTimer();
        });
        armDayTimer();
    }
}

void Webhooks::armDayTimer()
{
    // A second past the next local midnight, and at least hourly: the clock may be set, or the zone's
    // offset change, while the timer waits.
    const QDateTime now = QDateTime::currentDateTime();
    const QDateTime next(now.date().addDays(1), QTime(0, 0, 1));
    m_dayTimer.start(int(std::clamp<qint64>(now.msecsTo(next), 1000, 3600 * 1000)));
}

Webhooks::~Webhooks()
{
    // The couriers strike what they delivered before the outbox closes, and it writes every event handed
    // over, the ones still waiting for a lull included.
    tellAllSeen();
    qDeleteAll(std::exchange(m_couriers, {}));
    m_writer->close();
}

void Webhooks::post(Batch &batch, const QString &kind, WebhookWriter::Maker make) const
{
    QStringList endpoints;
    for (const WebhookEndpoint &endpoint : m_settings.endpoints)
        if (endpoint.wants(kind))
            endpoints << endpoint.name;
    if (!endpoints.isEmpty())
        batch.pending.append({endpoints, std::move(make)});
}

template<typename Subject>
bool Webhooks::enters(Batch &batch, QSet<Subject> &told, const QString &endpoint, const QString &kind,
                      const Subject &subject, bool now)
{
    if (now == told.contains(subject))
        return false;
    if (now)
        told.insert(subject);
    else
        told.remove(subject);
    if constexpr (std::is_same_v<Subject, quint64>)
        batch.told.append({endpoint, kind, keyText(subject), now});
    else
        batch.told.append({endpoint, kind, subject, now});
    return now;
}

void Webhooks::batteryStates(Batch &batch, quint64 key, const FleetIndex::Entry *entry, qint64 now, qint64 today)
{
    // ReplacementOutlook's rule from the packed figures, without decoding the forecast at every report. A
    // battery gone from the fleet is due by no day, and not due now.
    const bool dueNow = entry
        && (entry->healthClass == Poor || (entry->forecast.has_value() && entry->forecast.status() == Forecast::Status::Now));
    const std::optional<qint64> day = entry && entry->forecast.has_value() && entry->forecast.status() == Forecast::Status::Date
        ? entry->forecast.day()
        : std::nullopt;
    for (std::size_t i = 0; i < m_told.size(); ++i) {
        const WebhookEndpoint &endpoint = m_settings.endpoints[qsizetype(i)];
        Told &told = m_told[i];
        if (m_wants[i].due && enters(batch, told.due, endpoint.name, Due, key, dueNow || (day && *day <= today + endpoint.dueDays)))
            batch.pending.append({{endpoint.name}, [e = *entry, now, extra = placed(*entry, {{QStringLiteral("dueDays"), endpoint.dueDays}})] {
                                      return WebhookDocument::battery(Due, e, now, extra);
                                  }});
        if (m_wants[i].now && enters(batch, told.now, endpoint.name, Now, key, dueNow))
            batch.pending.append({{endpoint.name}, [e = *entry, now, extra = placed(*entry)] {
                                      return WebhookDocument::battery(Now, e, now, extra);
                                  }});
    }
}

void Webhooks::reportsStored(const QList<BatteryRecord> &reports, const QList<std::optional<BatteryRecord>> &replaced)
{
    Q_ASSERT(QThread::currentThread() == thread()); // the fleet model it reads is the event loop's
    Q_ASSERT(replaced.size() == reports.size());
    if (!m_problem.isEmpty() || reports.isEmpty() || !any())
        return;
    const bool states = m_wantsStates && m_tellsStates;
    for (qsizetype i = 0; i < reports.size(); ++i) {
        const std::optional<BatteryRecord> &before = replaced[i];
        const BatteryHealth health = healthClass(reports[i]);
        const bool sameClass = before && healthClass(*before) == health;
        // A report moves a battery into or out of a lasting state only where it is new, leaves the fleet (a
        // report the fleet model does not keep) or changes the class: the forecast's part comes through
        // forecastsChanged. Nearly every report of a day does none of it and tells nothing.
        const bool classChanged = m_wantsClass && !sameClass;
        const bool statesMoved = states && !(sameClass && isValidRecord(reports[i]));
        if (classChanged || statesMoved)
            m_lull.add({reports[i], before ? qint8(healthClass(*before)) : qint8(-1), classChanged, statesMoved});
    }
    m_lull.added();
}

void Webhooks::tellSeen()
{
    if (!std::exchange(m_tellingSeen, true))
        seenSlice();
}

void Webhooks::seenSlice()
{
    tell(m_lull.take(Slice));
    m_tellingSeen = !m_lull.empty();
    if (m_tellingSeen)
        QTimer::singleShot(0, this, &Webhooks::seenSlice);
}

void Webhooks::tellAllSeen()
{
    while (!m_lull.empty())
        tell(m_lull.take(Slice));
}

void Webhooks::tell(const std::vector<WebhookLull::Seen> &seen)
{
    if (seen.empty())
        return;
    Batch batch;
    const qint64 now = QDateTime::currentSecsSinceEpoch();
    const qint64 today = LocalDays::today();
    qint64 coming = 0; // events of this batch, counted against the bound as if handed over
    qsizetype counted = 0;
    for (const WebhookLull::Seen &s : seen) {
        for (; counted < batch.pending.size(); ++counted)
            coming += batch.pending[counted].endpoints.size();
        const quint64 key = FleetIndex::orderKey(s.report.serial);
        if (m_backlog.behind(coming)) {
            // Told as it stands once the outbox caught up: the class against the one last told, the states
            // as they then are.
            if (s.classChanged)
                m_backlog.holdClass(key);
            if (s.statesMoved)
                m_backlog.holdStates(key);
            continue;
        }
        // The battery as this report left it: a later report of the lull is told in its own turn. Gone from
        // the fleet where the fleet model did not keep the report, or where it was deleted since.
        const FleetIndex::Entry *entry = m_fleet.find(key);
        std::optional<FleetIndex::Entry> then;
        if (entry && isValidRecord(s.report)) {
            then = *entry;
            then->record = s.report;
            then->percent = quint8(healthPercentage(s.report));
            then->healthClass = quint8(healthClass(s.report));
        }
        if (s.classChanged) {
            // A battery's first class is kept, not told: a start then finds a change a crash kept out.
            batch.classes.append({key, quint8(healthClass(s.report))});
            if (s.previousClass >= 0 && then)
                postClass(batch, *then, healthName(BatteryHealth(s.previousClass)), now);
        }
        if (s.statesMoved)
            batteryStates(batch, key, then ? &*then : nullptr, now, today);
    }
    write(batch);
}

void Webhooks::postClass(Batch &batch, const FleetIndex::Entry &entry, const QString &previousClass, qint64 now) const
{
    post(batch, Class, [entry, now, extra = placed(entry, {{QStringLiteral("previousClass"), previousClass}})] {
        return WebhookDocument::battery(Class, entry, now, extra);
    });
}

void Webhooks::forecastsChanged(const QList<QByteArray> &serials)
{
    Q_ASSERT(QThread::currentThread() == thread()); // the fleet model it reads is the event loop's
    if (!m_problem.isEmpty() || !m_wantsStates || !m_tellsStates || serials.isEmpty())
        return;
    tellAllSeen();
    if (m_backlog.behind()) {
        for (const QByteArray &serial : serials)
            m_backlog.holdStates(keyOf(serial));
        return;
    }
    Batch batch;
    const qint64 now = QDateTime::currentSecsSinceEpoch();
    const qint64 today = LocalDays::today();
    for (const QByteArray &serial : serials) {
        const quint64 key = keyOf(serial);
        batteryStates(batch, key, m_fleet.find(key), now, today);
    }
    write(batch);
}

void Webhooks::setTellsStates(bool tells)
{
    tellAllSeen();
    if (std::exchange(m_tellsStates, tells) == tells || !tells)
        return;
    recheck(LocalDays::today());
}

void Webhooks::recheck(qint64 today)
{
    Q_ASSERT(QThread::currentThread() == thread()); // the fleet model it reads is the event loop's
    tellAllSeen();
    m_sweptDay = today;
    if (m_problem.isEmpty() && m_wantsClass && !std::exchange(m_classesLookedAt, true)) {
        m_classLook.start();
        classSlice();
    }
    if (!m_problem.isEmpty() || !m_wantsStates || !m_tellsStates)
        return;
    // A sweep still under way starts over for the new day.
    m_sweepNext = 0;
    if (!std::exchange(m_sweeping, true))
        sweepSlice();
}

void Webhooks::sweepSlice()
{
    if (!m_tellsStates) {
        m_sweeping = false;
        return;
    }
    const std::deque<FleetIndex::Entry> &entries = m_fleet.entries();
    Batch batch;
    const qint64 now = QDateTime::currentSecsSinceEpoch();
    // The fleet may change between slices: an entry seen twice is told once, one missed is seen at its
    // next report or the next day.
    const std::size_t end = std::min(entries.size(), m_sweepNext + Slice);
    for (; m_sweepNext < end; ++m_sweepNext) {
        const FleetIndex::Entry &entry = entries[m_sweepNext];
        // Until its forecast is loaded or fitted, a battery's day is unknown, not gone: it neither enters
        // nor leaves a state on that account (at a start, leaving would tell every due battery again once
        // its forecast came).
        if (entry.forecast.has_value() || entry.healthClass == Poor)
            batteryStates(batch, FleetIndex::orderKey(entry.record.serial), &entry, now, m_sweptDay);
    }
    write(batch);
    m_sweeping = m_sweepNext < entries.size();
    if (m_sweeping)
        QTimer::singleShot(0, this, &Webhooks::sweepSlice);
}

void Webhooks::classSlice()
{
    // Each battery's class against the one last told, a slice per loop turn, looked up on the outbox's
    // thread: the changes whose events a crash kept out of the outbox come back as untoldClasses.
    const std::deque<FleetIndex::Entry> &entries = m_fleet.entries();
    QList<WebhookOutbox::ClassOf> now;
    now.reserve(qsizetype(Slice));
    const std::size_t end = std::min(entries.size(), m_classNext + Slice);
    for (; m_classNext < end; ++m_classNext) {
        const FleetIndex::Entry &entry = entries[m_classNext];
        const quint64 key = FleetIndex::orderKey(entry.record.serial);
        if (std::binary_search(m_leftToOthers.begin(), m_leftToOthers.end(), key))
            continue;
        now.append({key, entry.healthClass});
        ++m_classesLooked;
    }
    askUntold(std::move(now), true);
    m_classSlicing = m_classNext < entries.size();
    if (m_classSlicing)
        QTimer::singleShot(0, this, &Webhooks::classSlice);
    else
        m_leftToOthers = {}; // the look happens once
    if (!m_classSlicing && !startLookAsked())
        classLookDone();
}

void Webhooks::askUntold(QList<WebhookOutbox::ClassOf> now, bool ofStart)
{
    if (now.isEmpty())
        return;
    m_untoldAsked.push_back(ofStart);
    m_writer->findUntold(std::move(now));
}

bool Webhooks::startLookAsked() const
{
    return std::find(m_untoldAsked.begin(), m_untoldAsked.end(), true) != m_untoldAsked.end();
}

void Webhooks::classLookDone()
{
    // A start's work an administrator may wait on with a large fleet: said when it ends.
    Log::information(QStringLiteral("the classes of %1 batteries compared with the webhook outbox in %2 s")
                         .arg(m_classesLooked)
                         .arg(QString::number(double(m_classLook.elapsed()) / 1000.0, 'f', 1)));
    m_classLook.invalidate();
}

void Webhooks::untoldClasses(const QList<WebhookOutbox::UntoldClass> &untold)
{
    const bool ofStart = !m_untoldAsked.empty() && m_untoldAsked.front();
    if (!m_untoldAsked.empty())
        m_untoldAsked.pop_front();
    const bool lookDone = ofStart && !m_classSlicing && !startLookAsked();
    Batch batch;
    const qint64 now = QDateTime::currentSecsSinceEpoch();
    for (const WebhookOutbox::UntoldClass &battery : untold) {
        // A report since the look at it told its own change.
        const FleetIndex::Entry *entry = m_fleet.find(battery.battery);
        if (!entry || entry->healthClass != battery.now)
            continue;
        postClass(batch, *entry, healthName(BatteryHealth(battery.told)), now);
        batch.classes.append({battery.battery, battery.now});
    }
    if (!batch.pending.isEmpty())
        Log::information(QStringLiteral("%1 battery.class event(s) the webhook outbox had missed told as the classes now stand")
                             .arg(batch.pending.size()));
    write(batch);
    if (lookDone)
        classLookDone();
}

void Webhooks::insightComputed(const InsightResult &result)
{
    if (!m_problem.isEmpty() || !m_tellsStates || !(wanted(Silent) || wanted(Site)))
        return;
    tellAllSeen();
    Batch batch;
    const qint64 now = QDateTime::currentSecsSinceEpoch();
    QHash<quint64, const SilentBattery *> silent;
    for (const SilentBattery &s : result.silent)
        silent.insert(FleetIndex::orderKey(s.record.serial), &s);
    QHash<QString, const SiteWear *> flagged;
    for (const SiteWear &site : result.wear.sites)
        if (site.site.flagged)
            flagged.insert(site.site.name, &site);
    for (std::size_t i = 0; i < m_told.size(); ++i) {
        const WebhookEndpoint &endpoint = m_settings.endpoints[qsizetype(i)];
        Told &told = m_told[i];
        if (endpoint.wants(Silent)) {
            for (const quint64 key : QSet<quint64>(told.silent))
                if (!silent.contains(key))
                    enters(batch, told.silent, endpoint.name, Silent, key, false);
            for (auto it = silent.cbegin(); it != silent.cend(); ++it) {
                if (!enters(batch, told.silent, endpoint.name, Silent, it.key(), true))
                    continue;
                const SilentBattery &s = *it.value();
                FleetIndex::Entry entry;
                if (const FleetIndex::Entry *e = m_fleet.find(it.key()))
                    entry = *e;
                entry.record = s.record;
                QJsonObject extra{{QStringLiteral("silentDays"), int((result.asOf - qint64(s.record.reportTime)) / 86400)}};
                if (!s.lastSite.isEmpty())
                    extra.insert(QStringLiteral("site"), s.lastSite);
                batch.pending.append({{endpoint.name}, [entry, now, extra] {
                                          return WebhookDocument::battery(Silent, entry, now, extra);
                                      }});
            }
        }
        if (endpoint.wants(Site)) {
            for (const QString &name : QSet<QString>(told.sites))
                if (!flagged.contains(name))
                    enters(batch, told.sites, endpoint.name, Site, name, false);
            for (auto it = flagged.cbegin(); it != flagged.cend(); ++it)
                if (enters(batch, told.sites, endpoint.name, Site, it.key(), true))
                    batch.pending.append({{endpoint.name}, [site = *it.value(), now] { return WebhookDocument::site(site, now); }});
        }
    }
    write(batch);
}

void Webhooks::mailFailed(const WebhookDocument::FailedMail &mail)
{
    if (!m_problem.isEmpty() || !wanted(Mail))
        return;
    tellAllSeen();
    Batch batch;
    post(batch, Mail, [mail, now = QDateTime::currentSecsSinceEpoch()] { return WebhookDocument::mail(mail, now); });
    write(batch);
}

void Webhooks::write(Batch &batch)
{
    if (batch.pending.isEmpty() && batch.told.isEmpty() && batch.classes.isEmpty())
        return;
    for (const WebhookWriter::Pending &p : std::as_const(batch.pending))
        m_backlog.handedOver(p.endpoints.size());
    m_writer->add(std::move(batch.pending), std::move(batch.told), std::move(batch.classes));
}

void Webhooks::handedBack(int events)
{
    if (m_backlog.handedBack(events))
        catchUp();
}

void Webhooks::catchUp()
{
    const QSet<quint64> classes = m_backlog.takeClasses();
    m_classesToLook.insert(m_classesToLook.end(), classes.cbegin(), classes.cend());
    // A server without the duty has nothing to tell; the one that takes it over looks at the whole fleet.
    const QSet<quint64> states = m_backlog.takeStates();
    if (m_tellsStates)
        m_statesToTell.insert(m_statesToTell.end(), states.cbegin(), states.cend());
    if (!std::exchange(m_tellingHeld, true))
        heldSlice();
}

void Webhooks::heldSlice()
{
    // A burst over a large fleet may have held back every battery.
    QList<WebhookOutbox::ClassOf> classes;
    for (std::size_t i = 0; i < Slice && !m_classesToLook.empty(); ++i) {
        const quint64 key = m_classesToLook.back();
        m_classesToLook.pop_back();
        if (const FleetIndex::Entry *entry = m_fleet.find(key))
            classes.append({key, entry->healthClass});
    }
    askUntold(std::move(classes), false);
    if (!m_tellsStates)
        m_statesToTell.clear();
    Batch batch;
    const qint64 now = QDateTime::currentSecsSinceEpoch();
    const qint64 today = LocalDays::today();
    for (std::size_t i = 0; i < Slice && !m_statesToTell.empty(); ++i) {
        const quint64 key = m_statesToTell.back();
        m_statesToTell.pop_back();
        batteryStates(batch, key, m_fleet.find(key), now, today);
    }
    write(batch);
    m_tellingHeld = !m_classesToLook.empty() || !m_statesToTell.empty();
    if (m_tellingHeld)
        QTimer::singleShot(0, this, &Webhooks::heldSlice);
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
