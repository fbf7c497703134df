#pragma once

#include <QtGlobal>

namespace NVL::Engineering::VK {

// A port that is free for both TCP and UDP right now, for starting a server beside others
// (tests, benchmarks). 0 if none was found.
quint16 freeRadioPort();

} // namespace NVL::Engineering::VK
