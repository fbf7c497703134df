#include "SystemdNotifier.h"

#include <QTimer>

#include <climits>

#include <systemd/sd-daemon.h>

namespace NVL::Engineering::VK {

SystemdNotifier::SystemdNotifier(QObject *parent)
    : QObject(parent)
{
}

void SystemdNotifier::send(const QByteArray &state)
{
    sd_notify(0, state.constData());
}

QByteArray SystemdNotifier::statusLine(const QString &text)
{
    // One message holds one assignment per line.
    QString line = text;
    line.replace(QLatin1Char('\n'), QLatin1Char(' '));
    line.replace(QLatin1Char('\r'), QLatin1Char(' '));
    return "STATUS=" + line.trimmed().toUtf8();
}

void SystemdNotifier::ready(const QString &status)
{
    send(status.isEmpty() ? QByteArray("READY=1") : "READY=1\n" + statusLine(status));
}

void SystemdNotifier::stopping()
{
    send("STOPPING=1");
}

void SystemdNotifier::status(const QString &text)
{
    send(statusLine(text));
}

void SystemdNotifier::startWatchdog()
{
    uint64_t intervalUs = 0;
    if (m_watchdog || sd_watchdog_enabled(0, &intervalUs) <= 0 || intervalUs == 0)
        return;
    m_watchdog = new QTimer(this);
    m_watchdog->setTimerType(Qt::PreciseTimer);
    m_watchdog->setInterval(int(qBound<uint64_t>(1, intervalUs / 2000, uint64_t(INT_MAX))));
    connect(m_watchdog, &QTimer::timeout, this, [] { send("WATCHDOG=1"); });
    m_watchdog->start();
}

int SystemdNotifier::watchdogIntervalMs() const
{
    return m_watchdog ? m_watchdog->interval() : 0;
}

} // namespace NVL::Engineering::VK
