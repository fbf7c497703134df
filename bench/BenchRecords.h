#pragma once

#include "BatteryRecord.h"

#include <QByteArray>

namespace NVL::Engineering::VK::Bench {

// Each phase marks its serials with its own first byte, so counts in a list reply can be told apart.
namespace SerialTag {
constexpr char Tcp = 'T';
constexpr char Udp = 'U';
constexpr char Fill = 'F';
constexpr char Raw = 'R';
} // namespace SerialTag

// A valid report of battery number index: serial = tag, "vk", 0, index big-endian,
// so serials are distinct per (tag, index) and ascend with index.
BatteryRecord benchRecord(char tag, quint32 index);

// How many 64-byte records in the concatenated bytes carry the given serial tag.
qint64 countWithTag(const QByteArray &records, char tag);

} // namespace NVL::Engineering::VK::Bench
