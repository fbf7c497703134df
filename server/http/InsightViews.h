#pragma once

#include "ApiTable.h"
#include "InsightResult.h"

#include <QByteArray>
#include <QString>

namespace NVL::Engineering::VK {
class FleetIndex;
}

namespace NVL::Engineering::VK::InsightViews {

// Rounded for people and programs alike: rates to a tenth of a point, ratios to two places; null for none.
QJsonValue rounded(double value, int places);

// Each site with its flagged addresses' names, space-separated, in "flaggedAddressNames".
ApiTable sites(const WearReport &wear);
// Every flagged charger and gateway with its site, whichever site is flagged.
ApiTable flaggedAddresses(const WearReport &wear);
// A site's figures, its addresses' and its batteries'.
ApiTable site(const SiteWear &site);
ApiTable addresses(const SiteWear &site);
ApiTable batteries(const SiteWear &site, const FleetIndex &fleet);
ApiTable silent(const QList<SilentBattery> &silent, qint64 now, const FleetIndex &fleet);
// One row per type and month (its code and its name), then the months' totals as type "all".
ApiTable plan(const PurchasePlan &plan, const FleetIndex &fleet);

// The site of this name, or of the address this text is; null when none.
const SiteWear *findSite(const WearReport &wear, const QString &name);

} // namespace NVL::Engineering::VK::InsightViews
