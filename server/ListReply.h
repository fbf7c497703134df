#pragma once

#include "BatteryRecord.h"
#include "ReplyStream.h"

#include <QHash>

#include <vector>

namespace NVL::Engineering::VK {

class FleetIndex;

// The reply to a list request: the fleet as it stood when the request came, in serial order, encoded a
// part at a time. The header promises the count at once, so a battery deleted before its turn is still
// given as it was; one that arrived after the request is not. Must not outlive the index.
class ListReply : public ReplyStream
{
public:
    explicit ListReply(FleetIndex &fleet);
    ~ListReply() override;

    QByteArray next(qint64 bytes) override;
    bool atEnd() const override { return m_headerGiven && m_position == m_keys.size(); }

private:
    FleetIndex &m_fleet;
    std::vector<quint64> m_keys; // serials in order, 8 bytes a battery instead of its 64
    std::size_t m_position = 0;
    QHash<quint64, BatteryRecord> m_departed;
    int m_watch = 0;
    bool m_headerGiven = false;
};

} // namespace NVL::Engineering::VK
