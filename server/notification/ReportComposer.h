#pragma once

#include "BatteryRecord.h"
#include "ComposeContext.h"
#include "ReportTexts.h"

#include <ConfigurationData.h>

#include <QDateTime>
#include <QList>
#include <QString>

namespace NVL::Engineering::VK {

// The texts of the notification mails: the report of a fleet, the alert of one battery, and the HTML
// and plain-text parts that frame them. Pure functions of their arguments.
class ReportComposer
{
public:
    static constexpr int SoonestListed = 10;
    static constexpr int DueSpans[] = {30, 90};
    // A "battery silent" alert of more batteries names this many and counts the rest: a first start over a
    // fleet with thousands silent sends one mail of bounded size, not thousands.
    static constexpr int SilentListed = 10;

    struct Silence
    {
        BatteryRecord record; // its newest report
        int days = 0;         // since then
        QString lastSite;
    };

    static ReportTexts composeReport(const QList<BatteryRecord> &records, const ComposeContext &context = {});
    static ReportTexts composeAlert(const BatteryRecord &record, const ComposeContext &context = {});
    // "battery silent": the battery of `record` (its newest report) has not reported for `days` days.
    static ReportTexts composeSilentAlert(const BatteryRecord &record, int days, const QString &lastSite,
                                          const ComposeContext &context = {});
    // Several at once, in their order: the first SilentListed named, the rest counted. One is told as above.
    static ReportTexts composeSilentAlert(const QList<Silence> &silences, const ComposeContext &context = {});
    // The HTML part of the mail, with its heading dated `now`.
    static QString mailHtml(const NotificationData &notification, const ReportTexts &texts, const QDateTime &now);
    // The plain-text part beside it, saying the same.
    static QString mailText(const NotificationData &notification, const ReportTexts &texts, const QDateTime &now);
    // "Battery report: <notification alias>", "Battery alert: <radio alias or serial> is <class>",
    // "Battery alert: <count> batteries are <class>".
    static QString mailSubject(const NotificationData &notification, const ReportTexts &texts);
    // The subject cut to at most TextSubjectLength characters, between words where it can ("..." at
    // the end): text-message gateways put it into the message, in front of the text.
    static QString textMessageSubject(const QString &subject);
    // As above; of an alert only the radio's name is cut, never the class it fell to.
    static QString textMessageSubject(const NotificationData &notification, const ReportTexts &texts);
    // The text under that subject: a report's count of the due soon goes with it where one message holds
    // both.
    static QString textMessageText(const QString &subject, const ReportTexts &texts);
    static constexpr int TextSubjectLength = 40;
    // One SMS: the subject, where a gateway joins it in front of the text, and the text together.
    static constexpr int TextMessageLength = 160;
};

} // namespace NVL::Engineering::VK
