#include "BenchServer.h"

#include "FreePort.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QProcessEnvironment>
#include <QThread>

#ifdef Q_OS_LINUX
#include <csignal>
#include <sys/prctl.h>
#include <unistd.h>
#endif

namespace NVL::Engineering::VK::Bench {

BenchServer::BenchServer(const QString &program, const QString &commonDataFolder)
    : m_program(program)
    , m_common(commonDataFolder)
    , m_logPath(commonDataFolder + QStringLiteral("/voltkeep-stderr.log"))
{
    m_process.setStandardOutputFile(QProcess::nullDevice());
    m_process.setStandardErrorFile(m_logPath, QIODevice::Append);
#ifdef Q_OS_LINUX
    // A benchmark that is killed must not leave its server running.
    m_process.setChildProcessModifier([] { ::prctl(PR_SET_PDEATHSIG, SIGKILL); });
#endif
}

BenchServer::~BenchServer()
{
    stop();
}

QString BenchServer::dataFolder() const
{
    return m_common + QStringLiteral("/Norvale/Voltkeep");
}

QString BenchServer::databasePath() const
{
    return dataFolder() + QStringLiteral("/vk.db");
}

bool BenchServer::writePortSetting(quint16 port)
{
    m_port = port;
    QDir().mkpath(dataFolder());
    QFile file(dataFolder() + QStringLiteral("/vk.cfg"));
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return false;
    return file.write("[General]\nport=" + QByteArray::number(port) + "\n") > 0;
}

QString BenchServer::logSinceStart() const
{
    QFile file(m_logPath);
    if (!file.open(QIODevice::ReadOnly) || !file.seek(m_logOffset))
        return {};
    return QString::fromUtf8(file.readAll());
}

bool BenchServer::start(int timeoutMs)
{
    m_error.clear();
    m_logOffset = QFileInfo(m_logPath).size();
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("NORVALE_COMMON_APPDATA"), m_common);
    m_process.setProcessEnvironment(env);
    m_process.start(m_program, {QStringLiteral("-e")});
    if (!m_process.waitForStarted(timeoutMs)) {
        m_error = QStringLiteral("cannot start %1: %2").arg(m_program, m_process.errorString());
        return false;
    }
    static const QStringList failures = {
        QStringLiteral("Failed to open database"),      QStringLiteral("Database error:"),
        QStringLiteral("Build configuration error"),     QStringLiteral("Database configuration error"),
        QStringLiteral("Failed to listen for connections"), QStringLiteral("Unable to bind UDP socket"),
    };
    const QDeadlineTimer deadline(timeoutMs);
    while (!deadline.hasExpired()) {
        const QString log = logSinceStart();
        for (const QString &failure : failures) {
            if (log.contains(failure)) {
                m_error = QStringLiteral("server start-up failed: ") + log.trimmed();
                return false;
            }
        }
        if (log.contains(QLatin1String("Accepting connections on port:")))
            return true;
        if (m_process.state() == QProcess::NotRunning) {
            m_error = QStringLiteral("server exited during start-up: ") + log.trimmed();
            return false;
        }
        QThread::msleep(20);
    }
    m_error = QStringLiteral("server did not report ready within %1 ms").arg(timeoutMs);
    return false;
}

void BenchServer::stop()
{
    if (m_process.state() == QProcess::NotRunning)
        return;
    m_process.terminate();
    if (!m_process.waitForFinished(5000)) {
        m_process.kill();
        m_process.waitForFinished(5000);
    }
}

bool BenchServer::isRunning() const
{
    return m_process.state() != QProcess::NotRunning;
}

std::optional<BenchServer::Memory> BenchServer::memory() const
{
    if (m_process.state() == QProcess::NotRunning)
        return std::nullopt;
    QFile status(QStringLiteral("/proc/%1/status").arg(m_process.processId()));
    if (!status.open(QIODevice::ReadOnly))
        return std::nullopt;
    Memory memory;
    bool havePeak = false;
    for (const QByteArray &line : status.readAll().split('\n')) {
        // "VmHWM:     12345 kB"
        const QList<QByteArray> fields = line.simplified().split(' ');
        if (fields.size() < 2)
            continue;
        if (fields[0] == "VmHWM:") {
            memory.peakKiB = fields[1].toLongLong(&havePeak);
        } else if (fields[0] == "VmRSS:") {
            memory.residentKiB = fields[1].toLongLong();
        }
    }
    if (!havePeak)
        return std::nullopt;
    return memory;
}

bool BenchServer::resetPeak() const
{
    QFile refs(QStringLiteral("/proc/%1/clear_refs").arg(m_process.processId()));
    return m_process.state() != QProcess::NotRunning && refs.open(QIODevice::WriteOnly) && refs.write("5") == 1;
}

std::optional<double> BenchServer::cpuMilliseconds() const
{
#ifdef Q_OS_LINUX
    QFile stat(QStringLiteral("/proc/%1/stat").arg(m_process.processId()));
    if (m_process.state() == QProcess::NotRunning || !stat.open(QIODevice::ReadOnly))
        return std::nullopt;
    // Fields after the parenthesised name: state is the 3rd field, utime the 14th, stime the 15th.
    const QByteArray line = stat.readAll();
    const QList<QByteArray> fields = line.mid(line.lastIndexOf(')') + 2).split(' ');
    if (fields.size() < 13)
        return std::nullopt;
    return double(fields[11].toLongLong() + fields[12].toLongLong()) * 1000.0 / double(sysconf(_SC_CLK_TCK));
#else
    return std::nullopt;
#endif
}

double BenchServer::settle(int timeoutMs) const
{
    QElapsedTimer clock;
    clock.start();
    double before = cpuMilliseconds().value_or(0);
    for (const QDeadlineTimer deadline(timeoutMs); !deadline.hasExpired();) {
        QThread::msleep(500);
        const double now = cpuMilliseconds().value_or(0);
        if (now - before < 25)
            break;
        before = now;
    }
    return double(clock.elapsed()) / 1000.0;
}

qint64 BenchServer::idleResidentKiB() const
{
    QThread::msleep(2000);
    return memory().value_or(Memory{}).residentKiB;
}

quint16 BenchServer::freePort()
{
    return freeRadioPort();
}

} // namespace NVL::Engineering::VK::Bench
