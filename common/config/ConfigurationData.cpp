#include "ConfigurationData.h"

#include "JsonFields.h"

#include <nlohmann/json.hpp>

namespace NVL::Engineering::VK {

bool operator==(const ConfigurationData &a, const ConfigurationData &b)
{
    return a.version == b.version && a.magic == b.magic && a.smtpSettings == b.smtpSettings
        && a.recipients == b.recipients && a.notifications == b.notifications;
}

bool operator!=(const ConfigurationData &a, const ConfigurationData &b) { return !(a == b); }

void to_json(nlohmann::json &j, const ConfigurationData &value)
{
    j = nlohmann::json{{"magic", value.magic},
                       {"notifications", value.notifications},
                       {"recipients", value.recipients},
                       {"smtpSettings", value.smtpSettings},
                       {"version", value.version}};
}

void from_json(const nlohmann::json &j, ConfigurationData &value)
{
    ConfigurationData result;
    result.version = jsonToInt(j.at("version"));
    result.magic = j.at("magic").get<std::string>();
    result.smtpSettings = j.at("smtpSettings").get<SmtpSettingsData>();
    result.recipients = jsonToList<RecipientData>(j.at("recipients"));
    result.notifications = jsonToList<NotificationData>(j.at("notifications"));
    value = std::move(result);
}

} // namespace NVL::Engineering::VK
