#pragma once

#include <QByteArray>
#include <QtGlobal>

namespace NVL::Engineering::VK {

// A reply too large to be held whole, given to its peer in parts as the peer takes them.
class ReplyStream
{
public:
    virtual ~ReplyStream() = default;

    // The next part, of about `bytes` at most; each call leaves the event loop free again soon.
    virtual QByteArray next(qint64 bytes) = 0;
    virtual bool atEnd() const = 0;
};

} // namespace NVL::Engineering::VK
