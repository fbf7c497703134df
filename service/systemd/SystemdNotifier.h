#pragma once

#include <QByteArray>
#include <QObject>
#include <QString>

class QTimer;

namespace NVL::Engineering::VK {

// The messages of a notify service to systemd (sd_notify) and its watchdog signal. Without
// NOTIFY_SOCKET every message is dropped.
class SystemdNotifier : public QObject
{
    Q_OBJECT

public:
    explicit SystemdNotifier(QObject *parent = nullptr);

    // Safe from any thread.
    static void ready(const QString &status);
    static void stopping();
    static void status(const QString &text);

    // When systemd asks for a watchdog signal, a timer on this thread's event loop sends one at half
    // the interval, so a blocked loop misses it and systemd restarts the service.
    void startWatchdog();
    int watchdogIntervalMs() const;

private:
    static void send(const QByteArray &state);
    static QByteArray statusLine(const QString &text);

    QTimer *m_watchdog = nullptr;
};

} // namespace NVL::Engineering::VK
