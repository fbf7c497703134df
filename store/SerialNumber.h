#pragma once

#include <QByteArray>
#include <QtGlobal>

#include <algorithm>
#include <cstring>

namespace NVL::Engineering::VK {

// A serial's 8 bytes as one number, for maps of a whole fleet: no byte array of its own per battery.
// Not ordered as the serials are (FleetIndex::orderKey is).
inline quint64 serialNumber(const QByteArray &serial)
{
    quint64 value = 0;
    std::memcpy(&value, serial.constData(), std::min<std::size_t>(sizeof value, std::size_t(serial.size())));
    return value;
}

} // namespace NVL::Engineering::VK
