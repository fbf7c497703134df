#include "PrivateSystemBus.h"

#include <QDeadlineTimer>
#include <QFile>

PrivateSystemBus::PrivateSystemBus(const QString &folder)
    : m_folder(folder)
{
}

PrivateSystemBus::~PrivateSystemBus()
{
    if (m_daemon.state() == QProcess::NotRunning)
        return;
    m_daemon.terminate();
    if (!m_daemon.waitForFinished(5000)) {
        m_daemon.kill();
        m_daemon.waitForFinished(5000);
    }
}

bool PrivateSystemBus::start()
{
    // Everyone may own and call anything: the bus only carries the test's own programs.
    const QString configPath = m_folder + QStringLiteral("/bus.conf");
    QFile config(configPath);
    if (!config.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return false;
    config.write("<!DOCTYPE busconfig PUBLIC \"-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN\"\n"
                 " \"http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd\">\n"
                 "<busconfig>\n"
                 "  <type>system</type>\n"
                 "  <listen>unix:path=" + m_folder.toUtf8() + "/system_bus_socket</listen>\n"
                 "  <auth>EXTERNAL</auth>\n"
                 "  <policy context=\"default\">\n"
                 "    <allow send_destination=\"*\" eavesdrop=\"true\"/>\n"
                 "    <allow eavesdrop=\"true\"/>\n"
                 "    <allow own=\"*\"/>\n"
                 "  </policy>\n"
                 "</busconfig>\n");
    config.close();

    m_daemon.start(QStringLiteral("dbus-daemon"),
                   {QStringLiteral("--config-file=") + configPath, QStringLiteral("--nofork"), QStringLiteral("--nopidfile"),
                    QStringLiteral("--print-address=1")});
    if (!m_daemon.waitForStarted(5000))
        return false;
    const QDeadlineTimer deadline(10000);
    QByteArray output;
    while (!output.contains('\n') && !deadline.hasExpired() && m_daemon.state() == QProcess::Running) {
        m_daemon.waitForReadyRead(int(qMin<qint64>(deadline.remainingTime(), 200)));
        output += m_daemon.readAllStandardOutput();
    }
    m_address = QString::fromUtf8(output.left(output.indexOf('\n'))).trimmed();
    return !m_address.isEmpty();
}
