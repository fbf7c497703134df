#include "ArgumentList.h"
#include "ConfigTool.h"

#include <ConfigurationFile.h>
#include <ScheduleText.h>
#include <SecurityName.h>

#include <nlohmann/json.hpp>

namespace NVL::Engineering::VK {

namespace {

QString text(const std::string &value)
{
    return QString::fromStdString(value);
}

nlohmann::json toJson(const SmtpSettingsData &s)
{
    return {{"server", s.server},
            {"port", s.port},
            {"security", SecurityName::of(s.security).toStdString()},
            {"authentication",
             {{"enabled", s.authentication.enabled},
              {"user", s.authentication.username},
              {"passwordSet", !s.authentication.password.empty()}}},
            {"sender", {{"name", s.sender.name}, {"email", s.sender.email}}}};
}

} // namespace

void ConfigTool::show(const QStringList &words)
{
    const ArgumentList arguments(QStringLiteral("show"), words, {{QStringLiteral("json")}});
    arguments.expectPositional(0, QString());
    SmtpSettingsData settings;
    RecipientList recipients;
    NotificationList notifications;
    read([&](const ConfigurationFile &file) {
        settings = file.smtpSettings();
        recipients = file.recipients();
        notifications = file.notifications();
    });

    if (!arguments.has(QStringLiteral("json"))) {
        m_out << "Configuration file: " << m_path << "\n\n";
        printSmtp(settings);
        m_out << "\n";
        printRecipients(recipients);
        m_out << "\n";
        printNotifications(notifications, recipients);
        return;
    }
    nlohmann::json document{{"file", m_path.toStdString()}, {"smtp", toJson(settings)}};
    document["recipients"] = nlohmann::json::array();
    for (const RecipientData &r : recipients)
        document["recipients"].push_back({{"name", r.name}, {"email", r.email}, {"textMessage", r.textMessage}});
    document["notifications"] = nlohmann::json::array();
    for (const NotificationData &n : notifications) {
        nlohmann::json to = nlohmann::json::array();
        for (const QString &name : ScheduleText::recipientNames(n, recipients))
            to.push_back(name.toStdString());
        const QDateTime due = ScheduleText::nextDueTime(n, m_now, m_zone);
        document["notifications"].push_back(
            {{"alias", n.alias},
             {"schedule", ScheduleText::describe(n).toStdString()},
             {"report", n.notificationType == NotificationKind::Periodic ? ScheduleText::reportName(n.reportType).toStdString() : ""},
             {"to", to},
             {"nextDue", due.isValid() ? due.toTimeZone(m_zone).toString(Qt::ISODate).toStdString() : ""}});
    }
    // Replacement, not refusal: a name from a hand-edited file must not make show fail.
    m_out << QString::fromStdString(document.dump(2, ' ', false, nlohmann::json::error_handler_t::replace)) << "\n";
}

void ConfigTool::printSmtp(const SmtpSettingsData &s)
{
    const AuthenticationData &auth = s.authentication;
    m_out << "SMTP\n"
          << "  Server:         " << text(s.server) << "\n"
          << "  Port:           " << s.port << "\n"
          << "  Security:       " << SecurityName::of(s.security) << "\n"
          << "  Authentication: "
          << (auth.enabled ? QStringLiteral("on, user %1, %2")
                                 .arg(text(auth.username), auth.password.empty() ? QStringLiteral("no password set")
                                                                                 : QStringLiteral("password set"))
                           : QStringLiteral("off"))
          << "\n"
          << "  Sender:         " << text(s.sender.name) << " <" << text(s.sender.email) << ">\n";
}

void ConfigTool::printRecipients(const RecipientList &recipients)
{
    m_out << "Recipients (" << recipients.size() << ")\n";
    for (const RecipientData &r : recipients)
        m_out << "  " << text(r.name) << " <" << text(r.email) << ">" << (r.textMessage ? " (text message)" : "") << "\n";
}

void ConfigTool::printNotifications(const NotificationList &notifications, const RecipientList &recipients)
{
    m_out << "Notifications (" << notifications.size() << ")\n";
    for (const NotificationData &n : notifications) {
        m_out << "  " << text(n.alias) << ": " << ScheduleText::summary(n, recipients) << "\n"
              << "    next due: " << ScheduleText::nextDue(n, m_now, m_zone) << "\n";
    }
}

void ConfigTool::listRecipients(const QStringList &words)
{
    ArgumentList(QStringLiteral("recipient list"), words, {}).expectPositional(0, QString());
    RecipientList recipients;
    read([&](const ConfigurationFile &file) { recipients = file.recipients(); });
    printRecipients(recipients);
}

void ConfigTool::listNotifications(const QStringList &words)
{
    ArgumentList(QStringLiteral("notification list"), words, {}).expectPositional(0, QString());
    RecipientList recipients;
    NotificationList notifications;
    read([&](const ConfigurationFile &file) {
        recipients = file.recipients();
        notifications = file.notifications();
    });
    printNotifications(notifications, recipients);
}

} // namespace NVL::Engineering::VK
