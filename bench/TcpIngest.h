#pragma once

#include "ListProbe.h"

#include <QDeadlineTimer>
#include <QString>

namespace NVL::Engineering::VK::Bench {

// Sends distinct battery reports over one or more TCP connections as fast as the server takes them.
// Each batch ends with a version request; its reply proves the batch was handled (the server works through
// a connection's messages in order), which lets the sender stop at a deadline with a known count.
// The run ends with a list request on the first connection, so the timed span covers saved reports only.
class TcpIngest
{
public:
    struct Result
    {
        bool ok = false;
        qint64 sent = 0;
        qint64 confirmed = 0;
        bool deadlineHit = false;
        qint64 nanoseconds = 0; // first report written -> last byte of the closing list reply
        ListProbe::Reply list;
        QString error;
    };

    // Deep enough that a confirmation held back by delayed acknowledgement (some 40 ms) never leaves the
    // server without queued reports; shallow enough that a deadline stops the sending within a second.
    static constexpr int BatchSize = 250;
    static constexpr int BatchesInFlight = 4;

    static Result run(quint16 port, int connections, char tag, quint32 firstIndex, quint32 count,
                      const QDeadlineTimer &deadline);
};

} // namespace NVL::Engineering::VK::Bench
