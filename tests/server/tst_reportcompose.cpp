#include "ReportComposer.h"
#include "NotificationTestSupport.h"

#include <QtTest>

using namespace NVL::Engineering::VK;
using NotificationTest::battery;

namespace {

const QString head = QStringLiteral(
    "<table border=\"1\"><tr><th>Serial#</th><th>Health</th><th>Full Capacity</th><th>Cycle Count</th>"
    "<th>Radio ESN</th><th>Radio Alias</th><th>Report Date</th><th>Report IP</th></tr>");

QString summary(int count, int excellent, int good, int fair, int poor)
{
    return QStringLiteral("<table><tr><td>Count:</td><td>") + QString::number(count)
        + QStringLiteral("</td></tr><tr><td>Excellent:</td><td>") + QString::number(excellent)
        + QStringLiteral("</td></tr><tr><td>Good:</td><td>") + QString::number(good)
        + QStringLiteral("</td></tr><tr><td>Fair:</td><td>") + QString::number(fair)
        + QStringLiteral("</td></tr><tr><td>Poor:</td><td>") + QString::number(poor)
        + QStringLiteral("</td></tr></table>");
}

// Wednesday 2025-01-15 10:00:00 in Qt's text date format, as the heading shows it.
const QDateTime headingTime(QDate(2025, 1, 15), QTime(10, 0));
const QString heading =
    QStringLiteral("<img src='cid:tamsel' /><h1>Voltkeep Report: Wed Jan 15 10:00:00 2025</h1><hr>");
// The outlook of a fleet none of whose batteries has a forecast date.
const QString noOutlook = QStringLiteral("<h2>Outlook</h2><p>Poor now or within 30 days: 0<br>Poor now or within 90 "
                                         "days: 0<br></p><p>No battery has a forecast date.</p>");
// Report times carry their offset from UTC (the tests run in UTC).
const QString reportedAt = QDateTime::fromSecsSinceEpoch(1736942400).toString(QStringLiteral("yyyy-MM-dd HH:mm")) + QStringLiteral(" +00:00");

// Everything a text-message recipient gets: what the gateway joins, subject in front.
int textMessageLength(const NotificationData &notification, const ReportTexts &texts)
{
    const QString subject = ReportComposer::textMessageSubject(notification, texts);
    return int(subject.size() + 1 + ReportComposer::textMessageText(subject, texts).size());
}

std::function<std::optional<Forecast>(const QByteArray &)> always(const Forecast &f)
{
    return [f](const QByteArray &) { return std::optional<Forecast>(f); };
}

} // namespace

