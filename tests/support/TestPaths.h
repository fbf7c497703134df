#pragma once

#include <QString>

namespace TestPaths {

// The server program built with this tree.
QString voltkeepBinary();
// Folder of the shared test helpers (scripts next to this file).
QString supportDir();
// The Python interpreter that owns Debian's python packages (aiosmtpd and friends).
QString python();

} // namespace TestPaths
