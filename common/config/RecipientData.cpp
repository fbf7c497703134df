#include "RecipientData.h"

#include <nlohmann/json.hpp>

namespace NVL::Engineering::VK {

bool operator==(const RecipientData &a, const RecipientData &b)
{
    return a.uuid == b.uuid && a.name == b.name && a.email == b.email && a.textMessage == b.textMessage;
}

bool operator!=(const RecipientData &a, const RecipientData &b) { return !(a == b); }

void to_json(nlohmann::json &j, const RecipientData &value)
{
    j = nlohmann::json{{"email", value.email},
                       {"name", value.name},
                       {"textMessage", value.textMessage},
                       {"uuid", value.uuid}};
}

void from_json(const nlohmann::json &j, RecipientData &value)
{
    RecipientData result;
    result.uuid = j.at("uuid").get<std::string>();
    result.name = j.at("name").get<std::string>();
    result.email = j.at("email").get<std::string>();
    result.textMessage = j.at("textMessage").get<bool>();
    value = std::move(result);
}

} // namespace NVL::Engineering::VK
