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
};

} // namespace NVL::Engineering::VK
