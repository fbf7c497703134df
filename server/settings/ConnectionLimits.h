#pragma once

#include <QtGlobal>

namespace NVL::Engineering::VK {

// Section [connections] of vk.cfg: what the radio port lets peers hold, so that idle or hostile ones
// cannot lock real radios out.
struct ConnectionLimits
{
    // A connection that sends nothing and has nothing left to receive for this long is closed. A radio
    // reports within seconds of connecting; five minutes leaves a person at vkpeer room to think.
    int idleMs = 5 * 60 * 1000;
    // Connections one address may hold at once: a depot's radios behind one gateway stay far below it.
    int connectionsPerAddress = 256;
    // Replies not yet taken by their peers, all connections together; past it the peers that hold the
    // most are closed.
    qint64 unsentBytes = 32 * 1024 * 1024;
};

} // namespace NVL::Engineering::VK
