#pragma once

#include <nlohmann/json_fwd.hpp>

#include <string>

namespace NVL::Engineering::VK {

// One element of "recipients". Notifications refer to a recipient only by its uuid
// ("{8-4-4-4-12}" in lower-case hex), which never changes once the recipient is made.
struct RecipientData {
    std::string uuid;
    std::string name;
    std::string email;
    bool textMessage = false; // a mail-to-SMS address: gets the short plain-text message
};

bool operator==(const RecipientData &a, const RecipientData &b);
bool operator!=(const RecipientData &a, const RecipientData &b);

void to_json(nlohmann::json &j, const RecipientData &value);
void from_json(const nlohmann::json &j, RecipientData &value);

} // namespace NVL::Engineering::VK
