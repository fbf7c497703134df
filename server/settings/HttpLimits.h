#pragma once

#include <QtGlobal>

#include <algorithm>

namespace NVL::Engineering::VK {

// What one HTTP client may hold of the server, from [http] of vk.cfg: the dashboard and the API share the
// process, its event loop and its descriptors with the radios, so every connection is bounded in number,
// time and size.
struct HttpLimits
{
    int connections = 128;       // open at once, all addresses together
    int perAddress = 16;         // open at once from one address
    int headSeconds = 10;        // for a request line and its headers, from their first byte
    int idleSeconds = 30;        // a kept-alive connection with no request under way
    int requestLineBytes = 8192; // past it: 414
    int headerBytes = 16384;     // request line and headers together; past it: 431

    // The radios keep most descriptors: HTTP never holds more than a quarter of what the process may open.
    static int connectionsWithin(int configured, quint64 descriptorLimit)
    {
        const quint64 share = descriptorLimit / 4;
        return int(std::max<quint64>(1, std::min<quint64>(quint64(configured), share)));
    }
};

} // namespace NVL::Engineering::VK
