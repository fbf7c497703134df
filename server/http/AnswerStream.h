#pragma once

#include <QByteArray>
#include <QtGlobal>

namespace NVL::Engineering::VK {

// The body of an answer too large to be held whole, written as the client takes it.
class AnswerStream
{
public:
    virtual ~AnswerStream() = default;

    // The next part, of about `bytes` at most and possibly empty (the answer is not over until atEnd);
    // each call returns to the event loop within a few milliseconds.
    virtual QByteArray next(qint64 bytes) = 0;
    virtual bool atEnd() const = 0;
};

} // namespace NVL::Engineering::VK
