#include "VoltkeepProcess.h"

#include "FreePort.h"

#include "TestPaths.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QProcessEnvironment>

#ifdef Q_OS_LINUX
#include <sys/resource.h>

using namespace NVL::Engineering::VK;
#endif

// Servers of tests running side by side would compete for the HTTP API's one default port.
const QByteArray VoltkeepProcess::HttpOff = QByteArrayLiteral("[http]\nlisten=\n");

VoltkeepProcess::VoltkeepProcess(const QString &commonDataFolder)
    : m_common(commonDataFolder)
{
    m_process.setProcessChannelMode(QProcess::SeparateChannels);
}

VoltkeepProcess::~VoltkeepProcess()
{
    kill();
}

QString VoltkeepProcess::dataFolder() const
{
    return m_common + QStringLiteral("/Norvale/Voltkeep");
}

QString VoltkeepProcess::configurationFile() const
{
    return m_common + QStringLiteral("/Norvale/Cellwarden/Bellwright.JSON");
}

void VoltkeepProcess::writePortSetting(const QString &value)
{
    QDir().mkpath(dataFolder());
    QFile file(dataFolder() + QStringLiteral("/vk.cfg"));
    if (file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        file.write("[General]\nport=" + value.toUtf8() + "\n" + HttpOff);
}

void VoltkeepProcess::setPort(quint16 port)
{
    m_port = port;
    writePortSetting(QString::number(port));
}

void VoltkeepProcess::setEnvironment(const QString &name, const QString &value)
{
    m_extraEnvironment << name + QLatin1Char('=') + value;
}

void VoltkeepProcess::setDescriptorLimit(quint64 soft, quint64 hard)
{
#ifdef Q_OS_LINUX
    m_process.setChildProcessModifier([soft, hard] {
        const rlimit limit{rlim_t(soft), rlim_t(hard)};
        setrlimit(RLIMIT_NOFILE, &limit);
    });
#else
    Q_UNUSED(soft);
    Q_UNUSED(hard);
#endif
}

bool VoltkeepProcess::start(int timeoutMs)
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("NORVALE_COMMON_APPDATA"), m_common);
    for (const QString &entry : std::as_const(m_extraEnvironment)) {
        const int eq = entry.indexOf(QLatin1Char('='));
        env.insert(entry.left(eq), entry.mid(eq + 1));
    }
    m_process.setProcessEnvironment(env);
    m_log.clear();
    m_process.start(TestPaths::voltkeepBinary(), {QStringLiteral("-e")});
    if (!m_process.waitForStarted(timeoutMs)) {
        qWarning("The server did not start: %s", qPrintable(m_process.errorString()));
        return false;
    }
    const QDeadlineTimer deadline(timeoutMs);
    const auto finished = [this] {
        collect();
        return m_log.contains(QLatin1String("Accepting connections on port:"))
            || m_log.contains(QLatin1String("could not start"));
    };
    while (!deadline.hasExpired() && !finished() && isRunning())
        m_process.waitForReadyRead(int(qMin<qint64>(deadline.remainingTime(), 100)));
    if (finished())
        return true;
    // The test only sees "false": the log and how the program ended are what tell why.
    qWarning("The server did not finish its start (%s, exit status %d); its log:\n%s",
             isRunning() ? "still running" : m_process.exitStatus() == QProcess::CrashExit ? "crashed" : "ended",
             m_process.exitCode(), qPrintable(m_log));
    return false;
}

int VoltkeepProcess::waitForExit(int timeoutMs)
{
    if (m_process.state() != QProcess::NotRunning && !m_process.waitForFinished(timeoutMs))
        return -1;
    collect();
    return m_process.exitStatus() == QProcess::NormalExit ? m_process.exitCode() : -1;
}

bool VoltkeepProcess::waitForLog(const QString &text, int timeoutMs, int occurrences)
{
    const QDeadlineTimer deadline(timeoutMs);
    for (;;) {
        collect();
        if (m_log.count(text) >= occurrences)
            return true;
        if (deadline.hasExpired() || m_process.state() == QProcess::NotRunning)
            return false;
        m_process.waitForReadyRead(int(qMin<qint64>(deadline.remainingTime(), 100)));
    }
}

int VoltkeepProcess::countInLog(const QString &text)
{
    collect();
    return int(m_log.count(text));
}

QString VoltkeepProcess::log()
{
    collect();
    return m_log;
}

bool VoltkeepProcess::isRunning() const
{
    return m_process.state() != QProcess::NotRunning;
}

void VoltkeepProcess::kill()
{
    if (m_process.state() == QProcess::NotRunning)
        return;
    m_process.kill();
    m_process.waitForFinished(5000);
    collect();
}

void VoltkeepProcess::terminate()
{
    if (m_process.state() == QProcess::NotRunning)
        return;
    m_process.terminate();
    m_process.waitForFinished(5000);
    collect();
}

void VoltkeepProcess::collect()
{
    m_log += QString::fromUtf8(m_process.readAllStandardError());
    m_process.readAllStandardOutput();
}

quint16 VoltkeepProcess::freePort()
{
    return NVL::Engineering::VK::freeRadioPort();
}
