#pragma once

#include <QProcess>
#include <QString>

// The real server program, run in the foreground ("-e") on a data folder of the test's own.
// Every event-log entry is echoed to its standard error, which the test reads.
class VoltkeepProcess
{
public:
    // commonDataFolder stands in for the machine's common application data (NORVALE_COMMON_APPDATA).
    explicit VoltkeepProcess(const QString &commonDataFolder);
    ~VoltkeepProcess();

    VoltkeepProcess(const VoltkeepProcess &) = delete;
    VoltkeepProcess &operator=(const VoltkeepProcess &) = delete;

    // The server's own folder (<common>/Norvale/Voltkeep) and the configuration file of both programs.
    QString dataFolder() const;
    QString configurationFile() const;
    // The [http] section that turns the API off, written with every port setting.
    static const QByteArray HttpOff;

    // Writes vk.cfg with the given port value (any text, to test odd settings).
    void writePortSetting(const QString &value);
    void setPort(quint16 port);
    quint16 port() const { return m_port; }
    void setEnvironment(const QString &name, const QString &value);
    // Starts the program with these descriptor limits (soft, hard); Linux only.
    void setDescriptorLimit(quint64 soft, quint64 hard);
    qint64 processId() const { return m_process.processId(); }

    // Starts the program and waits for the log line that marks start-up as finished: the banner,
    // or the line of a failed start. False if neither came in time.
    bool start(int timeoutMs = 15000);
    bool waitForLog(const QString &text, int timeoutMs = 5000, int occurrences = 1);
    int countInLog(const QString &text);
    QString log();
    bool isRunning() const;
    // The exit status once the program has ended by itself within the time; -1 otherwise.
    int waitForExit(int timeoutMs = 15000);
    // SIGKILL: nothing is flushed or shut down.
    void kill();
    void terminate();

    // A port that is free for both TCP and UDP on the loopback addresses right now.
    static quint16 freePort();

private:
    void collect();

    QString m_common;
    quint16 m_port = 0;
    QProcess m_process;
    QString m_log;
    QStringList m_extraEnvironment;
};
