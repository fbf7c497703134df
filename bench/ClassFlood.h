#pragma once

#include <QString>

namespace NVL::Engineering::VK::Bench {

// Reports that flip the same batteries between Good and Poor as fast as one connection takes them, each
// flip a battery.class event: what a broken or hostile peer can make a webhook receiver cost the server.
class ClassFlood
{
public:
    struct Result
    {
        bool ok = false;
        qint64 reports = 0; // confirmed by the server
        qint64 nanoseconds = 0;
        QString error;
    };

    static Result run(quint16 port, quint32 batteries, int seconds);
};

} // namespace NVL::Engineering::VK::Bench
