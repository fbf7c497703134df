#pragma once

#include "ConfigurationEnums.h"

#include <QString>

#include <optional>

namespace NVL::Engineering::VK::SecurityName {

// The words for SmtpSettingsData::security that vkconfig takes and prints and Bellwright's SMTP dialog
// shows; the file keeps storing the number.

// "none", "ssl" or "starttls". A number the file should not hold reads as none, as the mail client
// treats it.
QString of(SecurityType security);
// One of the three words, exactly; nullopt for anything else.
std::optional<SecurityType> parse(const QString &name);

} // namespace NVL::Engineering::VK::SecurityName
