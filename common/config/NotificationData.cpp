#include "NotificationData.h"

#include "JsonFields.h"

#include <nlohmann/json.hpp>

namespace NVL::Engineering::VK {

bool operator==(const NotificationData &a, const NotificationData &b)
{
    return a.alias == b.alias && a.notificationType == b.notificationType && a.periodicType == b.periodicType
        && a.time == b.time && a.dayOfWeek == b.dayOfWeek && a.day == b.day && a.month == b.month
        && a.reportType == b.reportType && a.triggerType == b.triggerType && a.triggerValue == b.triggerValue
        && a.recipientList == b.recipientList;
}

bool operator!=(const NotificationData &a, const NotificationData &b) { return !(a == b); }

void to_json(nlohmann::json &j, const NotificationData &value)
{
    j = nlohmann::json{{"alias", value.alias},
                       {"day", value.day},
                       {"dayOfWeek", value.dayOfWeek},
                       {"month", value.month},
                       {"notificationType", static_cast<int>(value.notificationType)},
                       {"periodicType", static_cast<int>(value.periodicType)},
                       {"recipientList", value.recipientList},
                       {"reportType", static_cast<int>(value.reportType)},
                       {"time", value.time},
                       {"triggerType", value.triggerType},
                       {"triggerValue", value.triggerValue}};
}

void from_json(const nlohmann::json &j, NotificationData &value)
{
    NotificationData result;
    result.alias = j.at("alias").get<std::string>();
    result.notificationType = static_cast<NotificationKind>(jsonToInt(j.at("notificationType")));
    result.periodicType = static_cast<PeriodicType>(jsonToInt(j.at("periodicType")));
    result.time = j.at("time").get<std::string>();
    result.dayOfWeek = jsonToInt(j.at("dayOfWeek"));
    result.day = jsonToInt(j.at("day"));
    result.month = jsonToInt(j.at("month"));
    result.reportType = static_cast<ReportKind>(jsonToInt(j.at("reportType")));
    result.triggerType = jsonToInt(j.at("triggerType"));
    result.triggerValue = jsonToInt(j.at("triggerValue"));
    result.recipientList = j.at("recipientList").get<std::set<std::string>>();
    value = std::move(result);
}

} // namespace NVL::Engineering::VK
