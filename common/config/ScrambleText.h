#pragma once

#include <string>
#include <string_view>

namespace NVL::Engineering::VK {

// Both programs must use the same key, or neither can read the other's password.
inline constexpr std::string_view scrambleKey = "Qw8Ht2ZkPn5Rdx7J";

// XORs every byte with the key byte at the same position (modulo the key length).
// Applying it twice restores the input.
std::string scrambleText(std::string text);

} // namespace NVL::Engineering::VK
