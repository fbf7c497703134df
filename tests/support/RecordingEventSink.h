#pragma once

#include "EventSink.h"

#include <QList>
#include <QString>

// Collects event-log entries in-process while it is installed.
class RecordingEventSink final : public NVL::Engineering::VK::EventSink
{
public:
    struct Entry
    {
        QString message;
        NVL::Engineering::VK::LogType type;
    };

    RecordingEventSink() { EventSink::setCurrent(this); }
    ~RecordingEventSink() override { EventSink::setCurrent(nullptr); }

    void writeEvent(const QString &, const QString &message, NVL::Engineering::VK::LogType type, quint32,
                    quint16, const QByteArray &) override
    {
        entries.append({message, type});
    }

    int count(NVL::Engineering::VK::LogType type, const QString &part) const
    {
        int n = 0;
        for (const Entry &entry : entries)
            n += entry.type == type && entry.message.contains(part) ? 1 : 0;
        return n;
    }

    QList<Entry> entries;
};
