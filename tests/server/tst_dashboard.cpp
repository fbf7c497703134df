// The dashboard in a real browser and the metrics in Prometheus' own parser, against the real server on a
// synthetic fleet of 500 batteries, with a real mail server for the mail counters.
#include "ChromiumDriver.h"
#include "NotificationTestSupport.h"
#include "RadioPeer.h"
#include "SmtpTestServer.h"
#include "SyntheticFleet.h"
#include "VoltkeepProcess.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QMap>
#include <QNetworkAccessManager>
#include <QNetworkProxy>
#include <QNetworkReply>
#include <QTemporaryDir>
#include <QDeadlineTimer>
#include <QtTest>

#include <memory>

using namespace NVL::Engineering::VK;
using namespace NotificationTest;

namespace {

const QString Loopback = QStringLiteral("127.0.0.1");
constexpr int FleetSize = 500;

// Radio input meant to become markup; an alias holds 20 bytes, so each vector is whole within them.
const QByteArray HostileAliases[] = {"<svg onload=alert``>", "<img src=x onerror=", "<script>alert(1)"};

// Sample name with its labels in order -> value, as Prometheus' parser reads the text.
const char *ParseMetrics = R"(
import sys
from prometheus_client.parser import text_string_to_metric_families
for family in text_string_to_metric_families(sys.stdin.read()):
    for s in family.samples:
        labels = ",".join('%s="%s"' % kv for kv in sorted(s.labels.items()))
        print("%s%s %r" % (s.name, "{%s}" % labels if labels else "", s.value))
)";

} // namespace

class TestDashboard : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir m_dir;
    std::unique_ptr<SmtpTestServer> m_smtp;
    std::unique_ptr<VoltkeepProcess> m_server;
    quint16 m_httpPort = 0;
    QNetworkAccessManager m_network;

    QString url(const QString &path) const { return QStringLiteral("http://127.0.0.1:%1%2").arg(m_httpPort).arg(path); }

    QPair<int, QByteArray> get(const QString &path)
    {
        QNetworkReply *reply = m_network.get(QNetworkRequest(QUrl(url(path))));
        QEventLoop loop;
        connect(reply, &QNetworkReply::finished, &loop, &QEventLoop::quit);
        QTimer::singleShot(10000, &loop, &QEventLoop::quit);
        loop.exec();
        const QPair<int, QByteArray> answer{reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt(),
                                            reply->readAll()};
        reply->deleteLater();
        return answer;
    }

    QMap<QString, double> metrics()
    {
        QProcess python;
        python.start(QStringLiteral("/usr/bin/python3"), {QStringLiteral("-c"), QString::fromUtf8(ParseMetrics)});
        python.write(get(QStringLiteral("/metrics")).second);
        python.closeWriteChannel();
        QMap<QString, double> samples;
        if (!python.waitForFinished(30000) || python.exitCode() != 0) {
            qWarning("prometheus parser: %s", python.readAllStandardError().constData());
            return samples;
        }
        for (const QByteArray &line : python.readAllStandardOutput().split('\n')) {
            const qsizetype space = line.lastIndexOf(' ');
            if (space > 0)
                samples.insert(QString::fromUtf8(line.left(space)), line.mid(space + 1).toDouble());
        }
        return samples;
    }

    static BatteryRecord radioBattery(quint8 serialByte, quint8 percent, const QByteArray &alias)
    {
        BatteryRecord r = battery('Z', serialByte, percent, alias);
        return r;
    }

    static QString shotFolder()
    {
        const QString folder = qEnvironmentVariable("VK_DASHBOARD_SHOTS", QDir::tempPath() + QStringLiteral("/vk-dashboard-shots"));
        QDir().mkpath(folder);
        return folder;
    }

