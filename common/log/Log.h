#pragma once

#include "LogType.h"

#include <QByteArray>
#include <QString>

namespace NVL::Engineering::VK {

// The one way into the event log, for every part of the tree: each entry goes to the sink in force
// (EventSink) under the name of the program that logs.
class Log
{
public:
    Log() = delete;

    static void write(const QString &message, LogType type, quint32 eventId = 0xC0000001u, quint16 category = 0,
                      const QByteArray &data = QByteArray());

    static void error(const QString &message) { write(message, LogType::Error); }
    static void warning(const QString &message) { write(message, LogType::Warning); }
    static void information(const QString &message) { write(message, LogType::Information); }
    static void success(const QString &message) { write(message, LogType::Success); }

    // The message as one line: breaks and tabs made one space, an empty " ()" left out. What Warnings and
    // Errors are written as.
    static QString oneLine(const QString &message);

    // The name entries go out under; empty stands for the server's.
    static void setSource(const QString &name);
    static QString source();
};

} // namespace NVL::Engineering::VK
