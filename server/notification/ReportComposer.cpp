#include "ReportComposer.h"

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

QString forecastText(const std::optional<Forecast> &forecast)
{
    if (!forecast)
        return QStringLiteral("not fitted yet");
    switch (forecast->status) {
    case Forecast::Status::Now:
        return QStringLiteral("at the Poor boundary now");
    case Forecast::Status::Date: {
        if (!forecast->day)
            return QStringLiteral("not fitted yet");
        QString text = QStringLiteral("Poor around ") + dayText(*forecast->day);
        if (forecast->earliestDay && forecast->latestDay)
            text += QStringLiteral(" (between %1 and %2)").arg(dayText(*forecast->earliestDay), dayText(*forecast->latestDay));
        else if (forecast->earliestDay)
            text += QStringLiteral(" (not before %1)").arg(dayText(*forecast->earliestDay));
        return text;
    }
    case Forecast::Status::BeyondCap:
        return QStringLiteral("Poor in more than 10 years");
    case Forecast::Status::NoDecline:
        return QStringLiteral("no decline");
    case Forecast::Status::NotEnoughHistory:
        return QStringLiteral("too little history");
    }
    return QString();
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

QString reportTimeText(const BatteryRecord &record)
{
    return QDateTime::fromSecsSinceEpoch(qint64(record.reportTime), Qt::LocalTime).toString(QStringLiteral("yyyy-MM-dd HH:mm"));
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
        if (!forecast || forecast->status != Forecast::Status::Date || !forecast->day)
            continue;
        for (std::size_t s = 0; s < std::size(DueSpans); ++s)
            dueWithin[s] += *forecast->day <= context.today + DueSpans[s] ? 1 : 0;
        due.push_back({*forecast->day, &record, *forecast});
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
    texts.plainText = reportTextTemplate.arg(count, excellent, good, fair, poor);
    texts.summaryText = texts.plainText;
    texts.tableText = QStringLiteral("Serial# | Health | Full Capacity | Cycle Count | Radio ESN | Radio Alias | "
                                     "Report Date | Report IP\n")
        + rowTexts.join(QLatin1Char('\n'));

    QString lead = QStringLiteral("<h2>Outlook</h2><p>");
    QString leadText = QStringLiteral("Outlook\n");
    for (std::size_t s = 0; s < std::size(DueSpans); ++s) {
        const QString line = QStringLiteral("Reach Poor within %1 days: %2").arg(DueSpans[s]).arg(dueWithin[s]);
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
        return !o.flaggedSites.isEmpty() || o.silentBatteries > 0
            || std::any_of(o.plan.cbegin(), o.plan.cend(), [](const ComposeContext::Outlook::Month &m) { return m.expected >= 0.5; });
    };
    if (context.outlook && worthTelling(*context.outlook)) {
        const ComposeContext::Outlook &o = *context.outlook;
        const QString sites = o.flaggedSites.isEmpty() ? QStringLiteral("none") : o.flaggedSites.join(QStringLiteral("; "));
        const QString silent = QStringLiteral("Silent for %1 days or more: %2").arg(o.silentDays).arg(o.silentBatteries);
        lead += QStringLiteral("<h2>Fleet insight</h2><p>Sites that wear batteries faster: %1<br>%2</p>")
                    .arg(sites.toHtmlEscaped(), silent);
        leadText += QStringLiteral("\n\nFleet insight\nSites that wear batteries faster: %1\n%2").arg(sites, silent);
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
    texts.plainText = QStringLiteral("Battery Silent Alert\nSilent for: %1 days\nSerial #: %2\nAlias: %3\nLast site: %4\n"
                                     "Reported: %5")
                          .arg(days)
                          .arg(serialText(record), aliasText(record), site, reported);
    texts.alertAlias = aliasText(record).trimmed();
    texts.alertSerial = serialOrKey(record);
    texts.alertClass = QStringLiteral("silent");
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
    texts.plainText = QStringLiteral("Battery Silent Alert\nSilent: %1 batteries\n%2%3")
                          .arg(silences.size())
                          .arg(names.mid(0, named).join(QStringLiteral(", ")))
                          .arg(silences.size() > named ? QStringLiteral(" and %1 more").arg(silences.size() - named) : QString());
    texts.alertSerial = QStringLiteral("%1 batteries").arg(silences.size());
    texts.alertClass = QStringLiteral("silent");
    texts.alertBatteries = int(silences.size());
    return texts;
}

ReportTexts ReportComposer::composeAlert(const BatteryRecord &record, const ComposeContext &context)
{
    const std::optional<Forecast> forecast = context.forecastOf ? context.forecastOf(record.serialKey()) : std::nullopt;
    const QString health = QStringLiteral("%1, %2 %").arg(healthName(record)).arg(healthPercentage(record));
    // A battery that is Poor already was foreseen, not forecast: the fit predates this report. A fit that
    // is still ahead of it is no date to plan with: the report came first, and the next ones tell.
    const bool poorDated = healthClass(record) == Poor && forecast && forecast->status == Forecast::Status::Date && forecast->day;
    QString forecastLine = forecastText(forecast);
    if (poorDated && *forecast->day <= context.today)
        forecastLine = QStringLiteral("Poor now; foreseen for %1").arg(dayText(*forecast->day));
    else if (poorDated)
        forecastLine = QStringLiteral("Poor by this report, ahead of its history's fit (%1)").arg(dayText(*forecast->day));
    const QString reported = reportTimeText(record);
    const QString url = batteryUrl(context, record);

    ReportTexts texts;
    texts.tableHtml = tableHead + batteryRow(record) + tableEnd;
    texts.tableText = batteryRowText(record);
    texts.leadHtml = QStringLiteral("<p><b>%1</b> is <b>%2</b>.<br>Forecast: %3<br>Newest report: %4</p>")
                         .arg(linkHtml(url, radioName(record).toHtmlEscaped()), health, forecastLine, reported);
    texts.leadText = QStringLiteral("%1 is %2.\nForecast: %3\nNewest report: %4")
                         .arg(radioName(record), health, forecastLine, reported);
    if (!url.isEmpty())
        texts.leadText += QLatin1Char('\n') + url;
    texts.plainText =
        alertTextTemplate.arg(health, serialText(record), aliasText(record), esnText(record))
        + QStringLiteral("\nForecast: %1\nReported: %2").arg(forecastLine, reported);
    if (!url.isEmpty())
        texts.plainText += QLatin1Char('\n') + url;
    texts.alertAlias = aliasText(record).trimmed();
    texts.alertSerial = serialText(record);
    texts.alertClass = healthName(record);
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

QString ReportComposer::textMessageSubject(const NotificationData &notification, const ReportTexts &texts)
{
    const QString subject = mailSubject(notification, texts);
    if (notification.notificationType != NotificationKind::Triggered || texts.alertBatteries > 1
        || subject.size() <= TextSubjectLength)
        return textMessageSubject(subject);
    const QString radio = texts.alertAlias.isEmpty() ? texts.alertSerial : texts.alertAlias;
    const QString tail = QStringLiteral("... is ") + texts.alertClass;
    const qsizetype room = TextSubjectLength - (subject.size() - radio.size()) - 3;
    return QStringLiteral("Battery alert: ") + radio.left(std::max<qsizetype>(room, 1)).trimmed() + tail;
}

} // namespace NVL::Engineering::VK
