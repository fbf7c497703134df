#include "ClassFlood.h"

#include "BenchRecords.h"
#include "MessageHeader.h"
#include "RadioPeer.h"

#include <QDeadlineTimer>
#include <QElapsedTimer>

namespace NVL::Engineering::VK::Bench {

ClassFlood::Result ClassFlood::run(quint16 port, quint32 batteries, int seconds)
{
    Result result;
    RadioPeer peer(QStringLiteral("127.0.0.1"), port, 15000);
    if (!peer.connectToServer()) {
        result.error = peer.errorString();
        return result;
    }
    // Every battery Good, then every battery Poor, each pass closed by a version request whose reply says
    // the server has taken it.
    QByteArray passes[2];
    for (int pass = 0; pass < 2; ++pass) {
        for (quint32 i = 0; i < batteries; ++i) {
            BatteryRecord record = benchRecord('C', i);
            record.healthPercent = pass == 0 ? 95 : 70;
            passes[pass] += RadioPeer::reportMessage(record);
        }
        passes[pass] += RadioPeer::versionRequestMessage(ProtocolVersion);
    }
    QElapsedTimer clock;
    clock.start();
    const QDeadlineTimer deadline(qint64(seconds) * 1000);
    for (int pass = 0; !deadline.hasExpired(); pass ^= 1) {
        if (!peer.sendRaw(passes[pass])) {
            result.error = peer.errorString();
            return result;
        }
        const auto reply = peer.readExactly(MessageHeader::Size + 1);
        if (!reply || MessageHeader::fromBytes(reply->constData()).type != quint8(MessageType::VersionResponse)) {
            result.error = QStringLiteral("no confirmation of a pass: ") + peer.errorString();
            return result;
        }
        result.reports += batteries;
    }
    result.nanoseconds = clock.nsecsElapsed();
    result.ok = true;
    return result;
}

} // namespace NVL::Engineering::VK::Bench
