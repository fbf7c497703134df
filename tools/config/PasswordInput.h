#pragma once

#include <QString>

#include <optional>

namespace NVL::Engineering::VK::PasswordInput {

// The password is never an argument (every user of the machine can read a command line): it comes
// from standard input or from a prompt on the terminal that does not echo it.

// Standard input up to its end, without one final line break; nullopt when it cannot be read.
std::optional<QString> fromStandardInput();
// Asks on the controlling terminal with echo off; nullopt when standard input is no terminal.
std::optional<QString> fromPrompt(const QString &prompt);

} // namespace NVL::Engineering::VK::PasswordInput
