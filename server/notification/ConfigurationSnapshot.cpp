#include "ConfigurationSnapshot.h"

#include <ConfigurationFile.h>
#include <JsonFields.h>

#include <QFileInfo>

#include <exception>

namespace NVL::Engineering::VK {

namespace {

[[noreturn]] void refuse(const QString &what)
{
    throw ConfigurationSnapshot::TooLarge(what.toStdString());
}

nlohmann::json readDocument(const QString &path)
{
    const qint64 size = QFileInfo(path).size();
    if (size > ConfigurationSnapshot::MaxFileBytes)
        refuse(QStringLiteral("the file has %1 bytes, more than the %2 MiB the server reads")
                   .arg(size)
                   .arg(ConfigurationSnapshot::MaxFileBytes >> 20));
    return ConfigurationFile(path).readDocument();
}

std::shared_ptr<const ConfigurationSnapshot::Mail> mailOf(const nlohmann::json &document)
{
    auto mail = std::make_shared<ConfigurationSnapshot::Mail>();
    try {
        mail->smtpSettings = document.at("smtpSettings").get<SmtpSettingsData>();
        const nlohmann::json &list = document.at("recipients");
        if (list.size() > std::size_t(ConfigurationSnapshot::MaxRecipients))
            refuse(QStringLiteral("the file lists %1 recipients, more than the %2 the server takes")
                       .arg(list.size())
                       .arg(ConfigurationSnapshot::MaxRecipients));
        for (RecipientData &recipient : jsonToList<RecipientData>(list)) {
            // The first of a uuid listed twice, as a search from the front finds it.
            mail->recipients.emplace(recipient.uuid, std::move(recipient));
        }
    } catch (const ConfigurationSnapshot::TooLarge &e) {
        mail->error = QString::fromUtf8(e.what());
        mail->tooLarge = true;
        mail->recipients.clear();
    } catch (const std::exception &e) {
        mail->error = QString::fromUtf8(e.what());
        mail->recipients.clear();
    }
    return mail;
}

} // namespace

ConfigurationSnapshot ConfigurationSnapshot::read(const QString &path)
{
    ConfigurationSnapshot snapshot;
    try {
        const nlohmann::json document = readDocument(path);
        snapshot.mail = mailOf(document);
        const nlohmann::json &list = document.at("notifications");
        if (list.size() > std::size_t(MaxNotifications))
            refuse(QStringLiteral("the file lists %1 notifications, more than the %2 the server plans")
                       .arg(list.size())
                       .arg(MaxNotifications));
        snapshot.notifications = jsonToList<NotificationData>(list);
    } catch (const TooLarge &e) {
        snapshot.notificationsError = QString::fromUtf8(e.what());
        snapshot.tooLarge = true;
    } catch (const std::exception &e) {
        snapshot.notificationsError = QString::fromUtf8(e.what());
    }
    if (!snapshot.mail) {
        auto mail = std::make_shared<Mail>();
        mail->error = snapshot.notificationsError;
        snapshot.mail = mail;
    }
    return snapshot;
}

std::shared_ptr<const ConfigurationSnapshot::Mail> ConfigurationSnapshot::readMail(const QString &path)
{
    try {
        return mailOf(readDocument(path));
    } catch (const std::exception &e) {
        auto mail = std::make_shared<Mail>();
        mail->error = QString::fromUtf8(e.what());
        return mail;
    }
}

} // namespace NVL::Engineering::VK
