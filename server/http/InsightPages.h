#pragma once

#include <QByteArray>
#include <QString>

#include <optional>

namespace NVL::Engineering::VK {

class FleetIndex;
class Html;
class InsightKeeper;
struct InsightResult;

// The dashboard's pages of insight: sites and their wear, silent batteries, the purchase plan, and the
// overview's cards of them. Wear and plan come from the last analysis; silence from the index as it is.
class InsightPages
{
public:
    // `signOut`: pages link to /signout.
    InsightPages(const FleetIndex &fleet, const InsightKeeper &insight, bool signOut = false);

    QByteArray sites() const;
    // Empty when no site of this name has batteries.
    std::optional<QByteArray> site(const QString &name) const;
    QByteArray silent(int days) const;
    QByteArray plan() const;

    // The overview's cards: flagged sites, silent batteries, batteries to buy within three months.
    static void cards(Html &h, const InsightResult *result);
    static QByteArray missingSite(const QString &name);

private:
    const FleetIndex &m_fleet;
    const InsightKeeper &m_insight;
    const bool m_signOut;
};

} // namespace NVL::Engineering::VK
