#include "ReportComposer.h"

#include "LocalTimeText.h"
#include "ReplacementOutlook.h"

#include <QDate>
#include <QStringList>

#include <algorithm>
#include <vector>

namespace NVL::Engineering::VK {

// Each template is filled in one step: a placeholder inside a value (an alias "%2") stays text.
namespace {


const QString rowTemplate = QStringLiteral(
    "<tr><td>%1</td><td>%2</td><td>%3</td><td>%4</td><td>%5</td><td>%6</td><td>%7</td><td>%8</td></tr>");
const QString tableHead = QStringLiteral(
    "<table border=\"1\"><tr><th>Serial#</th><th>Health</th><th>Full Capacity</th><th>Cycle Count</th>"
    "<th>Radio ESN</th><th>Radio Alias</th><th>Report Date</th><th>Report IP</th></tr>");
const QString tableEnd = QStringLiteral("</table>");
const QString summaryTemplate = QStringLiteral(
    "<table><tr><td>Count:</td><td>%1</td></tr><tr><td>Excellent:</td><td>%2</td></tr>"
    "<tr><td>Good:</td><td>%3</td></tr><tr><td>Fair:</td><td>%4</td></tr>"
    "<tr><td>Poor:</td><td>%5</td></tr></table>");
const QString reportTextTemplate =
    QStringLiteral("Battery Report\nCount: %1\nExcellent: %2\nGood: %3\nFair: %4\nPoor: %5");
const QString alertTextTemplate =
    QStringLiteral("Battery Health Alert\nHealth: %1\nSerial #: %2\nAlias: %3\nESN: %4");
const QString headingTemplate = QStringLiteral("<img src='cid:tamsel' /><h1>Voltkeep Report: %1</h1>");
const QString rule = QStringLiteral("<hr>");
const QString rowTextTemplate = QStringLiteral("%1 | %2 | %3 | %4 cycles | ESN %5 | %6 | %7 | %8");

QString dayText(qint64 day)
{
    return QDate(1970, 1, 1).addDays(day).toString(Qt::ISODate);
}


QString batteryUrl(const ComposeContext &context, const BatteryRecord &record)
{
    if (context.publicUrl.isEmpty())
        return QString();
    return context.publicUrl + QStringLiteral("/batteries/") + QString::fromLatin1(record.serialKey().toHex().toUpper());
}

QString linkHtml(const QString &url, const QString &label)
{
    return url.isEmpty() ? label : QStringLiteral("<a href=\"%1\">%2</a>").arg(url.toHtmlEscaped(), label);
}

// Batteries that do not measure their own health report no serial text; their key names them.
QString serialOrKey(const BatteryRecord &record)
{
    const QString serial = serialText(record);
    return serial.isEmpty() ? QString::fromLatin1(record.serialKey().toHex().toUpper()) : serial;
}

QString radioName(const BatteryRecord &record)
{
    const QString alias = aliasText(record).trimmed();
    return alias.isEmpty() ? serialOrKey(record) : alias;
}

// With the offset from UTC: readers of a fleet's mail sit in more than one zone.
QString reportTimeText(const BatteryRecord &record)
{
    return localTimeText(QDateTime::fromSecsSinceEpoch(qint64(record.reportTime))).remove(16, 3);
}

// What a person reads of a battery's replacement, in plain words, by the one rule.
QString outlookSentence(const ReplacementOutlook &o, const std::optional<Forecast> &forecast)
{
    switch (o.kind) {
    case ReplacementOutlook::Kind::PoorNow: return QStringLiteral("Poor now: replace it");
    case ReplacementOutlook::Kind::AtBoundary: return QStringLiteral("at the Poor boundary by its history: replace it soon");
    case ReplacementOutlook::Kind::Date: {
        QString text = QStringLiteral("expected to reach Poor around ") + dayText(*o.day);
        if (forecast && forecast->earliestDay && forecast->latestDay)
            text += QStringLiteral(" (likely between %1 and %2)").arg(dayText(*forecast->earliestDay), dayText(*forecast->latestDay));
        else if (forecast && forecast->earliestDay)
            text += QStringLiteral(" (not before %1)").arg(dayText(*forecast->earliestDay));
        return text;
    }
    case ReplacementOutlook::Kind::Later:
        return forecast && forecast->status == Forecast::Status::BeyondCap ? QStringLiteral("not expected to reach Poor within ten years")
                                                                          : QStringLiteral("its health does not fall");
    case ReplacementOutlook::Kind::Unknown: break;
    }
    return forecast ? QStringLiteral("too little history yet for an expected date") : QStringLiteral("no forecast yet");
}

// The same in the few words a text message has room for; empty where there is nothing to plan.
QString outlookWords(const ReplacementOutlook &o, qint64 today)
{
    switch (o.kind) {
    case ReplacementOutlook::Kind::PoorNow:
    case ReplacementOutlook::Kind::AtBoundary: return QStringLiteral("Replace now");
    case ReplacementOutlook::Kind::Date:
        if (*o.day - today <= 90)
            return QStringLiteral("Poor in ~%1 d").arg(std::max<qint64>(*o.day - today, 0));
        return QStringLiteral("Poor ~") + dayText(*o.day).left(7);
    case ReplacementOutlook::Kind::Later: return QStringLiteral("Not due for years");
    case ReplacementOutlook::Kind::Unknown: break;
    }
    return QString();
}

// The subject of an alert cut to TextSubjectLength: only the radio's name gives way, between its words
// ("..." where it was cut), never the class it fell to.
QString cutRadio(const QString &subject, const ReportTexts &texts)
{
    if (subject.size() <= ReportComposer::TextSubjectLength)
        return subject;
    const QString radio = texts.alertAlias.isEmpty() ? texts.alertSerial : texts.alertAlias;
    const QString tail = QStringLiteral("... is ") + texts.alertClass;
    const qsizetype room = ReportComposer::TextSubjectLength - (subject.size() - radio.size()) - 3;
    QString cut = radio.left(std::max<qsizetype>(room, 0));
    if (radio.size() > cut.size() && radio.at(cut.size()) != QLatin1Char(' ')) {
        const qsizetype blank = cut.lastIndexOf(QLatin1Char(' '));
        // A name of one long word is cut within it: the class must stay.
        if (blank > 0)
            cut.truncate(blank);
    }
    return QStringLiteral("Battery alert: ") + cut.trimmed() + tail;
}

// A text message is one SMS: the subject (where the gateway joins it in front) and the text together at
// most TextMessageLength characters. The lines a text message must hold go first; the others follow while
// they fit. Where even those it must hold do not fit beside the subject, the subject gives way.
void fitTextMessage(ReportTexts &texts, QString subject, const QStringList &required, const QStringList &optional)
{
    QString body = required.join(QLatin1Char('\n'));
    if (subject.size() + 1 + body.size() > ReportComposer::TextMessageLength && !texts.alertClass.isEmpty())
        subject = QStringLiteral("Battery alert: ") + texts.alertClass;
    for (const QString &line : optional) {
        if (!line.isEmpty() && subject.size() + 1 + body.size() + 1 + line.size() <= ReportComposer::TextMessageLength)
            body += QLatin1Char('\n') + line;
    }
    texts.plainText = body;
    texts.textSubject = subject;
}

QString batteryRowText(const BatteryRecord &record)
{
    return rowTextTemplate.arg(serialText(record), healthName(record), capacityShown(record.fullCapacity),
                               cycleCountText(record), esnText(record), aliasText(record), reportDateText(record),
                               reportAddressText(record));
}

// Serial and alias come from the radios; they must show as text, not as markup.
QString batteryRow(const BatteryRecord &record)
{
    return rowTemplate.arg(serialText(record).toHtmlEscaped(), healthName(record), capacityShown(record.fullCapacity),
                           cycleCountText(record), esnText(record), aliasText(record).toHtmlEscaped(),
                           reportDateText(record), reportAddressText(record));
}

} // namespace

ReportTexts ReportComposer::composeReport(const QList<BatteryRecord> &records, const ComposeContext &context)
{
    int counts[4] = {};
    int dueWithin[std::size(DueSpans)] = {};
    struct Due
    {
        qint64 day;
        const BatteryRecord *record;
        Forecast forecast;
    };
    std::vector<Due> due;
    QStringList rows;
    QStringList rowTexts;
    rows.reserve(records.size());
    rowTexts.reserve(records.size());
    for (const BatteryRecord &record : records) {
        ++counts[healthClass(record)];
        rows.append(batteryRow(record));
        rowTexts.append(batteryRowText(record));
        const std::optional<Forecast> forecast = context.forecastOf ? context.forecastOf(record.serialKey()) : std::nullopt;
        const ReplacementOutlook outlook = ReplacementOutlook::of(record, healthClass(record), forecast);
        for (std::size_t s = 0; s < std::size(DueSpans); ++s)
            dueWithin[s] += outlook.dueBy(context.today + DueSpans[s]) ? 1 : 0;
        // The soonest to reach Poor are those not there yet: one Poor now has no day ahead.
        if (outlook.kind == ReplacementOutlook::Kind::Date)
            due.push_back({*outlook.day, &record, *forecast});
    }
    const std::size_t listed = std::min(due.size(), std::size_t(SoonestListed));
    std::partial_sort(due.begin(), due.begin() + std::ptrdiff_t(listed), due.end(),
                      [](const Due &a, const Due &b) { return a.day < b.day; });
    due.resize(listed);

    const QString count = QString::number(records.size());
    const QString excellent = QString::number(counts[Excellent]);
    const QString good = QString::number(counts[Good]);
    const QString fair = QString::number(counts[Fair]);
    const QString poor = QString::number(counts[Poor]);

    ReportTexts texts;
    texts.summaryHtml = summaryTemplate.arg(count, excellent, good, fair, poor);
    texts.tableHtml = tableHead + rows.join(QLatin1Char(' ')) + tableEnd;
    texts.summaryText = reportTextTemplate.arg(count, excellent, good, fair, poor);
    // The subject is the notification's: set where the mail is made (textMessageSubject).
    texts.plainText = texts.summaryText;
    texts.dueSoonLine = QStringLiteral("Due within %1 days: %2").arg(DueSpans[0]).arg(dueWithin[0]);
    texts.tableText = QStringLiteral("Serial# | Health | Full Capacity | Cycle Count | Radio ESN | Radio Alias | "
                                     "Report Date | Report IP\n")
        + rowTexts.join(QLatin1Char('\n'));

    QString lead = QStringLiteral("<h2>Outlook</h2><p>");
    QString leadText = QStringLiteral("Outlook\n");
    for (std::size_t s = 0; s < std::size(DueSpans); ++s) {
        const QString line = QStringLiteral("Poor now or within %1 days: %2").arg(DueSpans[s]).arg(dueWithin[s]);
        lead += line + QStringLiteral("<br>");
        leadText += line + QLatin1Char('\n');
    }
    lead += QStringLiteral("</p>");
    if (due.empty()) {
        lead += QStringLiteral("<p>No battery has a forecast date.</p>");
        leadText += QStringLiteral("No battery has a forecast date.");
    } else {
        lead += QStringLiteral("<h3>Soonest to reach Poor</h3><table border=\"1\"><tr><th>Forecast</th>"
                               "<th>Radio</th><th>Serial#</th><th>Health</th></tr>");
        leadText += QStringLiteral("Soonest to reach Poor:");
        for (const Due &d : due) {
            const BatteryRecord &r = *d.record;
            const QString health = QStringLiteral("%1, %2 %").arg(healthName(r)).arg(healthPercentage(r));
            const QString url = batteryUrl(context, r);
            lead += QStringLiteral("<tr><td>%1</td><td>%2</td><td>%3</td><td>%4</td></tr>")
                        .arg(dayText(d.day), linkHtml(url, radioName(r).toHtmlEscaped()), serialOrKey(r).toHtmlEscaped(), health);
            leadText += QStringLiteral("\n%1  %2 (%3), %4").arg(dayText(d.day), radioName(r), serialOrKey(r), health);
            if (!url.isEmpty())
                leadText += QStringLiteral("  ") + url;
        }
        lead += tableEnd;
    }
    // The section says something or is left out: a fleet with nothing flagged, silent or to buy gets none.
    const auto worthTelling = [](const ComposeContext::Outlook &o) {
        return !o.flaggedSites.isEmpty() || !o.flaggedAddresses.isEmpty() || o.silentBatteries > 0
            || std::any_of(o.plan.cbegin(), o.plan.cend(), [](const ComposeContext::Outlook::Month &m) { return m.expected >= 0.5; });
    };
    if (context.outlook && worthTelling(*context.outlook)) {
        const ComposeContext::Outlook &o = *context.outlook;
        const QString sites = o.flaggedSites.isEmpty() ? QStringLiteral("none") : o.flaggedSites.join(QStringLiteral("; "));
        const QString silent = QStringLiteral("Silent for %1 days or more: %2").arg(o.silentDays).arg(o.silentBatteries);
        const QString addresses = o.flaggedAddresses.isEmpty() ? QStringLiteral("none") : o.flaggedAddresses.join(QStringLiteral("; "));
        lead += QStringLiteral("<h2>Fleet insight</h2><p>Sites that wear batteries faster: %1<br>Chargers and gateways that "
                               "wear batteries faster: %2<br>%3</p>")
                    .arg(sites.toHtmlEscaped(), addresses.toHtmlEscaped(), silent);
        leadText += QStringLiteral("\n\nFleet insight\nSites that wear batteries faster: %1\nChargers and gateways that wear "
                                   "batteries faster: %2\n%3")
                        .arg(sites, addresses, silent);
        if (!o.plan.isEmpty()) {
            lead += QStringLiteral("<h3>To buy</h3><table border=\"1\"><tr><th>Month</th><th>Expected</th><th>Range</th></tr>");
            leadText += QStringLiteral("\nTo buy:");
            for (const ComposeContext::Outlook::Month &m : o.plan) {
                const QString month = m.month.toString(QStringLiteral("yyyy-MM"));
                const QString expected = QString::number(m.expected, 'f', 0);
                const QString range = QStringLiteral("%1-%2").arg(QString::number(m.low, 'f', 0), QString::number(m.high, 'f', 0));
                lead += QStringLiteral("<tr><td>%1</td><td>%2</td><td>%3</td></tr>").arg(month, expected, range);
                leadText += QStringLiteral("\n%1  %2 (%3)").arg(month, expected, range);
            }
            lead += tableEnd;
        }
    }
    texts.leadHtml = lead;
    texts.leadText = leadText;
    return texts;
}

ReportTexts ReportComposer::composeSilentAlert(const BatteryRecord &record, int days, const QString &lastSite,
                                               const ComposeContext &context)
{
    const QString health = QStringLiteral("%1, %2 %").arg(healthName(record)).arg(healthPercentage(record));
    const QString reported = reportTimeText(record);
    const QString site = lastSite.isEmpty() ? QStringLiteral("unknown") : lastSite;
    const QString url = batteryUrl(context, record);
    ReportTexts texts;
    texts.tableHtml = tableHead + batteryRow(record) + tableEnd;
    texts.tableText = batteryRowText(record);
    texts.leadHtml = QStringLiteral("<p><b>%1</b> has not reported for %2 days: lost, stolen, broken or in a drawer?<br>"
                                    "Newest report: %3 from %4<br>Health then: %5</p>")
                         .arg(linkHtml(url, radioName(record).toHtmlEscaped()))
                         .arg(days)
                         .arg(reported, site.toHtmlEscaped(), health);
    texts.leadText = QStringLiteral("%1 has not reported for %2 days: lost, stolen, broken or in a drawer?\nNewest report: "
                                    "%3 from %4\nHealth then: %5")
                         .arg(radioName(record))
                         .arg(days)
                         .arg(reported, site, health);
    if (!url.isEmpty())
        texts.leadText += QLatin1Char('\n') + url;
    texts.alertAlias = aliasText(record).trimmed();
    texts.alertSerial = serialOrKey(record);
    texts.alertClass = QStringLiteral("silent");
    fitTextMessage(texts,
                   cutRadio(QStringLiteral("Battery alert: %1 is silent").arg(texts.alertAlias.isEmpty() ? texts.alertSerial : texts.alertAlias), texts),
                   {QStringLiteral("Battery Silent Alert"), QStringLiteral("Silent for: %1 days").arg(days),
                    QStringLiteral("Serial #: ") + serialText(record), QStringLiteral("Alias: ") + aliasText(record)},
                   {QStringLiteral("Last site: ") + site, QStringLiteral("Reported: ") + reported});
    return texts;
}

ReportTexts ReportComposer::composeSilentAlert(const QList<Silence> &silences, const ComposeContext &context)
{
    if (silences.size() == 1)
        return composeSilentAlert(silences[0].record, silences[0].days, silences[0].lastSite, context);
    const qsizetype listed = std::min<qsizetype>(silences.size(), SilentListed);
    const qsizetype rest = silences.size() - listed;
    ReportTexts texts;
    QStringList rows, rowTexts, names;
    QString lead = QStringLiteral("<p><b>%1 batteries</b> have stopped reporting: lost, stolen, broken or in a drawer?</p>"
                                  "<table border=\"1\"><tr><th>Radio</th><th>Serial#</th><th>Silent for</th>"
                                  "<th>Newest report</th><th>From</th><th>Health then</th></tr>")
                       .arg(silences.size());
    QString leadText = QStringLiteral("%1 batteries have stopped reporting: lost, stolen, broken or in a drawer?")
                           .arg(silences.size());
    for (qsizetype i = 0; i < listed; ++i) {
        const Silence &s = silences[i];
        const BatteryRecord &r = s.record;
        const QString health = QStringLiteral("%1, %2 %").arg(healthName(r)).arg(healthPercentage(r));
        const QString site = s.lastSite.isEmpty() ? QStringLiteral("unknown") : s.lastSite;
        const QString url = batteryUrl(context, r);
        lead += QStringLiteral("<tr><td>%1</td><td>%2</td><td>%3 days</td><td>%4</td><td>%5</td><td>%6</td></tr>")
                    .arg(linkHtml(url, radioName(r).toHtmlEscaped()), serialOrKey(r).toHtmlEscaped())
                    .arg(s.days)
                    .arg(reportTimeText(r), site.toHtmlEscaped(), health);
        leadText += QStringLiteral("\n%1 (%2): %3 days, newest report %4 from %5, %6")
                        .arg(radioName(r), serialOrKey(r))
                        .arg(s.days)
                        .arg(reportTimeText(r), site, health);
        if (!url.isEmpty())
            leadText += QStringLiteral("  ") + url;
        rows.append(batteryRow(r));
        rowTexts.append(batteryRowText(r));
        names.append(radioName(r));
    }
    lead += tableEnd;
    if (rest > 0) {
        const QString more = QStringLiteral("And %1 more.").arg(rest);
        const QString where = context.publicUrl.isEmpty() ? QString() : context.publicUrl + QStringLiteral("/silent");
        lead += QStringLiteral("<p>%1%2</p>").arg(more, where.isEmpty() ? QString() : QStringLiteral(" ") + linkHtml(where, QStringLiteral("All silent batteries")));
        leadText += QLatin1Char('\n') + more + (where.isEmpty() ? QString() : QStringLiteral(" All: ") + where);
    }
    texts.leadHtml = lead;
    texts.leadText = leadText;
    texts.tableHtml = tableHead + rows.join(QLatin1Char(' ')) + tableEnd;
    texts.tableText = rowTexts.join(QLatin1Char('\n'));
    // Text messages are short: the count and the first few names.
    const qsizetype named = std::min<qsizetype>(names.size(), 3);
    texts.alertSerial = QStringLiteral("%1 batteries").arg(silences.size());
    texts.alertClass = QStringLiteral("silent");
    fitTextMessage(texts, QStringLiteral("Battery alert: %1 batteries are silent").arg(silences.size()),
                   {QStringLiteral("Battery Silent Alert"), QStringLiteral("Silent: %1 batteries").arg(silences.size())},
                   {names.mid(0, named).join(QStringLiteral(", "))
                    + (silences.size() > named ? QStringLiteral(" and %1 more").arg(silences.size() - named) : QString())});
    texts.alertBatteries = int(silences.size());
    return texts;
}

ReportTexts ReportComposer::composeAlert(const BatteryRecord &record, const ComposeContext &context)
{
    const std::optional<Forecast> forecast = context.forecastOf ? context.forecastOf(record.serialKey()) : std::nullopt;
    const QString health = QStringLiteral("%1, %2 %").arg(healthName(record)).arg(healthPercentage(record));
    const ReplacementOutlook outlook = ReplacementOutlook::of(record, healthClass(record), forecast);
    QString forecastLine = outlookSentence(outlook, forecast);
    forecastLine[0] = forecastLine[0].toUpper();
    QString doubt = outlook.doubt();
    if (!doubt.isEmpty())
        doubt[0] = doubt[0].toUpper();
    const QString reported = reportTimeText(record);
    const QString url = batteryUrl(context, record);

    ReportTexts texts;
    texts.tableHtml = tableHead + batteryRow(record) + tableEnd;
    texts.tableText = batteryRowText(record);
    texts.leadHtml = QStringLiteral("<p><b>%1</b> is <b>%2</b>.<br>Forecast: %3<br>%4Newest report: %5</p>")
                         .arg(linkHtml(url, radioName(record).toHtmlEscaped()), health, forecastLine,
                              doubt.isEmpty() ? QString() : doubt.toHtmlEscaped() + QStringLiteral(".<br>"), reported);
    texts.leadText = QStringLiteral("%1 is %2.\nForecast: %3\n%4Newest report: %5")
                         .arg(radioName(record), health, forecastLine, doubt.isEmpty() ? QString() : doubt + QStringLiteral(".\n"),
                              reported);
    if (!url.isEmpty())
        texts.leadText += QLatin1Char('\n') + url;
    texts.alertAlias = aliasText(record).trimmed();
    texts.alertSerial = serialText(record);
    texts.alertClass = healthName(record);
    const QString subject = QStringLiteral("Battery alert: %1 is %2")
                                .arg(texts.alertAlias.isEmpty() ? texts.alertSerial : texts.alertAlias, texts.alertClass);
    fitTextMessage(texts, cutRadio(subject, texts), alertTextTemplate.arg(health, serialText(record), aliasText(record), esnText(record)).split(QLatin1Char('\n')),
                   {outlookWords(outlook, context.today), outlook.doubtedPercent ? QStringLiteral("Check reading") : QString(),
                    QStringLiteral("Reported: ") + reported, url});
    return texts;
}


QString ReportComposer::mailSubject(const NotificationData &notification, const ReportTexts &texts)
{
    if (notification.notificationType == NotificationKind::Triggered && texts.alertBatteries > 1)
        return QStringLiteral("Battery alert: %1 batteries are %2").arg(texts.alertBatteries).arg(texts.alertClass);
    if (notification.notificationType == NotificationKind::Triggered) {
        const QString radio = texts.alertAlias.isEmpty() ? texts.alertSerial : texts.alertAlias;
        return QStringLiteral("Battery alert: %1 is %2").arg(radio, texts.alertClass);
    }
    return QStringLiteral("Battery report: ") + QString::fromStdString(notification.alias);
}

QString ReportComposer::mailHtml(const NotificationData &notification, const ReportTexts &texts,
                                      const QDateTime &now)
{
    const QString heading = headingTemplate.arg(now.toString(Qt::TextDate)) + rule;
    switch (notification.notificationType) {
    case NotificationKind::Periodic:
        if (notification.reportType == ReportKind::FullReport)
            return heading + texts.summaryHtml + texts.leadHtml + rule + texts.tableHtml;
        return heading + texts.summaryHtml + texts.leadHtml;
    case NotificationKind::Triggered:
        return heading + texts.leadHtml + texts.tableHtml;
    }
    return QString();
}

QString ReportComposer::mailText(const NotificationData &notification, const ReportTexts &texts, const QDateTime &now)
{
    const QString heading = QStringLiteral("Voltkeep Report: ") + now.toString(Qt::TextDate) + QStringLiteral("\n\n");
    const QString gap = QStringLiteral("\n\n");
    switch (notification.notificationType) {
    case NotificationKind::Periodic:
        if (notification.reportType == ReportKind::FullReport)
            return heading + texts.summaryText + gap + texts.leadText + gap + texts.tableText + QLatin1Char('\n');
        return heading + texts.summaryText + gap + texts.leadText + QLatin1Char('\n');
    case NotificationKind::Triggered:
        return heading + texts.leadText + gap + texts.tableText + QLatin1Char('\n');
    }
    return QString();
}

QString ReportComposer::textMessageSubject(const QString &subject)
{
    if (subject.size() <= TextSubjectLength)
        return subject;
    // Between words where one ends late enough; ASCII dots, since a character outside the gateways'
    // alphabet would halve what one message holds.
    QString cut = subject.left(TextSubjectLength - 3);
    const qsizetype blank = cut.lastIndexOf(QLatin1Char(' '));
    if (subject.at(cut.size()) != QLatin1Char(' ') && blank > TextSubjectLength / 2)
        cut.truncate(blank);
    return cut.trimmed() + QStringLiteral("...");
}

QString ReportComposer::textMessageText(const QString &subject, const ReportTexts &texts)
{
    if (texts.dueSoonLine.isEmpty() || subject.size() + 1 + texts.plainText.size() + 1 + texts.dueSoonLine.size() > TextMessageLength)
        return texts.plainText;
    return texts.plainText + QLatin1Char('\n') + texts.dueSoonLine;
}

QString ReportComposer::textMessageSubject(const NotificationData &notification, const ReportTexts &texts)
{
    // Composed with its text, so that both fit one message together.
    if (!texts.textSubject.isEmpty())
        return texts.textSubject;
    const QString subject = mailSubject(notification, texts);
    if (notification.notificationType != NotificationKind::Triggered || texts.alertBatteries > 1)
        return textMessageSubject(subject);
    return cutRadio(subject, texts);
}

} // namespace NVL::Engineering::VK
