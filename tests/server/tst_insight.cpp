// Fleet insight: a site whose batteries wear faster is flagged and a normal one is not, addresses find
// their sites, the purchase plan of a small fleet whose answer is known, the report mail's section, many
// silent batteries in one mail of bounded length, and on the real server a battery silent past
// [insight] silentDays is mailed once, not again after a restart.
#include "BatteryDatabase.h"
#include "ConfigurationFile.h"
#include "NotificationTestSupport.h"
#include "PurchasePlan.h"
#include "ReportComposer.h"
#include "SmtpTestServer.h"
#include "VoltkeepProcess.h"
#include "WearAnalysis.h"

#include <QDateTime>
#include <QEventLoop>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QTemporaryDir>
#include <QTimer>
#include <QtTest>

#include <memory>

using namespace NVL::Engineering::VK;
using namespace NotificationTest;

namespace {

const std::string OpsUuid = "{00000000-0000-0000-0000-0000000000a1}";

// A battery with a straight (or `model`) fit of `fade` points a year, reporting mostly from `home`.
FleetIndex::Entry fitted(quint32 serial, quint32 type, double fade, const QByteArray &home,
                         Forecast::Model model = Forecast::Model::Line)
{
    FleetIndex::Entry e;
    e.record.version = 1;
    e.record.typeCode = type;
    e.record.serial[4] = quint8(serial >> 8);
    e.record.serial[5] = quint8(serial);
    e.record.healthPercent = 90;
    e.percent = 90;
    e.healthClass = Good;
    Forecast f;
    f.status = Forecast::Status::Date;
    f.slopePerYear = -fade;
    f.model = model;
    f.days = 200;
    f.places.points = 90;
    f.places.shares.append({home, 80});
    f.places.newest = home;
    e.forecast = f;
    return e;
}

QByteArray ipv4(int a, int b, int c, int d)
{
    return QByteArray::fromHex(QByteArray::number((a << 24 | b << 16 | c << 8 | d) & 0xFFFFFFFFu, 16).rightJustified(8, '0'));
}

} // namespace

