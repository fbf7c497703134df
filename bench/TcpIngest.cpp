#include "TcpIngest.h"

#include "BenchRecords.h"
#include "MessageHeader.h"
#include "RadioPeer.h"

#include <QElapsedTimer>
#include <QQueue>

#include <memory>
#include <vector>

namespace NVL::Engineering::VK::Bench {

namespace {

constexpr int ReplyTimeoutMs = 15000;

struct Lane
{
    std::unique_ptr<RadioPeer> peer;
    QQueue<int> pending; // sizes of the batches not yet confirmed
};

bool confirmOldest(Lane &lane, TcpIngest::Result &result)
{
    const auto reply = lane.peer->readExactly(MessageHeader::Size + 1);
    if (!reply) {
        result.error = QStringLiteral("no batch confirmation: ") + lane.peer->errorString();
        return false;
    }
    if (MessageHeader::fromBytes(reply->constData()).type != quint8(MessageType::VersionResponse)) {
        result.error = QStringLiteral("unexpected reply instead of a batch confirmation");
        return false;
    }
    result.confirmed += lane.pending.dequeue();
    return true;
}

} // namespace

TcpIngest::Result TcpIngest::run(quint16 port, int connections, char tag, quint32 firstIndex, quint32 count,
                                 const QDeadlineTimer &deadline)
{
    Result result;
    std::vector<Lane> lanes(size_t(qMax(1, connections)));
    for (Lane &lane : lanes) {
        lane.peer = std::make_unique<RadioPeer>(QStringLiteral("127.0.0.1"), port, ReplyTimeoutMs);
        if (!lane.peer->connectToServer()) {
            result.error = lane.peer->errorString();
            return result;
        }
        // Each batch goes out at once, not held back until the server acknowledges the previous one.
        lane.peer->socket().setSocketOption(QAbstractSocket::LowDelayOption, 1);
    }
    const QByteArray versionRequest = RadioPeer::versionRequestMessage(ProtocolVersion);

    QElapsedTimer clock;
    clock.start();
    quint32 next = 0;
    bool sending = true;
    while (sending) {
        for (Lane &lane : lanes) {
            if (next >= count || deadline.hasExpired()) {
                result.deadlineHit = next < count;
                sending = false;
                break;
            }
            if (lane.pending.size() >= BatchesInFlight && !confirmOldest(lane, result))
                return result;
            const int batch = int(qMin<quint32>(BatchSize, count - next));
            QByteArray bytes;
            bytes.reserve(batch * (MessageHeader::Size + BatteryRecord::Size) + versionRequest.size());
            for (int i = 0; i < batch; ++i)
                bytes += RadioPeer::reportMessage(benchRecord(tag, firstIndex + next + quint32(i)));
            bytes += versionRequest;
            if (!lane.peer->sendRaw(bytes)) {
                result.error = lane.peer->errorString();
                return result;
            }
            lane.pending.enqueue(batch);
            next += quint32(batch);
            result.sent += batch;
        }
    }
    for (Lane &lane : lanes)
        while (!lane.pending.isEmpty())
            if (!confirmOldest(lane, result))
                return result;

    // The list gets its own time allowance: it must run even when the sending stopped at the deadline.
    result.list = ListProbe::request(lanes.front().peer->socket(), QDeadlineTimer(ReplyTimeoutMs));
    result.nanoseconds = clock.nsecsElapsed();
    if (!result.list.ok) {
        result.error = result.list.error;
        return result;
    }
    for (Lane &lane : lanes)
        lane.peer->disconnectFromServer();
    result.ok = true;
    return result;
}

} // namespace NVL::Engineering::VK::Bench
