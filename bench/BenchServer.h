#pragma once

#include <QProcess>
#include <QString>

#include <optional>

namespace NVL::Engineering::VK::Bench {

// The real Voltkeep program in the foreground ("-e") on a data folder of the benchmark's own.
// Its standard error goes to a file, so a busy benchmark that reads nothing cannot stall it on a full pipe.
class BenchServer
{
public:
    struct Memory
    {
        qint64 peakKiB = 0;     // VmHWM
        qint64 residentKiB = 0; // VmRSS
    };

    BenchServer(const QString &program, const QString &commonDataFolder);
    ~BenchServer();

    BenchServer(const BenchServer &) = delete;
    BenchServer &operator=(const BenchServer &) = delete;

    QString dataFolder() const;
    QString databasePath() const;
    bool writePortSetting(quint16 port);
    quint16 port() const { return m_port; }

    // Waits for the start-up banner; false (with errorString) on a failed start-up or time-out.
    bool start(int timeoutMs);
    // SIGTERM, then SIGKILL if it lingers. Every report was committed with a full sync, so nothing is lost.
    void stop();
    bool isRunning() const;
    std::optional<Memory> memory() const;
    // Sets the peak back to what the process holds now, so that the next peak is that of what follows.
    bool resetPeak() const;
    // Processor time the server has used so far (user and system), in milliseconds.
    std::optional<double> cpuMilliseconds() const;
    // Waits until the server's work after the banner (catching up the history, fitting, the retention
    // pass) is done: its processor time stands still for half a second. Returns the seconds waited.
    double settle(int timeoutMs = 600000) const;
    // Resident memory once settled, after a pause that lets what the last work freed be counted out.
    qint64 idleResidentKiB() const;
    QString errorString() const { return m_error; }
    // The log written since the last start.
    QString logSinceStart() const;

    // A port free for both TCP and UDP right now.
    static quint16 freePort();

private:
    QString m_program;
    QString m_common;
    QString m_logPath;
    qint64 m_logOffset = 0;
    quint16 m_port = 0;
    QProcess m_process;
    QString m_error;
};

} // namespace NVL::Engineering::VK::Bench
