#include "FakeSystemd.h"

#include <QDBusMessage>
#include <QDeadlineTimer>
#include <QProcessEnvironment>
#include <QUuid>

FakeSystemd::FakeSystemd(const QString &busAddress, const QString &root)
    : m_busAddress(busAddress)
    , m_root(root)
    , m_connectionName(QStringLiteral("fake-systemd-") + QUuid::createUuid().toString(QUuid::WithoutBraces))
{
}

FakeSystemd::~FakeSystemd()
{
    QDBusConnection::disconnectFromBus(m_connectionName);
    if (m_process.state() == QProcess::NotRunning)
        return;
    m_process.terminate();
    if (!m_process.waitForFinished(5000)) {
        m_process.kill();
        m_process.waitForFinished(5000);
    }
}

bool FakeSystemd::start()
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("DBUS_SYSTEM_BUS_ADDRESS"), m_busAddress);
    m_process.setProcessEnvironment(env);
    m_process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    m_process.start(QStringLiteral(VK_FAKE_SYSTEMD_BIN), {m_root});
    if (!m_process.waitForStarted(5000))
        return false;
    const QDeadlineTimer deadline(15000);
    QByteArray output;
    while (!output.contains("ready\n") && !deadline.hasExpired() && m_process.state() == QProcess::Running) {
        m_process.waitForReadyRead(int(qMin<qint64>(deadline.remainingTime(), 200)));
        output += m_process.readAllStandardOutput();
    }
    if (!output.contains("ready\n"))
        return false;
    return QDBusConnection::connectToBus(m_busAddress, m_connectionName).isConnected();
}

QVariantList FakeSystemd::call(const QString &method, const QVariantList &arguments)
{
    QDBusMessage message = QDBusMessage::createMethodCall(QStringLiteral("org.freedesktop.systemd1"),
                                                          QStringLiteral("/org/freedesktop/systemd1"),
                                                          QStringLiteral("org.norvale.test.FakeSystemd"), method);
    message.setArguments(arguments);
    const QDBusMessage reply = QDBusConnection(m_connectionName).call(message, QDBus::Block, 10000);
    if (reply.type() != QDBusMessage::ReplyMessage)
        qWarning("fake systemd: %s failed: %s", qPrintable(method), qPrintable(reply.errorMessage()));
    return reply.arguments();
}

QStringList FakeSystemd::calls() { return call(QStringLiteral("Calls")).value(0).toStringList(); }
void FakeSystemd::clearCalls() { call(QStringLiteral("ClearCalls")); }

void FakeSystemd::setActiveState(const QString &unit, const QString &state)
{
    call(QStringLiteral("SetActiveState"), {unit, state});
}

QString FakeSystemd::activeState(const QString &unit)
{
    return call(QStringLiteral("ActiveState"), {unit}).value(0).toString();
}

void FakeSystemd::setStopDelay(int ms) { call(QStringLiteral("SetStopDelay"), {ms}); }

void FakeSystemd::refuse(const QString &method, const QString &errorName, const QString &text)
{
    call(QStringLiteral("Refuse"), {method, errorName, text});
}
