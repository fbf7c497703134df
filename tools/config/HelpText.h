#pragma once

#include <QString>

namespace NVL::Engineering::VK {

// The --help text of a command ("smtp", "recipient add", ...); the overview for an empty or unknown one.
QString helpText(const QString &command);

} // namespace NVL::Engineering::VK
