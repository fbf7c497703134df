#pragma once

#include "ConfigurationEnums.h"

#include <nlohmann/json_fwd.hpp>

#include <cstdint>
#include <set>
#include <string>

namespace NVL::Engineering::VK {

// One element of "notifications". Every field is stored whatever the kind, so switching the kind
// in the editor and back keeps the values last entered.
struct NotificationData {
    std::string alias;
    NotificationKind notificationType = NotificationKind::Periodic;
    PeriodicType periodicType = PeriodicType::Monthly;
    std::string time;                 // "HH:mm:ss", 24-hour clock
    std::int32_t dayOfWeek = 1;       // 1 = Monday .. 7 = Sunday
    std::int32_t day = 1;             // 1..31; past the month's end means its last day
    std::int32_t month = 1;           // 1 = January .. 12 = December
    ReportKind reportType = ReportKind::FullReport;
    std::int32_t triggerType = 2;
    std::int32_t triggerValue = 0;    // the battery health class that fires the alert
    std::set<std::string> recipientList; // recipient uuids, unique and in ascending byte order
};

// triggerType of a triggered notification: an alert when a battery falls to the class triggerValue (what
// every older file holds), or "battery silent", once per battery per silence.
constexpr std::int32_t HealthTrigger = 2;
constexpr std::int32_t SilentTrigger = 3;

bool operator==(const NotificationData &a, const NotificationData &b);
bool operator!=(const NotificationData &a, const NotificationData &b);

void to_json(nlohmann::json &j, const NotificationData &value);
void from_json(const nlohmann::json &j, NotificationData &value);

} // namespace NVL::Engineering::VK
