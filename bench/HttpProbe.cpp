#include "HttpProbe.h"

#include <QDeadlineTimer>
#include <QElapsedTimer>
#include <QHostAddress>
#include <QTcpSocket>

namespace NVL::Engineering::VK::Bench {

HttpProbe::Reply HttpProbe::get(quint16 port, const QString &path, int timeoutMs)
{
    Reply reply;
    QTcpSocket socket;
    socket.connectToHost(QHostAddress::LocalHost, port);
    if (!socket.waitForConnected(timeoutMs)) {
        reply.error = socket.errorString();
        return reply;
    }
    const QDeadlineTimer deadline(timeoutMs);
    QElapsedTimer clock;
    clock.start();
    socket.write("GET " + path.toUtf8() + " HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n");
    QByteArray data;
    qsizetype headerEnd = -1;
    qint64 length = -1;
    while (!deadline.hasExpired()) {
        if (socket.bytesAvailable() == 0 && !socket.waitForReadyRead(int(qMax<qint64>(1, deadline.remainingTime())))) {
            if (socket.state() != QAbstractSocket::ConnectedState)
                break;
            continue;
        }
        data += socket.readAll();
        if (headerEnd < 0 && (headerEnd = data.indexOf("\r\n\r\n")) >= 0) {
            const QList<QByteArray> lines = data.left(headerEnd).split('\n');
            reply.status = lines.value(0).split(' ').value(1).toInt();
            for (const QByteArray &line : lines) {
                if (line.toLower().startsWith("content-length:"))
                    length = line.mid(15).trimmed().toLongLong();
            }
        }
        if (headerEnd >= 0 && length >= 0 && data.size() - headerEnd - 4 >= length)
            break;
    }
    reply.milliseconds = double(clock.nsecsElapsed()) / 1e6;
    if (headerEnd < 0 || (length >= 0 && data.size() - headerEnd - 4 < length)) {
        reply.error = QStringLiteral("incomplete answer to %1").arg(path);
        return reply;
    }
    reply.body = data.mid(headerEnd + 4);
    reply.ok = true;
    return reply;
}

} // namespace NVL::Engineering::VK::Bench
