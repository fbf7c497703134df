#pragma once

#include "BatteryRecord.h"
#include "ReportTexts.h"

#include <ConfigurationData.h>

#include <QDateTime>
#include <QList>
#include <QString>

namespace NVL::Engineering::VK {

// The texts of the notification mails: the report of a fleet, the alert of one battery, and the HTML
// part that frames them. Pure functions of their arguments.
class ReportComposer
{
public:
    static ReportTexts composeReport(const QList<BatteryRecord> &records);
    static ReportTexts composeAlert(const BatteryRecord &record);
    // The HTML part of the mail, with its heading dated `now`.
    static QString mailHtml(const NotificationData &notification, const ReportTexts &texts, const QDateTime &now);
    // "Battery report: <notification alias>", "Battery alert: <radio alias or serial> is <class>".
    static QString mailSubject(const NotificationData &notification, const ReportTexts &texts);
    // The subject cut to at most TextSubjectLength characters, between words where it can ("..." at
    // the end): text-message gateways put it into the message, in front of the text.
    static QString textMessageSubject(const QString &subject);
    static constexpr int TextSubjectLength = 40;
};

} // namespace NVL::Engineering::VK
