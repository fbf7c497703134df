// Which events the webhooks raise, without the server process: each kind when it happens, to the receivers
// that want it, and a lasting state (due, due now, silent, a flagged site) once until it is left. Read back
// from the outbox file the writer synced, in the order a receiver gets them.
#include "FleetIndex.h"
#include "InsightResult.h"
#include "LocalDays.h"
#include "NotificationTestSupport.h"
#include "RecordingEventSink.h"
#include "WebhookOutbox.h"
#include "Webhooks.h"

#include <QTemporaryDir>
#include <QtTest>

#include <functional>

using namespace NVL::Engineering::VK;
using namespace NotificationTest;

namespace {

// What happens, in turn, to a fleet of one battery (F01) and a site.
using Step = std::function<void(Webhooks &, FleetIndex &)>;

// A report of version 0 is stored but not kept by the fleet model: the battery leaves it.
void report(Webhooks &hooks, FleetIndex &fleet, int percent, quint8 version = 1)
{
    BatteryRecord r = battery('F', 1, quint8(percent));
    r.version = version;
    const FleetIndex::Entry *before = fleet.find(r.serialKey());
    const std::optional<BatteryRecord> replaced = before ? std::optional<BatteryRecord>(before->record) : std::nullopt;
    fleet.update(r);
    hooks.reportsStored({r}, {replaced});
}

Step reported(int percent)
{
    return [percent](Webhooks &hooks, FleetIndex &fleet) { report(hooks, fleet, percent); };
}

Step leftTheFleet(int percent)
{
    return [percent](Webhooks &hooks, FleetIndex &fleet) { report(hooks, fleet, percent, 0); };
}

Step forecastIn(int days)
{
    return [days](Webhooks &hooks, FleetIndex &fleet) {
        Forecast forecast;
        forecast.status = Forecast::Status::Date;
        forecast.day = LocalDays::today() + days;
        forecast.days = 30;
        const QByteArray serial = battery('F', 1, 90).serialKey();
        fleet.setForecast(serial, forecast);
        hooks.forecastsChanged({serial});
    };
}

Step daysLater(int days)
{
    return [days](Webhooks &hooks, FleetIndex &) { hooks.recheck(LocalDays::today() + days); };
}

// As after a restart: the battery is in the fleet, its forecast not loaded yet, and the fleet is looked at.
Step reloaded()
{
    return [](Webhooks &hooks, FleetIndex &fleet) {
        const BatteryRecord record = fleet.find(battery('F', 1, 90).serialKey())->record;
        fleet.remove(record.serialKey());
        fleet.update(record);
        hooks.recheck(LocalDays::today());
    };
}

// As if the process had ended between the store's commit of a report and the outbox's, then started: the
// fleet holds the report, the outbox never heard of it, and the fleet is looked at. A report another server
// of a shared store stored is that server's to tell.
Step crashedThenStarted(int percent, bool storedHere = true)
{
    return [percent, storedHere](Webhooks &hooks, FleetIndex &fleet) {
        RecordingEventSink log;
        const BatteryRecord r = battery('F', 1, quint8(percent));
        fleet.update(r);
        if (!storedHere)
            hooks.setClassesLeftToOthers({FleetIndex::orderKey(r.serial)});
        hooks.recheck(LocalDays::today());
        QTRY_COMPARE(log.count(LogType::Information,
                               QStringLiteral("the classes of %1 batteries compared with the webhook outbox").arg(int(storedHere))),
                     1);
        QCOMPARE(log.count(LogType::Information, QStringLiteral("1 battery.class event(s) the webhook outbox had missed")),
                 int(storedHere));
    };
}

// A peer flips the battery's class faster than the outbox's thread writes (the loop is not let turn):
// past the bound each flip is held back, and once the outbox caught up the battery is told as it stands.
Step floodedPast(qint64 bound, const QList<int> &percents)
{
    return [bound, percents](Webhooks &hooks, FleetIndex &fleet) {
        RecordingEventSink log;
        hooks.setBacklogBound(bound);
        for (const int percent : percents)
            report(hooks, fleet, percent);
        QTRY_COMPARE(log.count(LogType::Warning, QStringLiteral("the webhook outbox is")), 1);
        QTRY_COMPARE(log.count(LogType::Information, QStringLiteral("1 battery.class event(s) the webhook outbox had missed")), 1);
        hooks.setBacklogBound(WebhookBacklog::DefaultBound);
    };
}

Step tellsStates(bool tells)
{
    return [tells](Webhooks &hooks, FleetIndex &) { hooks.setTellsStates(tells); };
}

Step analysed(bool silent, bool flagged)
{
    return [silent, flagged](Webhooks &hooks, FleetIndex &fleet) {
        InsightResult result;
        result.asOf = QDateTime::currentSecsSinceEpoch();
        if (silent)
            result.silent.append({fleet.find(battery('F', 1, 90).serialKey())->record, Good, {}, QStringLiteral("North")});
        SiteWear site;
        site.site.name = QStringLiteral("North");
        site.site.flagged = flagged;
        result.wear.sites.append(site);
        hooks.insightComputed(result);
    };
}

Step mailFailed()
{
    return [](Webhooks &hooks, FleetIndex &) { hooks.mailFailed({QStringLiteral("Daily"), QStringLiteral("report"), QStringLiteral("535"), 2}); };
}

} // namespace

