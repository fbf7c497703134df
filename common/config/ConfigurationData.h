#pragma once

#include "NotificationData.h"
#include "RecipientData.h"
#include "SmtpSettingsData.h"

#include <nlohmann/json_fwd.hpp>

#include <cstdint>
#include <string>
#include <vector>

namespace NVL::Engineering::VK {

using RecipientList = std::vector<RecipientData>;
using NotificationList = std::vector<NotificationData>;

// The whole configuration document. Lists keep file order.
struct ConfigurationData {
    std::int32_t version = 1;
    std::string magic = "NVLCELBW";
    SmtpSettingsData smtpSettings;
    RecipientList recipients;
    NotificationList notifications;
};

bool operator==(const ConfigurationData &a, const ConfigurationData &b);
bool operator!=(const ConfigurationData &a, const ConfigurationData &b);

void to_json(nlohmann::json &j, const ConfigurationData &value);
void from_json(const nlohmann::json &j, ConfigurationData &value);

} // namespace NVL::Engineering::VK
