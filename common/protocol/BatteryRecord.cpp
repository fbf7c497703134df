#include "BatteryRecord.h"

#include <QDateTime>

#include <algorithm>
#include <cstring>
#include <unordered_map>

namespace NVL::Engineering::VK {

namespace {

bool isSelfMeasuring(const BatteryRecord &record)
{
    return record.typeCode == SelfMeasuringTypeA || record.typeCode == SelfMeasuringTypeB;
}

QString hexBytes(const quint8 *bytes, int count)
{
    return QString::fromLatin1(QByteArray(reinterpret_cast<const char *>(bytes), count).toHex().toUpper());
}

} // namespace

BatteryRecord BatteryRecord::fromBytes(const QByteArray &bytes)
{
    BatteryRecord record;
    std::memcpy(&record, bytes.constData(), std::min<size_t>(size_t(bytes.size()), Size));
    return record;
}

BatteryRecord BatteryRecord::fromBytes(const char *bytes)
{
    BatteryRecord record;
    std::memcpy(&record, bytes, Size);
    return record;
}

QByteArray BatteryRecord::toBytes() const
{
    return QByteArray(reinterpret_cast<const char *>(this), Size);
}

QByteArray BatteryRecord::serialKey() const
{
    return QByteArray(reinterpret_cast<const char *>(serial), int(sizeof serial));
}

bool isValidRecord(const QByteArray &bytes)
{
    return bytes.size() == BatteryRecord::Size && (bytes.at(0) == 1 || bytes.at(0) == 2);
}

bool isValidRecord(const BatteryRecord &record)
{
    return record.version == 1 || record.version == 2;
}

int healthPercentage(const BatteryRecord &record)
{
    if (isSelfMeasuring(record))
        return record.healthPercent;
    if (record.kindFlag != 0)
        return 0;

    // Single precision on purpose: the class boundaries (87.037, 93.49, 93.52) depend on it.
    float cycleHealth = (1.0f - float(record.cycleCount) / 500.0f * 20.0f / 100.0f) * 100.0f;
    if (cycleHealth < 0.0f)
        cycleHealth = 0.0f;
    const float capacityHealth = float(record.fullCapacity) / 3780.0f * 100.0f;
    const float lower = std::min(cycleHealth, capacityHealth);
    const int rounded = int(double(lower) + 0.5);
    return std::min(rounded, 100);
}

BatteryHealth healthClass(const BatteryRecord &record)
{
    const int percent = healthPercentage(record);
    if (percent <= 80)
        return Poor;
    if (percent <= 86)
        return Fair;
    if (percent <= 93)
        return Good;
    if (percent <= 100)
        return Excellent;
    return Poor;
}

QString healthName(const BatteryRecord &record)
{
    return healthName(healthClass(record));
}

QString healthName(BatteryHealth health)
{
    switch (health) {
    case Excellent: return QStringLiteral("Excellent");
    case Good: return QStringLiteral("Good");
    case Fair: return QStringLiteral("Fair");
    case Poor: break;
    }
    return QStringLiteral("Poor");
}

QString serialKeyText(const QByteArray &serialKey)
{
    return QString::fromLatin1(serialKey.toHex().toUpper());
}

QString serialText(const BatteryRecord &record)
{
    if (!isSelfMeasuring(record))
        return QString();
    // record offsets 6..11 are serial[2..7]
    if (record.kindFlag == 1)
        return hexBytes(record.serial + 2, 5);
    if (record.typeCode == SelfMeasuringTypeA)
        return QString::fromUtf8(reinterpret_cast<const char *>(record.serial + 2), 1) + hexBytes(record.serial + 3, 5);
    return hexBytes(record.serial + 3, 5);
}

QString esnText(const BatteryRecord &record)
{
    // A report renders the ESN of every battery; radios report many batteries, so remember each text.
    // Bounded: peers choose the ESNs, and a cache that only grows would be theirs to fill.
    constexpr std::size_t MaxRemembered = 65536;
    thread_local std::unordered_map<quint64, QString> cache;
    quint64 key;
    std::memcpy(&key, record.esn, sizeof key);
    auto it = cache.find(key);
    if (it == cache.end()) {
        if (cache.size() >= MaxRemembered)
            cache.clear();
        it = cache.emplace(key, hexBytes(record.esn, int(sizeof record.esn))).first;
    }
    return it->second;
}

QString aliasText(const BatteryRecord &record)
{
    const auto end = std::find(record.alias, record.alias + sizeof record.alias, '\0');
    return QString::fromUtf8(record.alias, int(end - record.alias));
}

QString capacityText(const BatteryRecord &record)
{
    return QString::number(record.fullCapacity) + QStringLiteral(" mAh");
}

QString capacityShown(quint32 milliampHours)
{
    return milliampHours == 0 ? QStringLiteral("\u2014") : QString::number(milliampHours) + QStringLiteral(" mAh");
}

QString cycleCountText(const BatteryRecord &record)
{
    return QString::number(record.cycleCount);
}

QString reportDateText(const BatteryRecord &record)
{
    const QDateTime local = QDateTime::fromMSecsSinceEpoch(qint64(record.reportTime) * 1000, Qt::LocalTime);
    return local.date().toString(Qt::ISODate);
}

QString reportAddressText(const BatteryRecord &record)
{
    const quint32 a = record.reportAddress;
    return QStringLiteral("%1.%2.%3.%4").arg(a >> 24).arg((a >> 16) & 0xFF).arg((a >> 8) & 0xFF).arg(a & 0xFF);
}

} // namespace NVL::Engineering::VK