class TestWebhookEvents : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void eventsAsTheyHappen_data()
    {
        QTest::addColumn<QString>("events"); // of receiver a; receiver b wants battery.class alone
        QTest::addColumn<QList<Step>>("steps");
        QTest::addColumn<QStringList>("toA");
        QTest::addColumn<QStringList>("toB");
        const QString all = QStringLiteral("all");
        QTest::newRow("class fell and rose, due now once")
            << all << QList<Step>{reported(95), reported(70), reported(75), reported(95)}
            << QStringList{"battery.class", "battery.due", "battery.now", "battery.class"}
            << QStringList{"battery.class", "battery.class"};
        QTest::newRow("a report the fleet does not keep leaves the states; back, it enters them again")
            << all << QList<Step>{reported(95), reported(70), leftTheFleet(70), reported(70)}
            << QStringList{"battery.class", "battery.due", "battery.now", "battery.due", "battery.now"}
            << QStringList{"battery.class"};
        QTest::newRow("forecast within the days, then beyond, then within")
            << QStringLiteral("battery.due") << QList<Step>{reported(95), forecastIn(20), forecastIn(20), forecastIn(90), forecastIn(10)}
            << QStringList{"battery.due", "battery.due"} << QStringList{};
        QTest::newRow("forecast day comes within the days as days pass, without a report")
            << QStringLiteral("battery.due") << QList<Step>{reported(95), forecastIn(40), daysLater(5), daysLater(10), daysLater(11)}
            << QStringList{"battery.due"} << QStringList{};
        QTest::newRow("due battery looked at before its forecast is loaded, then loaded: told once")
            << QStringLiteral("battery.due") << QList<Step>{reported(95), forecastIn(20), reloaded(), forecastIn(20)}
            << QStringList{"battery.due"} << QStringList{};
        QTest::newRow("class change a crash kept out of the outbox, told at the start")
            << all << QList<Step>{reported(95), crashedThenStarted(84)}
            << QStringList{"battery.class"} << QStringList{"battery.class"};
        QTest::newRow("class change another server stored left to it at the start")
            << all << QList<Step>{reported(95), crashedThenStarted(84, false)} << QStringList{} << QStringList{};
        QTest::newRow("flips past the outbox's bound told as the battery then stands")
            << all << QList<Step>{reported(95), reported(70), floodedPast(2, {95, 70, 95}), reported(70)}
            << QStringList{"battery.class", "battery.due", "battery.now", "battery.class", "battery.class", "battery.due", "battery.now"}
            << QStringList{"battery.class", "battery.class", "battery.class"};
        QTest::newRow("states told by the server that has the duty, from when it takes it")
            << all << QList<Step>{tellsStates(false), reported(95), reported(70), analysed(true, true), tellsStates(true)}
            << QStringList{"battery.class", "battery.due", "battery.now"} << QStringList{"battery.class"};
        QTest::newRow("silent and flagged once each until left")
            << all << QList<Step>{reported(95), analysed(true, true), analysed(true, true), analysed(false, false), analysed(true, false)}
            << QStringList{"battery.silent", "site.flagged", "battery.silent"} << QStringList{};
        QTest::newRow("mail failed, to whom wants it") << QStringLiteral("mail.failed") << QList<Step>{mailFailed()}
                                                       << QStringList{"mail.failed"} << QStringList{};
    }

    void eventsAsTheyHappen()
    {
        QFETCH(QString, events);
        QFETCH(QList<Step>, steps);
        QFETCH(QStringList, toA);
        QFETCH(QStringList, toB);
        QTemporaryDir dir;
        const QString file = dir.filePath(QStringLiteral("vk-webhooks.db"));
        WebhookSettings settings;
        // Nothing listens on port 1: the couriers' posts fail, and the events stay in the outbox.
        settings.endpoints = {{QStringLiteral("a"), QUrl(QStringLiteral("http://127.0.0.1:1/")),
                               events == QLatin1String("all") ? WebhookSettings::eventKinds() : QStringList{events}, "s", 30, {}},
                              {QStringLiteral("b"), QUrl(QStringLiteral("http://127.0.0.1:1/")), {"battery.class"}, "s", 30, {}}};
        settings.retryFirstSeconds = 3600;
        {
            FleetIndex fleet;
            Webhooks hooks(settings, file, fleet);
            for (const Step &step : steps)
                step(hooks, fleet);
        }
        WebhookOutbox outbox(file);
        QString error;
        QVERIFY2(outbox.open({QStringLiteral("a"), QStringLiteral("b")}, true, error), qPrintable(error));
        QCOMPARE(kinds(outbox, QStringLiteral("a")), toA);
        QCOMPARE(kinds(outbox, QStringLiteral("b")), toB);
    }

    // Radios that never pause for a lull still have their events written, within about a second.
    void toldWhileReportsGoOn()
    {
        OneReceiver one({"battery.class"}, [](WebhookSettings &s) { s.retryFirstSeconds = 3600; });
        Webhooks &hooks = one.hooks;
        QElapsedTimer stream;
        stream.start();
        for (int n = 0; hooks.outboxDepth() == 0 && !stream.hasExpired(4 * WebhookLull::MaxWaitMs); ++n) {
            report(hooks, one.fleet, n % 2 ? 70 : 95);
            QElapsedTimer gap; // far shorter than a lull
            gap.start();
            while (!gap.hasExpired(2))
                QCoreApplication::processEvents();
        }
        QVERIFY(hooks.outboxDepth() > 0);
        QVERIFY(stream.elapsed() >= WebhookLull::MaxWaitMs);
    }

    // A post that fails past retryForSeconds is given up: counted, and gone from the outbox.
    void givenUpWhenRetriesRunOut()
    {
        OneReceiver one({"mail.failed"}, [](WebhookSettings &s) { s.retryForSeconds = 0; });
        Webhooks &hooks = one.hooks;
        mailFailed()(hooks, one.fleet);
        const auto count = [&hooks](const char *outcome) {
            for (const ServerMetrics::WebhookCount &c : hooks.deliveries())
                if (c.outcome == outcome)
                    return c.count;
            return qint64(-1);
        };
        QTRY_COMPARE(count("given_up"), qint64(1));
        QCOMPARE(count("delivered"), qint64(0));
        QTRY_COMPARE(hooks.outboxDepth(), qint64(0));
    }

private:
    // Webhooks of receiver "a" of these events, where nothing listens, over an outbox of its own: what it is
    // told stays in the outbox. `tune` sets the bounds a test needs.
    struct OneReceiver
    {
        OneReceiver(const QStringList &events, const std::function<void(WebhookSettings &)> &tune)
            : hooks(settings(events, tune), dir.filePath(QStringLiteral("vk-webhooks.db")), fleet)
        {
        }
        static WebhookSettings settings(const QStringList &events, const std::function<void(WebhookSettings &)> &tune)
        {
            WebhookSettings s;
            s.endpoints = {{QStringLiteral("a"), QUrl(QStringLiteral("http://127.0.0.1:1/")), events, "s", 30, {}}};
            tune(s);
            return s;
        }
        QTemporaryDir dir;
        FleetIndex fleet;
        Webhooks hooks;
    };

    static QStringList kinds(WebhookOutbox &outbox, const QString &endpoint)
    {
        QStringList kinds;
        for (const WebhookOutbox::Entry &head : outbox.heads(endpoint, 1000))
            kinds << head.event.kind;
        return kinds;
    }
};

QTEST_GUILESS_MAIN(TestWebhookEvents)
#include "tst_webhookevents.moc"
