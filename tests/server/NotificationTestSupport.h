#pragma once

#include "BatteryRecord.h"

#include "ScriptedTcpServer.h"

#include <ConfigurationData.h>

#include <QByteArray>
#include <QList>
#include <QMap>
#include <QSemaphore>
#include <QString>

#include <atomic>

// Building blocks shared by the notification tests: battery records, configuration files and
// a small MIME reader for the mails the test SMTP server received.
namespace NotificationTest {

using namespace NVL::Engineering::VK;

// A self-measuring battery (its serial renders as letter + 10 hex digits) with the given health percent.
NVL::Engineering::VK::BatteryRecord battery(char letter, quint8 serialByte, quint8 percent,
                                            const QByteArray &alias = "Radio 7");

NotificationData periodic(PeriodicType period, const std::string &time, ReportKind report = ReportKind::FullReport,
                          std::set<std::string> recipients = {});
NotificationData triggered(int triggerValue, std::set<std::string> recipients, const std::string &alias = "alert");
RecipientData recipient(const std::string &uuid, const std::string &email, bool textMessage = false);
SmtpSettingsData plainSmtp(quint16 port, const std::string &user = "vk", const std::string &password = "pw");

// Writes the configuration file through the real ConfigurationFile (NORVALE_COMMON_APPDATA must be set).
bool writeConfiguration(const SmtpSettingsData &smtp, const RecipientList &recipients,
                        const NotificationList &notifications);
// Puts raw bytes where the configuration file lives, for malformed files.
bool writeRawConfiguration(const QByteArray &bytes);

// A mail server played by a script on one connection: it accepts everything, each reply `delayMs` after
// the line it answers. With holdGreeting it stays silent after the accept until `go` is released.
struct SmtpScript
{
    int delayMs = 0;
    bool holdGreeting = false;
    QSemaphore go;
    QSemaphore mailFromSeen; // released at every MAIL FROM
    std::atomic<bool> connected{false};
};
ScriptedTcpServer::Script scriptedSmtp(SmtpScript *control);

struct MimeEntity
{
    QMap<QByteArray, QByteArray> headers; // names in lower case, values as written
    QByteArray rawBody;                   // as on the wire
    QByteArray body;                      // transfer encoding undone
};

struct Mail
{
    QMap<QByteArray, QByteArray> headers;
    QList<MimeEntity> parts; // the leaf parts, nested multiparts opened, in order
};

// Parses the DATA bytes of a multipart message with CRLF line ends; empty parts on any surprise.
Mail parseMail(const QByteArray &data);
QByteArray decodeQuotedPrintable(const QByteArray &encoded);

} // namespace NotificationTest
