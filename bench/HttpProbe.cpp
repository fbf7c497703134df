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
    bool chunked = false;
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
                chunked = chunked || line.toLower().startsWith("transfer-encoding: chunked");
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
    if (chunked) {
        // Streamed answers come in chunks, the last one empty.
        QByteArray body;
        qsizetype pos = 0;
        for (;;) {
            const qsizetype lineEnd = reply.body.indexOf("\r\n", pos);
            bool ok = false;
            const qsizetype size = lineEnd < 0 ? 0 : reply.body.mid(pos, lineEnd - pos).toLongLong(&ok, 16);
            if (!ok || lineEnd + 2 + size > reply.body.size()) {
                reply.error = QStringLiteral("broken chunks in the answer to %1").arg(path);
                return reply;
            }
            if (size == 0)
                break;
            body += reply.body.mid(lineEnd + 2, size);
            pos = lineEnd + 2 + size + 2;
        }
        reply.body = body;
    }
    reply.ok = true;
    return reply;
}

} // namespace NVL::Engineering::VK::Bench
