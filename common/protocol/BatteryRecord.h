#pragma once

#include <QByteArray>
#include <QString>
#include <QtEndian>

namespace NVL::Engineering::VK {

// Health classes, worst first; notifications and the health-drop test compare these numbers.
enum BatteryHealth : int { Poor = 0, Fair = 1, Good = 2, Excellent = 3 };

// One battery report exactly as it travels and is stored: 64 bytes, little-endian.
// The struct mirrors the wire bytes, so it is only meaningful on a little-endian host.
#pragma pack(push, 1)
struct BatteryRecord
{
    quint8 version = 0;
    quint8 healthPercent = 0;
    quint8 reserved2[2] = {};
    quint8 serial[8] = {};
    quint8 esn[8] = {};
    char alias[20] = {};
    quint16 cycleCount = 0;
    quint8 reserved42[2] = {};
    quint16 fullCapacity = 0;
    quint8 reserved46[4] = {};
    quint8 kindFlag = 0;
    quint8 reserved51 = 0;
    quint32 typeCode = 0;
    quint32 reportAddress = 0;
    quint32 reportTime = 0;

    static constexpr int Size = 64;

    // Copies at most 64 bytes; a shorter array leaves the rest zero.
    static BatteryRecord fromBytes(const QByteArray &bytes);
    static BatteryRecord fromBytes(const char *bytes);
    QByteArray toBytes() const;
    // The 8 serial bytes, the database key.
    QByteArray serialKey() const;
};
#pragma pack(pop)

static_assert(sizeof(BatteryRecord) == BatteryRecord::Size, "BatteryRecord must be exactly 64 bytes");
static_assert(Q_BYTE_ORDER == Q_LITTLE_ENDIAN, "BatteryRecord mirrors little-endian wire bytes");

// Type codes of batteries that measure their own health.
constexpr quint32 SelfMeasuringTypeA = 0x05410200u;
constexpr quint32 SelfMeasuringTypeB = 0x01000016u;

bool isValidRecord(const QByteArray &bytes);
bool isValidRecord(const BatteryRecord &record);
int healthPercentage(const BatteryRecord &record);
BatteryHealth healthClass(const BatteryRecord &record);
QString healthName(const BatteryRecord &record);
QString healthName(BatteryHealth health);
// The 16 hexadecimal digits of the serial key, as vkpeer list --keys prints and delete takes.
QString serialKeyText(const QByteArray &serialKey);
QString serialText(const BatteryRecord &record);
QString esnText(const BatteryRecord &record);
QString aliasText(const BatteryRecord &record);
QString capacityText(const BatteryRecord &record);
// "3200 mAh"; "—" where the battery does not report it (0), which is no capacity anyone measured: what
// people read, on the dashboard and in the mails.
QString capacityShown(quint32 milliampHours);
QString cycleCountText(const BatteryRecord &record);
QString reportDateText(const BatteryRecord &record);
QString reportAddressText(const BatteryRecord &record);

} // namespace NVL::Engineering::VK
