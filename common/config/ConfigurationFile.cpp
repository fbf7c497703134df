#include "ConfigurationFile.h"

#include "AtomicFile.h"
#include "DataPaths.h"
#include "JsonFields.h"

#include <QByteArray>
#include <QFileInfo>

#include <string>
#include <utility>

namespace NVL::Engineering::VK {

ConfigurationFile::ConfigurationFile(QObject *parent)
    : ConfigurationFile(filePath(), parent)
{
}

ConfigurationFile::ConfigurationFile(const QString &path, QObject *parent)
    : QObject(parent)
    , m_path(path)
{
}

QString ConfigurationFile::filePath()
{
    return DataPaths::current().configurationFile;
}

void ConfigurationFile::makeFolder() const
{
    AtomicFile::makeFolderOf(m_path);
}

nlohmann::json ConfigurationFile::readDocument() const
{
    makeFolder();
    const QString &path = m_path;
    // Only where nothing at all is: a dangling or looping link, or anything else in the way, is
    // somebody's and reads as unreadable instead of being replaced.
    const QFileInfo info(path);
    if (!info.exists() && !info.isSymLink())
        writeDocument(defaultConfiguration()); // if this fails, the read below reports it

    const QByteArray bytes = AtomicFile::readRegular(path); // anything else stays empty, which the parser refuses
    return nlohmann::json::parse(bytes.cbegin(), bytes.cend(), nullptr, true, false);
}

bool ConfigurationFile::writeDocument(const nlohmann::json &document) const
{
    // Serialising first: a refused document (invalid UTF-8, type_error 316) must not cost the old file.
    const std::string text = document.dump(3, ' ', false, nlohmann::json::error_handler_t::strict);
    return AtomicFile::replace(m_path, QByteArray::fromStdString(text), AtomicFile::Mode::Private);
}

nlohmann::json ConfigurationFile::defaultConfiguration()
{
    ConfigurationData configuration;
    configuration.version = 1;
    configuration.magic = "NVLCELBW";
    configuration.smtpSettings = SmtpSettingsData{};
    return configuration;
}

SmtpSettingsData ConfigurationFile::smtpSettings() const
{
    return readDocument().at("smtpSettings").get<SmtpSettingsData>();
}

RecipientList ConfigurationFile::recipients() const
{
    return jsonToList<RecipientData>(readDocument().at("recipients"));
}

NotificationList ConfigurationFile::notifications() const
{
    return jsonToList<NotificationData>(readDocument().at("notifications"));
}

bool ConfigurationFile::setSmtpSettings(const SmtpSettingsData &settings) const
{
    return replaceMember("smtpSettings", settings);
}

bool ConfigurationFile::setRecipients(const RecipientList &recipients) const
{
    return replaceMember("recipients", recipients);
}

bool ConfigurationFile::setNotifications(const NotificationList &notifications) const
{
    return replaceMember("notifications", notifications);
}

bool ConfigurationFile::setRecipientsAndNotifications(const RecipientList &recipients,
                                                      const NotificationList &notifications) const
{
    nlohmann::json document = readDocument();
    document["recipients"] = recipients;
    document["notifications"] = notifications;
    return writeDocument(document);
}

bool ConfigurationFile::replaceMember(const char *key, nlohmann::json value) const
{
    nlohmann::json document = readDocument();
    document[key] = std::move(value);
    return writeDocument(document);
}

} // namespace NVL::Engineering::VK
