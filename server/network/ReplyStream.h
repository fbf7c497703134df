#pragma once

#include <QByteArray>
#include <QtGlobal>

namespace NVL::Engineering::VK {

// A reply too large to be held whole (a radio's list, a whole-fleet HTTP answer), given to its peer in
// parts as the peer takes them.
class ReplyStream
{
public:
    virtual ~ReplyStream() = default;

    // The next part, of about `bytes` at most and possibly empty (the reply is not over until atEnd);
    // each call returns to the event loop within a few milliseconds.
    virtual QByteArray next(qint64 bytes) = 0;
    virtual bool atEnd() const = 0;
};

} // namespace NVL::Engineering::VK
