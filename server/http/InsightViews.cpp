#include "InsightViews.h"

#include "ApiViews.h"
#include "TypeNames.h"

#include <cmath>

namespace NVL::Engineering::VK::InsightViews {

namespace {

const QStringList GroupColumns{QStringLiteral("name"),          QStringLiteral("batteries"),
                               QStringLiteral("compared"),      QStringLiteral("medianFadePerYear"),
                               QStringLiteral("typeMedianFadePerYear"), QStringLiteral("effect"),
                               QStringLiteral("effectLow"),     QStringLiteral("effectHigh"),
                               QStringLiteral("score"),         QStringLiteral("flagged"),
                               QStringLiteral("judged"),        QStringLiteral("fasterThanType")};

QList<QJsonValue> groupRow(const WearGroup &g)
{
    return {g.name,
            g.batteries,
            g.compared,
            rounded(g.medianFade, 1),
            rounded(g.typeMedianFade, 1),
            rounded(g.effect, 2),
            rounded(g.effectLow, 2),
            rounded(g.effectHigh, 2),
            rounded(g.score, 2),
            g.flagged,
            g.compared >= WearReport::MinimumBatteries, // under it: too few to judge
            g.fasterThanType};
}

const QString ClassNames[] = {QStringLiteral("Poor"), QStringLiteral("Fair"), QStringLiteral("Good"),
                              QStringLiteral("Excellent")};

} // namespace

QJsonValue rounded(double value, int places)
{
    if (std::isnan(value) || std::isinf(value))
        return QJsonValue(QJsonValue::Null);
    const double scale = std::pow(10.0, places);
    return std::round(value * scale) / scale;
}

ApiTable sites(const WearReport &wear)
{
    QStringList columns = GroupColumns;
    columns.append(QStringLiteral("addresses"));
    columns.append(QStringLiteral("flaggedAddressNames"));
    ApiTable table(columns);
    for (const SiteWear &s : wear.sites) {
        QList<QJsonValue> row = groupRow(s.site);
        row.append(int(s.addresses.size()));
        QStringList flagged;
        for (const WearGroup &g : s.addresses) {
            if (g.flagged)
                flagged.append(g.name);
        }
        row.append(flagged.join(QLatin1Char(' ')));
        table.addRow(row);
    }
    return table;
}

ApiTable flaggedAddresses(const WearReport &wear)
{
    QStringList columns{QStringLiteral("site")};
    columns.append(GroupColumns);
    ApiTable table(columns);
    for (const SiteWear &s : wear.sites) {
        for (const WearGroup &g : s.addresses) {
            if (g.flagged)
                table.addRow(QList<QJsonValue>{s.site.name} + groupRow(g));
        }
    }
    return table;
}

ApiTable site(const SiteWear &s)
{
    ApiTable table(GroupColumns);
    table.addRow(groupRow(s.site));
    return table;
}

ApiTable addresses(const SiteWear &s)
{
    ApiTable table(GroupColumns);
    for (const WearGroup &g : s.addresses)
        table.addRow(groupRow(g));
    return table;
}

ApiTable batteries(const SiteWear &s, const FleetIndex &fleet)
{
    ApiTable table({QStringLiteral("serial"), QStringLiteral("alias"), QStringLiteral("typeCode"),
                    QStringLiteral("typeName"), QStringLiteral("address"), QStringLiteral("fadePerYear"), QStringLiteral("ratioToType"),
                    QStringLiteral("fasterThanType")});
    for (const WearBattery &b : s.batteries) {
        const QString address = SiteMap::addressText(b.home);
        table.addRow({serialKeyText(b.serial()), b.texts(fleet).alias, TypeNames::codeText(b.typeCode),
                      fleet.typeName(b.typeCode),
                      address.isEmpty() ? QJsonValue(QJsonValue::Null) : QJsonValue(address), rounded(b.fade, 1),
                      rounded(b.ratio, 2), b.fasterThanType});
    }
    return table;
}

ApiTable silent(const QList<SilentBattery> &silent, qint64 now, const FleetIndex &fleet)
{
    ApiTable table({QStringLiteral("serial"), QStringLiteral("alias"), QStringLiteral("typeCode"), QStringLiteral("typeName"),
                    QStringLiteral("healthClass"), QStringLiteral("healthPercent"), QStringLiteral("lastReport"),
                    QStringLiteral("silentDays"), QStringLiteral("lastAddress"), QStringLiteral("lastSite")});
    for (const SilentBattery &s : silent) {
        const QString address = SiteMap::addressText(s.lastAddress);
        table.addRow({serialKeyText(s.record.serialKey()), aliasText(s.record), TypeNames::codeText(s.record.typeCode),
                      fleet.typeName(s.record.typeCode),
                      ClassNames[std::clamp(s.healthClass, 0, 3)], healthPercentage(s.record),
                      ApiViews::timeText(s.record.reportTime), int((now - qint64(s.record.reportTime)) / 86400),
                      address.isEmpty() ? QJsonValue(QJsonValue::Null) : QJsonValue(address),
                      s.lastSite.isEmpty() ? QJsonValue(QJsonValue::Null) : QJsonValue(s.lastSite)});
    }
    return table;
}

ApiTable plan(const PurchasePlan &plan, const FleetIndex &fleet)
{
    ApiTable table({QStringLiteral("typeCode"), QStringLiteral("typeName"), QStringLiteral("month"), QStringLiteral("expected"),
                    QStringLiteral("low"), QStringLiteral("high")});
    const auto rows = [&](const PurchasePlan::Row &row, const QString &type, const QString &name) {
        for (int m = 0; m < PurchasePlan::Months; ++m) {
            const PurchasePlan::Cell &c = row.months[size_t(m)];
            table.addRow({type, name, plan.monthStarts[size_t(m)].toString(QStringLiteral("yyyy-MM")), rounded(c.expected, 1),
                          rounded(c.low, 1), rounded(c.high, 1)});
        }
    };
    for (const PurchasePlan::Row &row : plan.types)
        rows(row, TypeNames::codeText(row.typeCode), fleet.typeName(row.typeCode));
    rows(plan.total, QStringLiteral("all"), QStringLiteral("all"));
    return table;
}

const SiteWear *findSite(const WearReport &wear, const QString &name)
{
    const QByteArray address = SiteMap::addressFrom(name);
    const QString addressName = address.isEmpty() ? QString() : SiteMap::addressText(address);
    for (const SiteWear &s : wear.sites) {
        if (s.site.name == name || (!addressName.isEmpty() && s.site.name == addressName))
            return &s;
    }
    return nullptr;
}

} // namespace NVL::Engineering::VK::InsightViews
