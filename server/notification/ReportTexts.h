#pragma once

#include <QString>

namespace NVL::Engineering::VK {

// The texts of one notification mail, made by the compose operations and sent by delivery. Each HTML
// piece has a plain-text twin that says the same, for readers that do not show HTML.
struct ReportTexts
{
    QString summaryHtml; // counts per health class; empty for an alert
    QString leadHtml;    // a report's outlook (due soon, the soonest), an alert's battery at a glance
    QString tableHtml;   // one row per battery
    QString summaryText;
    QString leadText;
    QString tableText;
    QString plainText;   // what text-message recipients get
    QString textSubject; // their subject, made to fit one message with it; empty: cut from the mail's
    QString dueSoonLine; // of a report: how many are due within the first span, where the message has room
    // Of an alert: the radio's alias (may be empty) and serial, and the class its battery fell to.
    QString alertAlias;
    QString alertSerial;
    QString alertClass;
    int alertBatteries = 1; // of an alert: how many batteries it tells of
};

} // namespace NVL::Engineering::VK
