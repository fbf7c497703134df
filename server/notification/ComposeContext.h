#pragma once

#include "Forecast.h"

#include <QByteArray>
#include <QDate>
#include <QList>
#include <QString>
#include <QStringList>

#include <functional>
#include <optional>

namespace NVL::Engineering::VK {

// What the notification mails tell beyond the battery records.
struct ComposeContext
{
    // A battery's forecast by its serial key; none where it has not been fitted.
    std::function<std::optional<Forecast>(const QByteArray &serialKey)> forecastOf;
    QString publicUrl; // the dashboard as its readers reach it; empty: the mails link nowhere
    qint64 today = 0;  // days since 1970-01-01, local

    // What the fleet's insight says, for the periodic report's short section; absent until computed.
    struct Outlook
    {
        QStringList flaggedSites; // with their effect, e.g. "Depot North (1.6x, 1.4-1.9)"
        int silentBatteries = 0;
        int silentDays = 0;
        struct Month
        {
            QDate month;
            double expected = 0, low = 0, high = 0;
        };
        QList<Month> plan; // the next three months
        QStringList flaggedAddresses; // chargers and gateways, e.g. "10.1.4.2 at Depot North (2.1x, 1.6-2.8)"
    };
    std::optional<Outlook> outlook;
};

} // namespace NVL::Engineering::VK
