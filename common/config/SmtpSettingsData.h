#pragma once

#include "ConfigurationEnums.h"

#include <nlohmann/json_fwd.hpp>

#include <cstdint>
#include <string>

namespace NVL::Engineering::VK {

// Login to the SMTP server. The password is always in clear here; only the file holds it scrambled.
struct AuthenticationData {
    bool enabled = true;
    std::string username;
    std::string password;
};

// The From address of every mail.
struct SenderData {
    std::string name;
    std::string email;
};

// The "smtpSettings" object of the configuration file.
struct SmtpSettingsData {
    std::string server;
    std::int32_t port = 465;
    SecurityType security = SecurityType::ImplicitTls;
    AuthenticationData authentication;
    SenderData sender;
};

bool operator==(const AuthenticationData &a, const AuthenticationData &b);
bool operator!=(const AuthenticationData &a, const AuthenticationData &b);
bool operator==(const SenderData &a, const SenderData &b);
bool operator!=(const SenderData &a, const SenderData &b);
bool operator==(const SmtpSettingsData &a, const SmtpSettingsData &b);
bool operator!=(const SmtpSettingsData &a, const SmtpSettingsData &b);

void to_json(nlohmann::json &j, const AuthenticationData &value); // scrambles the password
void from_json(const nlohmann::json &j, AuthenticationData &value);
void to_json(nlohmann::json &j, const SenderData &value);
void from_json(const nlohmann::json &j, SenderData &value);
void to_json(nlohmann::json &j, const SmtpSettingsData &value);
void from_json(const nlohmann::json &j, SmtpSettingsData &value);

} // namespace NVL::Engineering::VK
