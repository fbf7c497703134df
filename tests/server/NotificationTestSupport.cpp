#include "NotificationTestSupport.h"

#include <ConfigurationFile.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QThread>

#include <algorithm>
#include <cstring>

using namespace NVL::Engineering::VK;

using NVL::Engineering::VK::BatteryRecord;
using NVL::Engineering::VK::SelfMeasuringTypeA;

namespace NotificationTest {

BatteryRecord battery(char letter, quint8 serialByte, quint8 percent, const QByteArray &alias)
{
    BatteryRecord r;
    r.version = 1;
    r.typeCode = SelfMeasuringTypeA;
    r.healthPercent = percent;
    r.serial[0] = serialByte; // the key orders by this byte first
    r.serial[2] = quint8(letter);
    r.serial[3] = serialByte;
    r.serial[4] = 0x23;
    r.serial[5] = 0x45;
    r.serial[6] = 0x67;
    r.serial[7] = 0x89;
    for (int i = 0; i < 8; ++i)
        r.esn[i] = quint8(i + 1);
    std::memcpy(r.alias, alias.constData(), std::min<size_t>(size_t(alias.size()), sizeof r.alias));
    r.cycleCount = 17;
    r.fullCapacity = 3200;
    r.reportAddress = 0xC0A80001u; // 192.168.0.1
    r.reportTime = 1736942400u;    // 2025-01-15 12:00:00 UTC
    return r;
}

ScriptedTcpServer::Script scriptedSmtp(SmtpScript *control)
{
    return [control](ScriptedTcpServer::Connection &c) {
        control->connected = true;
        // Bounded, so that a test that fails before releasing it does not hang.
        if (control->holdGreeting && !control->go.tryAcquire(1, 30000))
            return;
        const auto reply = [&](const QByteArray &text) {
            QThread::msleep(quint64(control->delayMs));
            return c.send(text + "\r\n");
        };
        if (!reply("220 scripted ESMTP"))
            return;
        QByteArray line;
        bool inData = false;
        while (c.readLine(&line, 20000)) {
            if (inData) {
                if (line == ".") {
                    inData = false;
                    reply("250 queued");
                }
                continue;
            }
            const QByteArray verb = line.left(4).toUpper();
            if (verb == "MAIL")
                control->mailFromSeen.release();
            if (verb == "DATA") {
                inData = true;
                reply("354 go on");
            } else if (verb == "AUTH") {
                reply("235 fine");
            } else if (verb == "QUIT") {
                reply("221 bye");
                break;
            } else {
                reply("250 ok");
            }
        }
        c.waitForDisconnected(5000);
    };
}

NotificationData periodic(PeriodicType period, const std::string &time, ReportKind report,
                          std::set<std::string> recipients)
{
    NotificationData n;
    n.alias = "periodic";
    n.notificationType = NotificationKind::Periodic;
    n.periodicType = period;
    n.time = time;
    n.reportType = report;
    n.recipientList = std::move(recipients);
    return n;
}

NotificationData triggered(int triggerValue, std::set<std::string> recipients, const std::string &alias)
{
    NotificationData n;
    n.alias = alias;
    n.notificationType = NotificationKind::Triggered;
    n.triggerValue = triggerValue;
    n.recipientList = std::move(recipients);
    return n;
}

RecipientData recipient(const std::string &uuid, const std::string &email, bool textMessage)
{
    RecipientData r;
    r.uuid = uuid;
    r.name = "Name of " + email;
    r.email = email;
    r.textMessage = textMessage;
    return r;
}

SmtpSettingsData plainSmtp(quint16 port, const std::string &user, const std::string &password)
{
    SmtpSettingsData s;
    s.server = "127.0.0.1";
    s.port = port;
    s.security = SecurityType::PlainTcp;
    s.authentication.enabled = true;
    s.authentication.username = user;
    s.authentication.password = password;
    s.sender.name = "Voltkeep";
    s.sender.email = "voltkeep@example.test";
    return s;
}

bool writeConfiguration(const SmtpSettingsData &smtp, const RecipientList &recipients,
                        const NotificationList &notifications)
{
    const ConfigurationFile file;
    return file.setSmtpSettings(smtp) && file.setRecipients(recipients) && file.setNotifications(notifications);
}

bool writeRawConfiguration(const QByteArray &bytes)
{
    const QString path = ConfigurationFile::filePath();
    QDir().mkpath(QFileInfo(path).path());
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(bytes) == bytes.size();
}

namespace {

// Header block up to the empty line; folded lines are joined.
QMap<QByteArray, QByteArray> parseHeaders(const QByteArray &block)
{
    QMap<QByteArray, QByteArray> headers;
    QByteArray lastName;
    for (const QByteArray &line : block.split('\n')) {
        const QByteArray l = line.endsWith('\r') ? line.chopped(1) : line;
        if (l.isEmpty())
            continue;
        if ((l.startsWith(' ') || l.startsWith('\t')) && !lastName.isEmpty()) {
            headers[lastName] += ' ' + l.trimmed();
            continue;
        }
        const int colon = l.indexOf(':');
        if (colon <= 0)
            continue;
        lastName = l.left(colon).trimmed().toLower();
        headers.insert(lastName, l.mid(colon + 1).trimmed());
    }
    return headers;
}

QByteArray parameter(const QByteArray &headerValue, const QByteArray &name)
{
    for (const QByteArray &piece : headerValue.split(';')) {
        const QByteArray p = piece.trimmed();
        if (p.toLower().startsWith(name + '=')) {
            QByteArray value = p.mid(name.size() + 1);
            if (value.startsWith('"') && value.endsWith('"') && value.size() >= 2)
                value = value.mid(1, value.size() - 2);
            return value;
        }
    }
    return QByteArray();
}

int hexValue(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1; // quoted-printable digits are upper case
}

} // namespace

QByteArray decodeQuotedPrintable(const QByteArray &encoded)
{
    QByteArray out;
    for (int i = 0; i < encoded.size(); ++i) {
        const char c = encoded.at(i);
        if (c != '=') {
            out.append(c);
            continue;
        }
        if (encoded.mid(i + 1, 2) == "\r\n") { // soft line break
            i += 2;
            continue;
        }
        const int high = i + 1 < encoded.size() ? hexValue(encoded.at(i + 1)) : -1;
        const int low = i + 2 < encoded.size() ? hexValue(encoded.at(i + 2)) : -1;
        if (high < 0 || low < 0)
            return "<bad quoted-printable at " + QByteArray::number(i) + '>';
        out.append(char(high * 16 + low));
        i += 2;
    }
    return out;
}

namespace {

// The leaf parts of a multipart body in order, nested multiparts opened.
void appendParts(const QByteArray &contentType, const QByteArray &body, QList<MimeEntity> &parts)
{
    const QByteArray boundary = parameter(contentType, "boundary");
    if (boundary.isEmpty())
        return;
    const QByteArray delimiter = "--" + boundary + "\r\n";
    const QByteArray closing = "--" + boundary + "--";
    int position = body.indexOf(delimiter);
    while (position >= 0) {
        const int start = position + delimiter.size();
        int next = body.indexOf(delimiter, start);
        const int close = body.indexOf(closing, start);
        const int end = next >= 0 && (close < 0 || next < close) ? next : close;
        if (end < 0)
            break;
        const QByteArray entityBytes = body.mid(start, end - start);
        const int split = entityBytes.indexOf("\r\n\r\n");
        if (split < 0)
            break;
        MimeEntity entity;
        entity.headers = parseHeaders(entityBytes.left(split));
        entity.rawBody = entityBytes.mid(split + 4);
        if (entity.rawBody.endsWith("\r\n"))
            entity.rawBody.chop(2); // the line end that closes every part
        const QByteArray encoding = entity.headers.value("content-transfer-encoding").toLower();
        if (encoding == "quoted-printable")
            entity.body = decodeQuotedPrintable(entity.rawBody);
        else if (encoding == "base64")
            entity.body = QByteArray::fromBase64(QByteArray(entity.rawBody).replace("\r\n", ""));
        else
            entity.body = entity.rawBody;
        if (entity.headers.value("content-type").startsWith("multipart/"))
            appendParts(entity.headers.value("content-type"), entity.rawBody, parts);
        else
            parts.append(entity);
        position = end == next ? next : -1;
    }
}

} // namespace

Mail parseMail(const QByteArray &data)
{
    Mail mail;
    const int headerEnd = data.indexOf("\r\n\r\n");
    if (headerEnd < 0)
        return mail;
    mail.headers = parseHeaders(data.left(headerEnd));
    appendParts(mail.headers.value("content-type"), data.mid(headerEnd + 4), mail.parts);
    return mail;
}

} // namespace NotificationTest
