#include "SmtpSettingsData.h"

#include "JsonFields.h"
#include "ScrambleText.h"

#include <nlohmann/json.hpp>

namespace NVL::Engineering::VK {

// A key missing inside "smtpSettings", "authentication" or "sender" keeps the field's default value
// rather than failing the whole read: the result starts from the default record and takes from the
// file whatever it holds, so a settings object written by an older or hand-edited file still yields
// a complete record. A key that is present with the wrong type, or a section that is not an object,
// is still an error (type_error), because guessing a value there would hide a damaged file.

namespace {

template <typename Field, typename Convert>
void readIfPresent(const nlohmann::json &object, const char *key, Field &field, Convert convert)
{
    const auto it = object.find(key);
    if (it != object.end())
        field = convert(*it);
}

std::string toText(const nlohmann::json &value) { return value.get<std::string>(); }
bool toBool(const nlohmann::json &value) { return value.get<bool>(); }

} // namespace

bool operator==(const AuthenticationData &a, const AuthenticationData &b)
{
    return a.enabled == b.enabled && a.username == b.username && a.password == b.password;
}

bool operator!=(const AuthenticationData &a, const AuthenticationData &b) { return !(a == b); }

bool operator==(const SenderData &a, const SenderData &b)
{
    return a.name == b.name && a.email == b.email;
}

bool operator!=(const SenderData &a, const SenderData &b) { return !(a == b); }

bool operator==(const SmtpSettingsData &a, const SmtpSettingsData &b)
{
    return a.server == b.server && a.port == b.port && a.security == b.security
        && a.authentication == b.authentication && a.sender == b.sender;
}

bool operator!=(const SmtpSettingsData &a, const SmtpSettingsData &b) { return !(a == b); }

void to_json(nlohmann::json &j, const AuthenticationData &value)
{
    j = nlohmann::json{{"enabled", value.enabled},
                       {"password", scrambleText(value.password)},
                       {"username", value.username}};
}

void from_json(const nlohmann::json &j, AuthenticationData &value)
{
    requireObject(j);
    value = AuthenticationData{};
    readIfPresent(j, "enabled", value.enabled, toBool);
    readIfPresent(j, "username", value.username, toText);
    readIfPresent(j, "password", value.password,
                  [](const nlohmann::json &v) { return scrambleText(v.get<std::string>()); });
}

void to_json(nlohmann::json &j, const SenderData &value)
{
    j = nlohmann::json{{"email", value.email}, {"name", value.name}};
}

void from_json(const nlohmann::json &j, SenderData &value)
{
    requireObject(j);
    value = SenderData{};
    readIfPresent(j, "name", value.name, toText);
    readIfPresent(j, "email", value.email, toText);
}

void to_json(nlohmann::json &j, const SmtpSettingsData &value)
{
    j = nlohmann::json{{"authentication", value.authentication},
                       {"port", value.port},
                       {"security", static_cast<int>(value.security)},
                       {"sender", value.sender},
                       {"server", value.server}};
}

void from_json(const nlohmann::json &j, SmtpSettingsData &value)
{
    requireObject(j);
    value = SmtpSettingsData{};
    readIfPresent(j, "server", value.server, toText);
    readIfPresent(j, "port", value.port, jsonToInt);
    readIfPresent(j, "security", value.security,
                  [](const nlohmann::json &v) { return static_cast<SecurityType>(jsonToInt(v)); });
    readIfPresent(j, "authentication", value.authentication,
                  [](const nlohmann::json &v) { return v.get<AuthenticationData>(); });
    readIfPresent(j, "sender", value.sender, [](const nlohmann::json &v) { return v.get<SenderData>(); });
}

} // namespace NVL::Engineering::VK