class TestReportCompose : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void emptyDatabase()
    {
        const ReportTexts texts = ReportComposer::composeReport({});
        QCOMPARE(texts.summaryHtml, summary(0, 0, 0, 0, 0));
        QCOMPARE(texts.tableHtml, head + QStringLiteral("</table>"));
        QCOMPARE(texts.plainText,
                 QStringLiteral("Battery Report\nCount: 0\nExcellent: 0\nGood: 0\nFair: 0\nPoor: 0"));

        const NotificationData full = NotificationTest::periodic(PeriodicType::Daily, "08:00:00");
        QCOMPARE(ReportComposer::mailHtml(full, texts, headingTime),
                 heading + summary(0, 0, 0, 0, 0) + noOutlook + QStringLiteral("<hr>") + head + QStringLiteral("</table>"));
    }

    void batteriesInListOrderSeparatedByOneSpace()
    {
        BatteryRecord second = battery('C', 0x02, 90, "Second");
        second.reportAddress = 0x0A000102u; // 10.0.1.2
        second.cycleCount = 1234;
        second.fullCapacity = 0;
        const ReportTexts texts = ReportComposer::composeReport({battery('B', 0x01, 95), second});

        const QString rowB = QStringLiteral("<tr><td>B0123456789</td><td>Excellent</td><td>3200 mAh</td><td>17</td>"
                                            "<td>0102030405060708</td><td>Radio 7</td><td>2025-01-15</td>"
                                            "<td>192.168.0.1</td></tr>");
        const QString rowC = QStringLiteral("<tr><td>C0223456789</td><td>Good</td><td>\u2014</td><td>1234</td>"
                                            "<td>0102030405060708</td><td>Second</td><td>2025-01-15</td>"
                                            "<td>10.0.1.2</td></tr>");
        QCOMPARE(texts.tableHtml, head + rowB + QLatin1Char(' ') + rowC + QStringLiteral("</table>"));
        QVERIFY(texts.tableText.contains(QStringLiteral("C0223456789 | Good | \u2014 | 1234 cycles")));
        QCOMPARE(texts.summaryHtml, summary(2, 1, 1, 0, 0));
        QCOMPARE(texts.plainText,
                 QStringLiteral("Battery Report\nCount: 2\nExcellent: 1\nGood: 1\nFair: 0\nPoor: 0"));
    }

    void countsEveryHealthClass()
    {
        // 150 % is reported by the battery itself and counts as Poor.
        const QList<BatteryRecord> records{battery('A', 1, 95), battery('A', 2, 100), battery('A', 3, 87),
                                           battery('A', 4, 86), battery('A', 5, 80), battery('A', 6, 150),
                                           battery('A', 7, 0)};
        const ReportTexts texts = ReportComposer::composeReport(records);
        QCOMPARE(texts.summaryHtml, summary(7, 2, 1, 1, 3));
        QCOMPARE(texts.plainText,
                 QStringLiteral("Battery Report\nCount: 7\nExcellent: 2\nGood: 1\nFair: 1\nPoor: 3"));
        QCOMPARE(texts.tableHtml.count(QStringLiteral("<tr><td>")), 7);
        QCOMPARE(texts.tableHtml.count(QStringLiteral("</tr> <tr>")), 6);
    }

    void summaryReportLeavesTheTableOut()
    {
        const ReportTexts texts = ReportComposer::composeReport({battery('B', 0x01, 85)});
        const NotificationData summaryOnly =
            NotificationTest::periodic(PeriodicType::Weekly, "08:00:00", ReportKind::SummaryReport);
        QCOMPARE(ReportComposer::mailHtml(summaryOnly, texts, headingTime), heading + summary(1, 0, 0, 1, 0) + noOutlook);
        const QString text = ReportComposer::mailText(summaryOnly, texts, headingTime);
        QVERIFY2(text.contains(QStringLiteral("Poor: 0\n\nOutlook\nPoor now or within 30 days: 0\n")), qPrintable(text));
        QVERIFY(!text.contains(QStringLiteral("B0123456789")));
        QCOMPARE(texts.plainText,
                 QStringLiteral("Battery Report\nCount: 1\nExcellent: 0\nGood: 0\nFair: 1\nPoor: 0"));
    }

    void healthAlert()
    {
        const ReportTexts texts = ReportComposer::composeAlert(battery('B', 0x01, 84, "Truck 12"));
        QVERIFY(texts.summaryHtml.isEmpty());
        const QString table = head
            + QStringLiteral("<tr><td>B0123456789</td><td>Fair</td><td>3200 mAh</td><td>17</td>"
                             "<td>0102030405060708</td><td>Truck 12</td><td>2025-01-15</td>"
                             "<td>192.168.0.1</td></tr></table>");
        QCOMPARE(texts.tableHtml, table);
        // The time does not fit one message beside the subject: the lines every alert holds do.
        QCOMPARE(texts.plainText, QStringLiteral("Battery Health Alert\nHealth: Fair, 84 %\nSerial #: B0123456789\n"
                                                 "Alias: Truck 12\nESN: 0102030405060708"));
        QCOMPARE(ReportComposer::mailHtml(NotificationTest::triggered(1, {}), texts, headingTime),
                 heading + QStringLiteral("<p><b>Truck 12</b> is <b>Fair, 84 %</b>.<br>Forecast: No forecast yet<br>"
                                          "Newest report: ") + reportedAt + QStringLiteral("</p>") + table);
    }

    void batteryWithoutSerialText()
    {
        BatteryRecord ordinary = battery('B', 0x01, 0);
        ordinary.typeCode = 0x00001234; // not self-measuring: health from cycles and capacity, no serial text
        ordinary.cycleCount = 0;
        ordinary.fullCapacity = 3780;
        const ReportTexts alert = ReportComposer::composeAlert(ordinary);
        QVERIFY(alert.tableHtml.startsWith(head + QStringLiteral("<tr><td></td><td>Excellent</td>")));
        QVERIFY(alert.plainText.startsWith(QStringLiteral("Battery Health Alert\nHealth: Excellent, 100 %\nSerial #: \n"
                                                           "Alias: Radio 7\nESN: 0102030405060708")));
        const ReportTexts report = ReportComposer::composeReport({ordinary});
        QVERIFY(report.tableHtml.startsWith(head + QStringLiteral("<tr><td></td><td>Excellent</td>")));
    }

    void aliasIsShownAsText()
    {
        const QByteArray alias = "<b>x</b>&\"'";
        const ReportTexts alert = ReportComposer::composeAlert(battery('B', 0x01, 95, alias));
        QVERIFY2(alert.tableHtml.contains(QStringLiteral("<td>&lt;b&gt;x&lt;/b&gt;&amp;&quot;'</td>")),
                 qPrintable(alert.tableHtml));
        QVERIFY(!alert.tableHtml.contains(QStringLiteral("<b>")));
        // The text mail is not HTML and keeps the alias as it is.
        QVERIFY(alert.plainText.contains(QStringLiteral("\nAlias: <b>x</b>&\"'\n")));

        const ReportTexts report = ReportComposer::composeReport({battery('B', 0x01, 95, alias)});
        QVERIFY(report.tableHtml.contains(QStringLiteral("<td>&lt;b&gt;x&lt;/b&gt;&amp;&quot;'</td>")));
    }

    void placeholdersInValuesStayText()
    {
        // Chained substitution would put the next value in place of the alias's "%2" and "%1".
        const BatteryRecord record = battery('B', 0x01, 95, "a%2b%1c%8");
        const ReportTexts report = ReportComposer::composeReport({record});
        QVERIFY2(report.tableHtml.contains(QStringLiteral("<td>0102030405060708</td><td>a%2b%1c%8</td>"
                                                          "<td>2025-01-15</td><td>192.168.0.1</td></tr>")),
                 qPrintable(report.tableHtml));
        const ReportTexts alert = ReportComposer::composeAlert(record);
        QVERIFY(alert.plainText.startsWith(QStringLiteral("Battery Health Alert\nHealth: Excellent, 95 %\nSerial #: B0123456789\n"
                                                           "Alias: a%2b%1c%8\nESN: 0102030405060708")));
    }

    // A report opens with how the fleet stands: how many are due soon and the soonest ten, linked.
    void reportOpensWithTheOutlook()
    {
        QList<BatteryRecord> records;
        QHash<QByteArray, Forecast> forecasts;
        for (int i = 0; i < 12; ++i) {
            records.append(battery('A', quint8(i), 88, "Radio " + QByteArray::number(i)));
            Forecast f;
            f.status = Forecast::Status::Date;
            f.day = 20000 + 10 * (11 - i); // the last battery is due first, on the day itself
            forecasts.insert(records.last().serialKey(), f);
        }
        records.append(battery('Z', 99, 40)); // Poor now: counted by class, not as due
        ComposeContext context;
        context.forecastOf = [&forecasts](const QByteArray &key) -> std::optional<Forecast> {
            const auto it = forecasts.constFind(key);
            return it == forecasts.constEnd() ? std::nullopt : std::optional<Forecast>(*it);
        };
        context.publicUrl = QStringLiteral("https://vk.example.test/fleet");
        context.today = 20000;

        const ReportTexts texts = ReportComposer::composeReport(records, context);
        // Poor now is due within every span, and has no day among the soonest.
        QVERIFY2(texts.leadHtml.contains(QStringLiteral("within 30 days: 5<br>Poor now or within 90 days: 11<br>")),
                 qPrintable(texts.leadHtml));
        QCOMPARE(texts.leadHtml.count(QStringLiteral("<a href=")), ReportComposer::SoonestListed);
        const QString first = QStringLiteral("<tr><td>2024-10-04</td><td><a href=\"https://vk.example.test/fleet/batteries/"
                                             "0B00410B23456789\">Radio 11</a></td><td>A0B23456789</td><td>Good, 88 %</td></tr>");
        QVERIFY2(texts.leadHtml.contains(first), qPrintable(texts.leadHtml));
        QVERIFY(!texts.leadHtml.contains(QStringLiteral(">Radio 1<")));
        QVERIFY(texts.leadText.contains(QStringLiteral("\n2024-10-04  Radio 11 (A0B23456789), Good, 88 %  "
                                                       "https://vk.example.test/fleet/batteries/0B00410B23456789")));
    }

    void alertTellsForecastAndLink()
    {
        Forecast f;
        f.status = Forecast::Status::Date;
        f.day = 20100;
        f.earliestDay = 20050;
        f.latestDay = 20200;
        ComposeContext context;
        context.forecastOf = [&f](const QByteArray &) { return std::optional<Forecast>(f); };
        context.publicUrl = QStringLiteral("http://10.0.0.5:9363");
        const ReportTexts texts = ReportComposer::composeAlert(battery('B', 0x01, 84, "Truck 12"), context);
        QVERIFY2(texts.leadHtml.startsWith(QStringLiteral("<p><b><a href=\"http://10.0.0.5:9363/batteries/0100420123456789\">"
                                                          "Truck 12</a></b> is <b>Fair, 84 %</b>.<br>Forecast: Expected to reach "
                                                          "Poor around 2025-01-12 (likely between 2024-11-23 and 2025-04-22)<br>")),
                 qPrintable(texts.leadHtml));
        QVERIFY(texts.leadText.endsWith(QStringLiteral("\nhttp://10.0.0.5:9363/batteries/0100420123456789")));
    }

    // Text-message gateways show the subject in front of the text: the class must survive the cut.
    void textSubjectCutsTheRadioNotTheClass_data()
    {
        QTest::addColumn<QByteArray>("alias");
        QTest::addColumn<QString>("subject");
        QTest::newRow("short") << QByteArray("Truck 12") << QStringLiteral("Battery alert: Truck 12 is Fair");
        QTest::newRow("long, cut between words") << QByteArray("Löschzug Nordhafen Depot")
                              << QStringLiteral("Battery alert: Löschzug... is Fair");
    }
    void textSubjectCutsTheRadioNotTheClass()
    {
        QFETCH(QByteArray, alias);
        QFETCH(QString, subject);
        const ReportTexts texts = ReportComposer::composeAlert(battery('B', 0x01, 84, alias));
        const QString cut = ReportComposer::textMessageSubject(NotificationTest::triggered(1, {}), texts);
        QCOMPARE(cut, subject);
        QVERIFY(cut.size() <= ReportComposer::TextSubjectLength);
    }

    // One rule for Poor: a battery Poor by its newest report is told as Poor now, never with a day ahead,
    // and a newest report far from its history says so.
    void poorNowIsNeverDatedAndAFarReadingIsTold_data()
    {
        QTest::addColumn<int>("percent");
        QTest::addColumn<QString>("forecast");
        QTest::addColumn<QString>("doubt"); // empty: none told
        QTest::newRow("poor, dated ahead by its fit") << 78 << QStringLiteral("Poor now: replace it") << QString();
        QTest::newRow("a wild 0 %") << 0 << QStringLiteral("Poor now: replace it")
                                    << QStringLiteral("The newest report, 0 %, is far below this battery's history of about 90 %; "
                                                      "check the radio's reading.");
        QTest::newRow("fair, dated") << 84 << QStringLiteral("Expected to reach Poor around 2025-01-12") << QString();
    }

    void poorNowIsNeverDatedAndAFarReadingIsTold()
    {
        QFETCH(int, percent);
        QFETCH(QString, forecast);
        QFETCH(QString, doubt);
        Forecast f;
        f.status = Forecast::Status::Date;
        f.day = 20100;
        f.level = percent < 80 && percent > 0 ? 79 : percent == 0 ? 90 : 84;
        f.noise = 1;
        f.days = 200;
        ComposeContext context;
        context.forecastOf = always(f);
        context.today = 20090;
        const ReportTexts texts = ReportComposer::composeAlert(battery('B', 0x01, quint8(percent), "Truck 12"), context);
        QVERIFY2(texts.leadText.contains(QStringLiteral("Forecast: ") + forecast), qPrintable(texts.leadText));
        QCOMPARE(texts.leadText.contains(QStringLiteral("2025-01-12")), percent >= 80);
        QCOMPARE(texts.leadText.contains(doubt), true);
        QCOMPARE(texts.leadText.contains(QStringLiteral("check the radio's reading")), !doubt.isEmpty());
        QCOMPARE(texts.plainText.endsWith(QStringLiteral("\nCheck reading")), !doubt.isEmpty());
    }

    // Whatever the names, a text message is one SMS with its subject, and the subject keeps the class.
    void textMessagesFitOneSms_data()
    {
        QTest::addColumn<QByteArray>("alias");
        QTest::addColumn<bool>("withLink");
        QTest::newRow("short name") << QByteArray("Truck 12") << false;
        QTest::newRow("longest name, link") << QByteArray("Nordstra\xC3\x9F" "e Depot Wagen 7") << true;
    }

    void textMessagesFitOneSms()
    {
        QFETCH(QByteArray, alias);
        QFETCH(bool, withLink);
        Forecast f;
        f.status = Forecast::Status::Date;
        f.day = 20100;
        f.level = 90;
        f.days = 200;
        ComposeContext context;
        context.forecastOf = always(f);
        context.today = 20090;
        if (withLink)
            context.publicUrl = QStringLiteral("https://voltkeep.example.com");
        const NotificationData alert = NotificationTest::triggered(1, {});
        const BatteryRecord wild = battery('B', 0x01, 0, alias);
        const ReportTexts texts = ReportComposer::composeAlert(wild, context);
        QVERIFY2(textMessageLength(alert, texts) <= ReportComposer::TextMessageLength,
                 qPrintable(ReportComposer::textMessageSubject(alert, texts) + QLatin1Char('\n') + texts.plainText));
        QVERIFY(ReportComposer::textMessageSubject(alert, texts).endsWith(QStringLiteral(" Poor")));
        QVERIFY(texts.plainText.startsWith(QStringLiteral("Battery Health Alert\nHealth: Poor, 0 %\nSerial #: ")));
        const ReportTexts silent = ReportComposer::composeSilentAlert(wild, 30, QStringLiteral("Site 0017 Nordhafen"), context);
        QVERIFY(textMessageLength(alert, silent) <= ReportComposer::TextMessageLength);
        // A report's message tells how many are due soon where it has room.
        const NotificationData daily = NotificationTest::periodic(PeriodicType::Daily, "08:00:00");
        const ReportTexts report = ReportComposer::composeReport({wild, battery('C', 0x02, 90, alias)}, context);
        QVERIFY(textMessageLength(daily, report) <= ReportComposer::TextMessageLength);
        const QString subject = ReportComposer::textMessageSubject(daily, report);
        QVERIFY2(ReportComposer::textMessageText(subject, report).endsWith(QStringLiteral("\nDue within 30 days: 2")),
                 qPrintable(ReportComposer::textMessageText(subject, report)));
    }

    void unknownNotificationTypeHasNoHtml()
    {
        NotificationData odd = NotificationTest::triggered(1, {});
        odd.notificationType = NotificationKind(4);
        QVERIFY(ReportComposer::mailHtml(odd, ReportComposer::composeAlert(battery('B', 1, 95)),
                                              headingTime)
                    .isEmpty());
    }
};

QTEST_GUILESS_MAIN(TestReportCompose)
#include "tst_reportcompose.moc"
