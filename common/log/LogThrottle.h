#pragma once

#include "LogType.h"

#include <QHash>
#include <QObject>
#include <QString>
#include <QTimer>

namespace NVL::Engineering::VK {

// Keeps any one sender (a peer that can reach the port) from flooding the log: each gets a few entries a minute;
// what was held back is told at the end of the minute in one line per sender.
class LogThrottle : public QObject
{
    Q_OBJECT

public:
    static constexpr int EntriesPerWindow = 5;
    static constexpr int WindowMs = 60 * 1000;
    // Senders told apart in one window; beyond them all count as one, so the table stays small.
    static constexpr int MaxSenders = 1024;

    explicit LogThrottle(QObject *parent = nullptr);

    void log(const QString &sender, const QString &message, LogType type);

private:
    void endWindow();

    struct Share
    {
        int logged = 0;
        int held = 0;
        LogType type = LogType::Warning;
        QString lastHeld;
    };
    QHash<QString, Share> m_shares;
    QTimer m_window;
};

} // namespace NVL::Engineering::VK
