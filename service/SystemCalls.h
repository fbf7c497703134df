#pragma once

#include <QString>

#include <cstdint>

namespace NVL::Engineering::VK::SystemCalls {

// The small system calls of the service binding. Each uses the Windows call from "kernel32" where
// that resolves and the nearest POSIX equivalent elsewhere.

// The running program's own file path (at most 520 UTF-16 units on Windows).
QString programFilePath();
// The calling thread's last system error.
std::uint32_t lastError();
// The system's text for an error code, without a trailing line break.
QString errorText(std::uint32_t code);
void sleepMilliseconds(std::uint32_t milliseconds);

} // namespace NVL::Engineering::VK::SystemCalls
