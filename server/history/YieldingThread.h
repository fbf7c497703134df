#pragma once

namespace NVL::Engineering::VK {

// The history's thread gives way to the radios: while both want a processor, the event loop has it,
// and the history catches up once the burst is over (its queue is bounded for the rest).
namespace YieldingThread {

// Lowers the calling thread's priority below the process's (a thread may always lower its own).
void lowerCurrent();

} // namespace YieldingThread

} // namespace NVL::Engineering::VK
