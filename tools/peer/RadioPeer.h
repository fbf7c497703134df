#pragma once

#include "BatteryRecord.h"

#include <QByteArray>
#include <QList>
#include <QString>
#include <QTcpSocket>

#include <optional>

namespace NVL::Engineering::VK {

// A peer of the radio link: speaks the server's binary messages over TCP and UDP.
// Blocking on purpose; it is used by command-line tools, tests and benchmarks.
class RadioPeer
{
public:
    RadioPeer(const QString &host, quint16 port, int timeoutMs = 5000);

    bool connectToServer();
    void disconnectFromServer();
    QTcpSocket &socket() { return m_socket; }
    // What went wrong in the last failed operation, for people.
    QString errorString() const { return m_error; }
    // True when the last failure was a time-out rather than a refusal or a protocol fault.
    bool timedOut() const { return m_timedOut; }
    // True when the last failure happened before the server was reached: a refused connection, a host
    // name that does not resolve, a datagram the system did not send.
    bool unreached() const { return m_unreached; }

    bool sendRaw(const QByteArray &bytes);
    bool sendReport(const BatteryRecord &record);
    bool sendReportDatagram(const BatteryRecord &record);
    bool sendDatagram(const QByteArray &bytes);
    std::optional<QList<BatteryRecord>> list();
    bool deleteSerials(const QList<QByteArray> &serials);
    std::optional<quint8> version(quint8 ownVersion = 1);
    // Reads exactly count bytes or fails after the time-out.
    std::optional<QByteArray> readExactly(qint64 count);

    static QByteArray reportMessage(const BatteryRecord &record);
    static QByteArray listRequestMessage();
    static QByteArray versionRequestMessage(quint8 ownVersion);
    static QByteArray deleteRequestMessage(const QList<QByteArray> &serials);

private:
    bool fail(const QString &what, bool timedOut, bool unreached = false);

    QString m_host;
    quint16 m_port;
    int m_timeoutMs;
    QTcpSocket m_socket;
    QString m_error;
    bool m_timedOut = false;
    bool m_unreached = false;
};

} // namespace NVL::Engineering::VK