private Q_SLOTS:
    void initTestCase()
    {
        m_network.setProxy(QNetworkProxy::NoProxy);
        QVERIFY(m_dir.isValid());
        qputenv("NORVALE_COMMON_APPDATA", m_dir.path().toUtf8());
        SmtpTestServer::Options options;
        options.authUser = QStringLiteral("vk");
        options.authPassword = QStringLiteral("pw");
        m_smtp = std::make_unique<SmtpTestServer>(options);
        QVERIFY2(m_smtp->start(), qPrintable(m_smtp->errorString()));
        QVERIFY(writeConfiguration(plainSmtp(m_smtp->port()), {recipient("ops", "ops@example.test")},
                                   {triggered(Fair, {"ops"}, "to Fair")}));

        m_server = std::make_unique<VoltkeepProcess>(m_dir.path());
        m_server->setPort(VoltkeepProcess::freePort());
        m_httpPort = VoltkeepProcess::freePort();
        QFile cfg(m_server->dataFolder() + QStringLiteral("/vk.cfg"));
        QVERIFY(cfg.open(QIODevice::WriteOnly | QIODevice::Truncate));
        cfg.write("[General]\nport=" + QByteArray::number(m_server->port()) + "\n[http]\nlisten=127.0.0.1:"
                  + QByteArray::number(m_httpPort) + "\n[mail]\nretryForSeconds=0\n"); // a failed mail stays failed
        cfg.close();
        SyntheticFleet::Options fleet;
        fleet.batteries = FleetSize;
        fleet.days = 400;
        fleet.seed = 23;
        QVERIFY(SyntheticFleet(fleet).write(m_server->dataFolder(), 80).ok);
        QVERIFY(m_server->start());
        QVERIFY(m_server->log().contains(QLatin1String("HTTP API listening")));
        // Insight waits for the start's forecasts: meanwhile it says it is pending, never an empty fleet.
        const QPair<int, QByteArray> first = get(QStringLiteral("/api/v1/sites"));
        QVERIFY2(first.first == 503 ? first.second.contains("being computed")
                                    : QJsonDocument::fromJson(first.second).object().value(QLatin1String("sites")).toArray().size() > 0,
                 first.second.constData());
        QVERIFY(m_server->waitForLog(QStringLiteral("Fleet insight analysed")));

        RadioPeer peer(Loopback, m_server->port());
        QVERIFY(peer.connectToServer());
        for (quint8 i = 0; i < std::size(HostileAliases); ++i)
            QVERIFY(peer.sendReport(radioBattery(quint8(0xE0 + i), 90, HostileAliases[i])));
        QCOMPARE(peer.list()->size(), FleetSize + int(std::size(HostileAliases)));
    }

    void cleanupTestCase()
    {
        m_server.reset();
        m_smtp.reset();
    }

    void browserShowsFiltersSortsAndEscapes()
    {
        ChromiumDriver browser;
        QString reason;
        if (!browser.start(reason))
            QSKIP(qPrintable(QStringLiteral("no browser to test the dashboard in: ") + reason));
        const QString shots = shotFolder();
        const auto rowsAll = [](const QString &test) {
            return QStringLiteral("(() => { const rows = [...document.querySelectorAll('#battery-table tbody tr')];"
                                  " return rows.length > 0 && rows.every(r => %1); })()").arg(test);
        };

        // The overview: classes, the outlook, the newest reports.
        QVERIFY(browser.navigate(url(QStringLiteral("/"))));
        QCOMPARE(browser.evaluate(QStringLiteral("document.querySelector('h1').textContent")).toString(),
                 QStringLiteral("Fleet overview"));
        QCOMPARE(browser.evaluate(QStringLiteral("[...document.querySelectorAll('.legend strong')]"
                                                 ".reduce((n, e) => n + Number(e.textContent.replace(/,/g, '')), 0)"))
                     .toInt(),
                 FleetSize + int(std::size(HostileAliases)));
        QVERIFY(browser.screenshot(shots + QStringLiteral("/overview.png"), 1280, 1400));
        const QString dueBattery =
            browser.evaluate(QStringLiteral("document.querySelector('section table tbody a').getAttribute('href')")).toString();
        QVERIFY(dueBattery.startsWith(QLatin1String("/batteries/")));

        // The table: a page of 100, then filtered and sorted in place by the script.
        QVERIFY(browser.navigate(url(QStringLiteral("/batteries"))));
        QCOMPARE(browser.evaluate(QStringLiteral("document.querySelectorAll('#battery-table tbody tr').length")).toInt(), 100);
        // Cells by index: the alias shown on phones right after the serial is cell 1 (hidden here).
        QVERIFY(browser.evaluate(QStringLiteral("const q = document.querySelector('input[name=q]'); q.value = 'radio 0001';"
                                                "q.dispatchEvent(new Event('input', {bubbles: true})); true")).toBool());
        QVERIFY(browser.waitUntil(rowsAll(QStringLiteral("r.cells[8].textContent.startsWith('Radio 0001')"))));
        QVERIFY(browser.evaluate(QStringLiteral("location.search")).toString().contains(QLatin1String("q=radio")));
        QVERIFY(browser.evaluate(QStringLiteral("const s = document.querySelector('select[name=class]'); s.value = 'poor';"
                                                "s.dispatchEvent(new Event('change', {bubbles: true})); true")).toBool());
        QVERIFY(browser.waitUntil(rowsAll(QStringLiteral("r.cells[2].textContent.includes('Poor') && "
                                                         "r.cells[8].textContent.startsWith('Radio 0001')"))));
        const QString cycles = QStringLiteral("[...document.querySelectorAll('#battery-table tbody tr')].map(r => Number(r.cells[6].textContent))");
        for (const char *direction : {"ascending", "descending"}) {
            QVERIFY(browser.evaluate(QStringLiteral("[...document.querySelectorAll('th a.sort')].find(a => "
                                                    "a.textContent.startsWith('Cycle Count')).click(); true")).toBool());
            QVERIFY(browser.waitUntil(QStringLiteral("document.querySelector('th[aria-sort=%1]')?.textContent.startsWith('Cycle Count')")
                                          .arg(QLatin1String(direction))));
            const QString sorted = QStringLiteral("(() => { const v = %1; return v.length > 1 && v.every((x, i) => i == 0 || "
                                                  "(%2 ? v[i - 1] >= x : v[i - 1] <= x)); })()")
                                       .arg(cycles, QLatin1String(direction[0] == 'd' ? "true" : "false"));
            QVERIFY2(browser.evaluate(sorted).toBool(), direction);
        }
        QVERIFY(browser.screenshot(shots + QStringLiteral("/batteries.png"), 1280, 1000));

        // Radio input stays text: a page loaded as it is, no script involved.
        QVERIFY(browser.navigate(url(QStringLiteral("/batteries?q=%3C&sort=alias"))));
        QStringList expected;
        for (const QByteArray &alias : HostileAliases)
            expected << QString::fromUtf8(alias);
        std::sort(expected.begin(), expected.end(), [](const QString &a, const QString &b) { return a.compare(b, Qt::CaseInsensitive) < 0; });
        QCOMPARE(browser.evaluate(QStringLiteral("[...document.querySelectorAll('#battery-table tbody tr')].map(r => r.cells[8].textContent).join('\\n')"))
                     .toString(),
                 expected.join(QLatin1Char('\n')));
        QCOMPARE(browser.evaluate(QStringLiteral("document.querySelectorAll('main img, main script, main [onload], main [onerror]').length")).toInt(), 0);

        // One battery: the chart with the fitted line and the predicted day.
        QVERIFY(browser.navigate(url(dueBattery)));
        const QString predicted = browser.evaluate(QStringLiteral("document.getElementById('predicted').textContent")).toString();
        QVERIFY2(QDate::fromString(predicted, Qt::ISODate).isValid(), qPrintable(predicted));
        QVERIFY(browser.evaluate(QStringLiteral("document.querySelector('#health-chart polyline.fit').getTotalLength() > 50")).toBool());
        QCOMPARE(browser.evaluate(QStringLiteral("document.querySelector('#health-chart .predicted-label').textContent")).toString(),
                 QStringLiteral("Poor by ") + predicted);
        // Every stored day is a dot, however young the battery.
        const qsizetype days = get(QStringLiteral("/api/v1") + dueBattery + QStringLiteral("/history.csv")).second.count("\r\n") - 1;
        QVERIFY(days > 1);
        QCOMPARE(browser.evaluate(QStringLiteral("document.querySelectorAll('#health-chart circle').length")).toInt(), int(days));
        QVERIFY(browser.screenshot(shots + QStringLiteral("/battery.png"), 1280, 1400));

        QVERIFY2(browser.problems().isEmpty(), qPrintable(browser.problems().join(QLatin1Char('\n'))));
        qInfo("screenshots in %s", qPrintable(shots));
    }

    // The fleet's worn chargers (its harbour's) are shown wherever insight shows: the mail's section is
    // tst_insight's.
    void flaggedChargersShown_data()
    {
        QTest::addColumn<QString>("path");
        QTest::addColumn<QString>("pattern");
        QTest::newRow("API site list") << "/api/v1/sites" << "\"flaggedAddresses\":\\[\\n\\{\"site\":\"[^\"]+\",\"name\":\"10\\.1\\.1\\.\\d\"";
        QTest::newRow("sites page") << "/sites" << "<section id=\"flagged-addresses\">.*<td class=\"mono\">10\\.1\\.1\\.\\d</td>";
        QTest::newRow("overview card") << "/" << "id=\"flagged-addresses\">[1-9]";
        QTest::newRow("metric") << "/metrics" << "\\nvoltkeep_flagged_addresses [1-9]";
    }

    void flaggedChargersShown()
    {
        QFETCH(QString, path);
        QFETCH(QString, pattern);
        const QString body = QString::fromUtf8(get(path).second);
        QVERIFY2(QRegularExpression(pattern, QRegularExpression::DotMatchesEverythingOption).match(body).hasMatch(),
                 qPrintable(body.left(2000)));
    }

    // The CSV holds every matching row, not one page; a due card opens the list of what it counts.
    void csvAndDueListsHoldWhatTheyCount()
    {
        QCOMPARE(get(QStringLiteral("/batteries.csv")).second.count("\r\n") - 1, FleetSize + int(std::size(HostileAliases)));
        // The forecasts refitted after the start (the fleet's own track record) may move a battery between
        // the two answers: they are compared until a pair agrees.
        for (const int days : {30, 90, 180}) {
            const QByteArray id = "id=\"due-" + QByteArray::number(days) + "\">";
            const auto counted = [&] {
                const QByteArray overview = get(QStringLiteral("/")).second;
                const qsizetype at = overview.indexOf(id) + id.size();
                return overview.mid(at, overview.indexOf('<', at) - at).replace(",", "").toInt();
            };
            const auto listed = [&] { return int(get(QStringLiteral("/batteries.csv?due=%1").arg(days)).second.count("\r\n") - 1); };
            QVERIFY(get(QStringLiteral("/")).second.contains("href=\"/batteries?due=" + QByteArray::number(days) + "&amp;sort=forecast\""));
            int card = -1;
            int list = -1;
            for (QDeadlineTimer deadline(60000); !deadline.hasExpired(); QTest::qWait(200)) {
                card = counted();
                list = listed();
                if (card == list && card > 0)
                    break;
            }
            QVERIFY2(card == list && card > 0,
                     qPrintable(QStringLiteral("due within %1 days: the card says %2, the list holds %3").arg(days).arg(card).arg(list)));
        }
        QVERIFY(get(QStringLiteral("/batteries.csv?due=180")).second.count("\r\n") > 1);
    }

    void metricsFollowReportsAndMails()
    {
        const QPair<int, QByteArray> health = get(QStringLiteral("/healthz"));
        QCOMPARE(health.first, 200);
        const QMap<QString, double> before = metrics();
        QVERIFY(!before.isEmpty());
        QCOMPARE(before.value(QStringLiteral("voltkeep_batteries{class=\"poor\"}"))
                     + before.value(QStringLiteral("voltkeep_batteries{class=\"fair\"}"))
                     + before.value(QStringLiteral("voltkeep_batteries{class=\"good\"}"))
                     + before.value(QStringLiteral("voltkeep_batteries{class=\"excellent\"}")),
                 double(FleetSize + std::size(HostileAliases)));
        const qint64 started = QDateTime::currentSecsSinceEpoch();

        // A fall to Fair is mailed; the list reply comes after the mail is out.
        RadioPeer peer(Loopback, m_server->port());
        QVERIFY(peer.connectToServer());
        QVERIFY(peer.sendReport(radioBattery(0xF0, 95, "Truck 1")) && peer.sendReport(radioBattery(0xF0, 84, "Truck 1")));
        QVERIFY(peer.list());
        QVERIFY(m_smtp->waitForMessages(1));
        // The same fall with the mail server gone fails.
        QVERIFY(writeConfiguration(plainSmtp(VoltkeepProcess::freePort()), {recipient("ops", "ops@example.test")},
                                   {triggered(Fair, {"ops"}, "to Fair")}));
        QVERIFY(m_server->waitForLog(QStringLiteral("the notifications are as planned")));
        QVERIFY(peer.sendReport(radioBattery(0xF0, 95, "Truck 1")) && peer.sendReport(radioBattery(0xF0, 84, "Truck 1")));
        QVERIFY(peer.list());
        QVERIFY(peer.deleteSerials({radioBattery(0xE1, 0, {}).serialKey()}));
        QVERIFY(peer.sendReportDatagram(radioBattery(0xF1, 90, "Truck 2")));
        QVERIFY(peer.sendDatagram(RadioPeer::reportMessage(radioBattery(0xF2, 90, "Cut")).left(40)));

        struct Move { const char *sample; double by; };
        const Move moves[] = {
            {"voltkeep_reports_received_total{transport=\"tcp\"}", 4},
            {"voltkeep_reports_received_total{transport=\"udp\"}", 1},
            {"voltkeep_reports_dropped_total{reason=\"malformed\"}", 1},
            {"voltkeep_list_requests_total", 2},
            {"voltkeep_delete_requests_total", 1},
            {"voltkeep_mails_delivered_total{kind=\"alert\"}", 1},
            {"voltkeep_mails_failed_total{kind=\"alert\"}", 1},
            {"voltkeep_mails_delivered_total{kind=\"report\"}", 0},
            {"voltkeep_history_points_written_total", 5},
            {"voltkeep_batteries{class=\"fair\"}", 1},
        };
        QMap<QString, double> after;
        // The history's points are written on a thread of their own, a moment after the reports.
        const auto moved = [&](const char *sample, double by) {
            const QString name = QString::fromLatin1(sample);
            return after.value(name) >= before.value(name) + by;
        };
        QTRY_VERIFY_WITH_TIMEOUT((after = metrics(), moved("voltkeep_reports_dropped_total{reason=\"malformed\"}", 1)
                                                         && moved("voltkeep_history_points_written_total", 5)),
                                 5000);
        for (const Move &move : moves) {
            const QString name = QString::fromLatin1(move.sample);
            QVERIFY2(after.contains(name), move.sample);
            QCOMPARE(after.value(name) - before.value(name), move.by);
        }
        QVERIFY(after.value(QStringLiteral("voltkeep_last_mail_delivery_timestamp_seconds")) >= double(started));
        QCOMPARE(after.value(QStringLiteral("voltkeep_mail_queue_depth")), 0.0);
        QVERIFY(after.value(QStringLiteral("voltkeep_start_time_seconds")) <= double(started));

        // The overview tells of the notification's last mail: it failed, having gone once before.
        const QByteArray overview = get(QStringLiteral("/")).second;
        QVERIFY(overview.contains("<tr><td>to Fair</td>"));
        QVERIFY(overview.contains("Failed</span> 127.0.0.1:"));
        QVERIFY(!overview.contains("<td class=\"wide\">never</td>"));
    }
};

QTEST_GUILESS_MAIN(TestDashboard)
#include "tst_dashboard.moc"
