#pragma once

namespace NVL::Engineering::VK {

// Event types of the server's log; the numbers are those of the service host's contract.
enum class LogType { Success = 0, Error = 1, Warning = 2, Information = 3 };

} // namespace NVL::Engineering::VK
