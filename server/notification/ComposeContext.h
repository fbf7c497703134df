#pragma once

#include "Forecast.h"

#include <QByteArray>
#include <QString>

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
};

} // namespace NVL::Engineering::VK
