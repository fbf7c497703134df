#pragma once

#include "BatteryQuery.h"
#include "FleetIndex.h"

#include <QByteArray>

#include <optional>

namespace NVL::Engineering::VK {

class HistoryKeeper;
class OverviewTally;
class Html;
class InsightKeeper;
class MailLedger;

// The pages a fleet manager reads in the browser, rendered on the server as complete HTML, so that they
// work without a script. Fleet-wide pages read only the in-memory index; one battery's page reads its
// history from the keeper (absent: history is off).
class DashboardPages
{
public:
    // Without a ledger the overview leaves the notifications' mail out; `signOut`: pages link to /signout.
    DashboardPages(const FleetIndex &fleet, HistoryKeeper *history, const MailLedger *mails = nullptr,
                   const InsightKeeper *insight = nullptr, bool signOut = false);

    QByteArray overview() const;
    // From figures gathered in slices (OverviewAnswer).
    QByteArray overview(const OverviewTally &tally) const;
    QByteArray batteries(const BatteryQuery &query) const;
    // The same page of rows already chosen.
    QByteArray batteries(const BatteryQuery &query, const BatteryQuery::Selection &selection) const;
    // The rows the page of the same query shows, with the API's columns.
    // Empty when no battery has this serial.
    std::optional<QByteArray> battery(const QByteArray &serial) const;

private:
    void notificationMail(Html &h) const;

    const FleetIndex &m_fleet;
    HistoryKeeper *m_history;
    const MailLedger *m_mails;
    const InsightKeeper *m_insight; // absent: the overview has no cards of insight
    bool m_signOut;
};

} // namespace NVL::Engineering::VK