class TestInsight : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void sitesOfAddresses_data()
    {
        QTest::addColumn<QString>("address");
        QTest::addColumn<QString>("site");
        QTest::newRow("in an IPv4 range") << "10.1.4.77" << "Depot North";
        QTest::newRow("the more specific range") << "10.2.9.1" << "Harbour crane";
        QTest::newRow("the wider range") << "10.2.0.5" << "Harbour";
        QTest::newRow("in an IPv6 range") << "2001:db8::17" << "Harbour";
        QTest::newRow("in no range: its own address") << "192.0.2.7" << "192.0.2.7";
    }

    void sitesOfAddresses()
    {
        QFETCH(QString, address);
        QFETCH(QString, site);
        SiteMap sites;
        QVERIFY(sites.add(QStringLiteral("Depot North"), QStringLiteral("10.1.4.0/24")));
        QVERIFY(sites.add(QStringLiteral("Harbour"), QStringLiteral("10.2.0.0/16")));
        QVERIFY(sites.add(QStringLiteral("Harbour"), QStringLiteral("2001:db8::/32")));
        QVERIFY(sites.add(QStringLiteral("Harbour crane"), QStringLiteral("10.2.9.0/24")));
        QVERIFY(!sites.add(QStringLiteral("Typo"), QStringLiteral("10.2.0.0/33")));
        QCOMPARE(sites.siteOf(SiteMap::addressFrom(address)), site);
    }

    void wearingSiteIsFlagged_data()
    {
        QTest::addColumn<double>("factor");
        QTest::addColumn<bool>("flagged");
        QTest::newRow("twice the wear") << 2.0 << true;
        QTest::newRow("the fleet's wear") << 1.0 << false;
    }

    void wearingSiteIsFlagged()
    {
        QFETCH(double, factor);
        QFETCH(bool, flagged);
        // 600 batteries of two types at 60 chargers elsewhere, 40 at the depot: the same spread of natural
        // fades everywhere, the depot's times the factor.
        FleetIndex fleet;
        QHash<QByteArray, Forecast> forecasts;
        const auto add = [&](const FleetIndex::Entry &e) {
            fleet.update(e.record);
            forecasts.insert(e.record.serialKey(), *e.forecast);
        };
        const auto natural = [](int i) { return 4.0 + double((i * 37) % 100) / 8.0; };
        for (int i = 0; i < 600; ++i)
            add(fitted(quint32(i), i % 2 ? SelfMeasuringTypeA : SelfMeasuringTypeB, natural(i) * (i % 2 ? 1.0 : 1.4),
                       ipv4(10, 9, i % 60, 1)));
        for (int i = 0; i < 40; ++i)
            add(fitted(quint32(1000 + i), i % 2 ? SelfMeasuringTypeA : SelfMeasuringTypeB,
                       natural(i * 7) * (i % 2 ? 1.0 : 1.4) * factor, ipv4(10, 1, 4, 1 + i % 2)));
        // Points from before addresses were kept place a battery nowhere.
        FleetIndex::Entry unplaced = fitted(2000, SelfMeasuringTypeA, 30, QByteArray());
        Forecast withoutPlaces = *unplaced.forecast;
        withoutPlaces.places.shares.clear();
        unplaced.forecast = withoutPlaces;
        add(unplaced);
        fleet.setForecasts(forecasts);
        SiteMap sites;
        sites.add(QStringLiteral("Depot North"), QStringLiteral("10.1.4.0/24"));

        const WearReport report = WearAnalysis::of(FleetSnapshot::of(fleet), sites);
        const auto depot = std::find_if(report.sites.cbegin(), report.sites.cend(),
                                        [](const SiteWear &s) { return s.site.name == QLatin1String("Depot North"); });
        QVERIFY(depot != report.sites.cend());
        QCOMPARE(depot->site.batteries, 40);
        QCOMPARE(depot->addresses.size(), 2);
        QCOMPARE(depot->site.flagged, flagged);
        QCOMPARE(report.flaggedSites, flagged ? 1 : 0);
        QVERIFY2(depot->site.effectLow <= factor && factor <= depot->site.effectHigh,
                 qPrintable(QStringLiteral("%1 outside %2-%3").arg(factor).arg(depot->site.effectLow).arg(depot->site.effectHigh)));
        // Batteries are kept by serial, their texts made from the fleet; one address's share its bytes.
        const WearBattery &first = depot->batteries.constFirst();
        QVERIFY(std::all_of(depot->batteries.cbegin(), depot->batteries.cend(), [&fleet](const WearBattery &b) {
            return fleet.find(b.serial()) && b.texts(fleet).serialShown == serialText(fleet.find(b.serial())->record);
        }));
        QCOMPARE(std::count_if(depot->batteries.cbegin(), depot->batteries.cend(),
                               [&first](const WearBattery &b) { return b.home.constData() == first.home.constData(); }),
                 20);
        // The other chargers are sites of their own, named by their address, none flagged.
        QCOMPARE(report.sites.size(), 61);
        QVERIFY(std::any_of(report.sites.cbegin(), report.sites.cend(),
                            [](const SiteWear &s) { return s.site.name == QLatin1String("10.9.3.1"); }));
    }

    // Marked among the batteries of its type and shape: a bent fit too, and by the pace of its shape.
    void fasterThanItsTypeAndShape_data()
    {
        QTest::addColumn<int>("model");
        QTest::addColumn<double>("fade");
        QTest::addColumn<bool>("marked");
        QTest::newRow("bent, three times the bent ones") << int(Forecast::Model::Bend) << 90.0 << true;
        QTest::newRow("bent, like the bent ones") << int(Forecast::Model::Bend) << 33.0 << false;
        QTest::newRow("straight, three times the straight ones") << int(Forecast::Model::Line) << 30.0 << true;
    }

    void fasterThanItsTypeAndShape()
    {
        QFETCH(int, model);
        QFETCH(double, fade);
        QFETCH(bool, marked);
        // Straight fits lose about 10 points a year, bent ones about 30: a bend's newer pace is faster.
        FleetIndex fleet;
        QHash<QByteArray, Forecast> forecasts;
        const auto add = [&](const FleetIndex::Entry &e) {
            fleet.update(e.record);
            forecasts.insert(e.record.serialKey(), *e.forecast);
        };
        for (int i = 0; i < 300; ++i) {
            const bool bent = i % 3 == 0;
            add(fitted(quint32(i), SelfMeasuringTypeA, (bent ? 30.0 : 10.0) * (0.8 + 0.4 * double(i % 7) / 6.0),
                       ipv4(10, 9, i % 30, 1), bent ? Forecast::Model::Bend : Forecast::Model::Line));
        }
        add(fitted(999, SelfMeasuringTypeA, fade, ipv4(10, 9, 0, 1), Forecast::Model(model)));
        fleet.setForecasts(forecasts);
        const WearReport report = WearAnalysis::of(FleetSnapshot::of(fleet), SiteMap());
        QCOMPARE(report.fasterThanType, marked ? 1 : 0);
    }

    void planCountsKnownFleet()
    {
        // Today 2025-01-10: 3 type A batteries Poor by their fit and 1 type B Poor without one count in
        // January; 5 type A dated 2025-03-15 with a band of a day count in March; 4 that do not fall, and
        // a Poor report that a fit overrules, count nowhere.
        const qint64 today = QDate(1970, 1, 1).daysTo(QDate(2025, 1, 10));
        const qint64 march15 = QDate(1970, 1, 1).daysTo(QDate(2025, 3, 15));
        FleetSnapshot fleet;
        fleet.today = today;
        const auto add = [&](quint32 type, std::optional<Forecast::Status> status, int healthClass, qint64 day = 0) {
            FleetIndex::Entry e = fitted(quint32(fleet.batteries.size()), type, 10, ipv4(10, 0, 0, 1));
            e.healthClass = healthClass;
            e.percent = healthClass == Poor ? 70 : 90;
            if (!status) {
                e.forecast = std::nullopt;
            } else {
                Forecast f = *e.forecast;
                f.status = *status;
                f.day = f.earliestDay = f.latestDay = day;
                e.forecast = f;
            }
            fleet.batteries.push_back(e);
        };
        for (int i = 0; i < 3; ++i)
            add(SelfMeasuringTypeA, Forecast::Status::Now, Poor);
        add(SelfMeasuringTypeB, std::nullopt, Poor);
        for (int i = 0; i < 5; ++i)
            add(SelfMeasuringTypeA, Forecast::Status::Date, Good, march15);
        for (int i = 0; i < 4; ++i)
            add(SelfMeasuringTypeB, Forecast::Status::NoDecline, Good);
        // Poor by its newest report, whatever its fit says: every view counts it Poor now.
        add(SelfMeasuringTypeB, Forecast::Status::NoDecline, Poor);

        const PurchasePlan plan = PurchasePlan::of(fleet);
        QCOMPARE(plan.monthStarts[0], QDate(2025, 1, 10));
        QCOMPARE(plan.monthStarts[2], QDate(2025, 3, 1));
        QCOMPARE(plan.total.poorNow, 5);
        QCOMPARE(plan.types.size(), 2);
        const auto near = [](double a, double b) { return std::fabs(a - b) < 0.01; };
        QVERIFY(near(plan.types[0].months[0].expected, 2.0)); // type B, 0x01000016, sorts first
        QVERIFY(near(plan.types[1].months[0].expected, 3.0));
        QVERIFY(near(plan.types[1].months[1].expected, 0.0));
        QVERIFY(near(plan.types[1].months[2].expected, 5.0));
        QVERIFY(near(plan.total.byEnd[11].expected, 10.0));
        QVERIFY(plan.total.months[2].low <= 5.0 && 5.0 <= plan.total.months[2].high);

        // A forecast's own error widens the range: dated 2025-04-15, its band opening on 2024-12-01 with no
        // late end, moved half its spread sooner it comes by February's end, and later not within the plan.
        FleetSnapshot wide;
        wide.today = today;
        FleetIndex::Entry e = fitted(1, SelfMeasuringTypeA, 10, ipv4(10, 0, 0, 1));
        Forecast f = *e.forecast;
        f.day = QDate(1970, 1, 1).daysTo(QDate(2025, 4, 15));
        f.earliestDay = QDate(1970, 1, 1).daysTo(QDate(2024, 12, 1));
        e.forecast = f;
        wide.batteries.push_back(e);
        const PurchasePlan widePlan = PurchasePlan::of(wide);
        QVERIFY(widePlan.total.byEnd[1].expected < 0.5);
        QCOMPARE(widePlan.total.byEnd[1].high, 1.0);
        QVERIFY(widePlan.total.byEnd[11].expected > 0.5);
        QCOMPARE(widePlan.total.byEnd[11].low, 0.0);
    }

    void reportMailHasInsightSection()
    {
        ComposeContext context;
        ComposeContext::Outlook outlook;
        outlook.flaggedSites = {QStringLiteral("Depot North (1.62x, 1.41-1.88)")};
        outlook.flaggedAddresses = {QStringLiteral("10.2.0.7 at Harbour (2.10x, 1.60-2.80)")};
        outlook.silentBatteries = 2;
        outlook.silentDays = 14;
        outlook.plan = {{QDate(2025, 1, 10), 4.2, 1.0, 8.3}, {QDate(2025, 2, 1), 3.0, 0.0, 6.4}, {QDate(2025, 3, 1), 1.0, 0.0, 3.0}};
        context.outlook = outlook;
        const ReportTexts texts = ReportComposer::composeReport({battery('B', 1, 90)}, context);
        for (const QString &part : {texts.leadText, texts.leadHtml}) {
            QVERIFY2(part.contains(QStringLiteral("Sites that wear batteries faster: Depot North (1.62x, 1.41-1.88)")), qPrintable(part));
            QVERIFY(part.contains(QStringLiteral("Chargers and gateways that wear batteries faster: 10.2.0.7 at Harbour (2.10x, 1.60-2.80)")));
            QVERIFY(part.contains(QStringLiteral("Silent for 14 days or more: 2")));
            QVERIFY(part.contains(QStringLiteral("2025-02")) && part.contains(QStringLiteral("1-8")));
        }
        // Nothing flagged, silent or to buy: no section.
        context.outlook = ComposeContext::Outlook{{}, 0, 14, {{QDate(2025, 1, 10), 0.2, 0.0, 1.1}}, {}};
        QVERIFY(!ReportComposer::composeReport({battery('B', 1, 90)}, context).leadText.contains(QStringLiteral("Fleet insight")));
    }

    void manySilentInOneBoundedMail()
    {
        // A first start over a fleet with 25 silent: one mail naming the first ten and counting the rest.
        QList<ReportComposer::Silence> silences;
        for (int i = 0; i < 25; ++i)
            silences.append({battery('S', quint8(i), 90, QStringLiteral("Truck %1").arg(i).toUtf8()), 20 + i, QStringLiteral("Depot North")});
        ComposeContext context;
        context.publicUrl = QStringLiteral("https://vk.example.test");
        const ReportTexts texts = ReportComposer::composeSilentAlert(silences, context);
        NotificationData silent = triggered(0, {OpsUuid});
        silent.triggerType = SilentTrigger;
        QCOMPARE(ReportComposer::mailSubject(silent, texts), QStringLiteral("Battery alert: 25 batteries are silent"));
        for (const QString &part : {texts.leadText, texts.leadHtml}) {
            QVERIFY2(part.contains(QStringLiteral("Truck 9")) && part.contains(QStringLiteral("29 days")), qPrintable(part));
            QVERIFY(!part.contains(QStringLiteral("Truck 10")));
            QVERIFY(part.contains(QStringLiteral("And 15 more.")) && part.contains(QStringLiteral("https://vk.example.test/silent")));
        }
        QCOMPARE(texts.tableText.count(QLatin1Char('\n')), ReportComposer::SilentListed - 1);
        QVERIFY(texts.plainText.contains(QStringLiteral("Truck 0, Truck 1, Truck 2 and 22 more")));
    }

    void silentBatteryIsMailedOnce()
    {
        QTemporaryDir dir;
        qputenv("NORVALE_COMMON_APPDATA", dir.path().toUtf8());
        SmtpTestServer smtp;
        QVERIFY2(smtp.start(), qPrintable(smtp.errorString()));
        NotificationData silent = triggered(0, {OpsUuid}, "Lost batteries");
        silent.triggerType = SilentTrigger;
        QVERIFY(writeConfiguration(plainSmtp(smtp.port(), "", ""), {recipient(OpsUuid, "ops@example.test")},
                                   {silent, triggered(Poor, {OpsUuid}, "Poor")}));

        // One battery last heard from five days ago at the depot, one a day and a half ago.
        const auto server = std::make_unique<VoltkeepProcess>(dir.path());
        server->setPort(VoltkeepProcess::freePort());
        const quint16 http = VoltkeepProcess::freePort();
        {
            BatteryDatabase database(server->dataFolder() + QStringLiteral("/vk.db"));
            QString error;
            QVERIFY(database.openWithRecovery() && database.checkVersion(error));
            BatteryRecord quiet = battery('Q', 1, 91, "Truck 9");
            quiet.reportTime = quint32(QDateTime::currentSecsSinceEpoch() - 5 * 86400);
            quiet.reportAddress = 0x0A010407u; // 10.1.4.7
            BatteryRecord heard = battery('H', 2, 91, "Truck 2");
            heard.reportTime = quint32(QDateTime::currentSecsSinceEpoch() - 36 * 3600);
            database.saveReports({quiet, heard});
        }
        QFile cfg(server->dataFolder() + QStringLiteral("/vk.cfg"));
        QVERIFY(cfg.open(QIODevice::WriteOnly | QIODevice::Truncate));
        cfg.write(QStringLiteral("[General]\nport=%1\n[http]\nlisten=127.0.0.1:%2\n[insight]\nsilentDays=3\n"
                                 "[sites]\nDepot North=10.1.4.0/24\n")
                      .arg(server->port())
                      .arg(http)
                      .toUtf8());
        cfg.close();

        QVERIFY(server->start());
        QVERIFY(smtp.waitForMessages(1, 20000));
        const Mail mail = parseMail(smtp.messages().at(0).data);
        QCOMPARE(mail.headers.value("subject"), QByteArray("Battery alert: Truck 9 is silent"));
        QVERIFY(std::any_of(mail.parts.cbegin(), mail.parts.cend(), [](const MimeEntity &p) {
            return p.body.contains("has not reported for 5 days") && p.body.contains("Depot North");
        }));
        const QJsonArray listed = QJsonDocument::fromJson(get(http, QStringLiteral("/api/v1/silent"))).object()
                                      .value(QStringLiteral("batteries")).toArray();
        QCOMPARE(listed.size(), 1);
        QCOMPARE(listed.at(0).toObject().value(QStringLiteral("lastSite")).toString(), QStringLiteral("Depot North"));
        QCOMPARE(QJsonDocument::fromJson(get(http, QStringLiteral("/api/v1/silent?days=1"))).object()
                     .value(QStringLiteral("batteries")).toArray().size(), 2);

        // After a restart the same silence is not told again: once the analysis shows it, no mail is queued.
        server->terminate();
        QCOMPARE(server->waitForExit(), 0);
        QVERIFY(server->start());
        QTRY_VERIFY_WITH_TIMEOUT(get(http, QStringLiteral("/metrics")).contains("voltkeep_silent_batteries 1"), 15000);
        const QByteArray metrics = get(http, QStringLiteral("/metrics"));
        QVERIFY(metrics.contains("voltkeep_mail_queue_depth 0"));
        QVERIFY(metrics.contains("voltkeep_mails_delivered_total{kind=\"alert\"} 0"));
        QCOMPARE(smtp.messages().size(), 1);
    }

private:
    QByteArray get(quint16 port, const QString &path)
    {
        QNetworkRequest request(QUrl(QStringLiteral("http://127.0.0.1:%1%2").arg(port).arg(path)));
        QNetworkReply *reply = m_network.get(request);
        QEventLoop loop;
        connect(reply, &QNetworkReply::finished, &loop, &QEventLoop::quit);
        QTimer::singleShot(10000, &loop, &QEventLoop::quit);
        loop.exec();
        const QByteArray body = reply->readAll();
        reply->deleteLater();
        return body;
    }

    QNetworkAccessManager m_network;
};

QTEST_GUILESS_MAIN(TestInsight)
#include "tst_insight.moc"
