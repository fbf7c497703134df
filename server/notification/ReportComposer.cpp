#include "ReportComposer.h"

#include <QStringList>

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

// Serial and alias come from the radios; they must show as text, not as markup.
QString batteryRow(const BatteryRecord &record)
{
    return rowTemplate.arg(serialText(record).toHtmlEscaped(), healthName(record), capacityText(record),
                           cycleCountText(record), esnText(record), aliasText(record).toHtmlEscaped(),
                           reportDateText(record), reportAddressText(record));
}

} // namespace

ReportTexts ReportComposer::composeReport(const QList<BatteryRecord> &records)
{
    int counts[4] = {};
    QStringList rows;
    rows.reserve(records.size());
    for (const BatteryRecord &record : records) {
        ++counts[healthClass(record)];
        rows.append(batteryRow(record));
    }
    const QString count = QString::number(records.size());
    const QString excellent = QString::number(counts[Excellent]);
    const QString good = QString::number(counts[Good]);
    const QString fair = QString::number(counts[Fair]);
    const QString poor = QString::number(counts[Poor]);

    ReportTexts texts;
    texts.summaryHtml = summaryTemplate.arg(count, excellent, good, fair, poor);
    texts.tableHtml = tableHead + rows.join(QLatin1Char(' ')) + tableEnd;
    texts.plainText = reportTextTemplate.arg(count, excellent, good, fair, poor);
    return texts;
}

ReportTexts ReportComposer::composeAlert(const BatteryRecord &record)
{
    ReportTexts texts;
    texts.tableHtml = tableHead + batteryRow(record) + tableEnd;
    texts.plainText =
        alertTextTemplate.arg(healthName(record), serialText(record), aliasText(record), esnText(record));
    texts.alertAlias = aliasText(record).trimmed();
    texts.alertSerial = serialText(record);
    texts.alertClass = healthName(record);
    return texts;
}

QString ReportComposer::mailSubject(const NotificationData &notification, const ReportTexts &texts)
{
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
            return heading + texts.summaryHtml + rule + texts.tableHtml;
        return heading + texts.summaryHtml;
    case NotificationKind::Triggered:
        return heading + texts.tableHtml;
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

} // namespace NVL::Engineering::VK
